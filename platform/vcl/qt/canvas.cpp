// The canvas: figures rendered by QPainter into a small image of their own, then
// combined with the form's surface by the pen mode; rectangles, text and block
// copies straight onto the surface; an area of it saved as a PNG file.
#include <QFontMetrics>
#include <QImageWriter>
#include <QPainter>
#include <QRegion>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/vcl/clip.h"
#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/native.h"

namespace vcl {
namespace {

// A small figure as rendered, kept for the next figure of the same shape,
// size and colours wherever it lies (the cursor marks repeat one shape).
// NOTE: a packet of the tracked mouse draws three figures (two marks and a
// line); rendering them costs about 4 us a packet. Replaying 250,000 packets of
// mouse 2 at full speed (make bench's mouse2.evemu, load 4 to 6) took 1.68 s of
// CPU without the cache, 1.14 s with 2 figures, 0.68 s with 16 and with 64.
// A mouse moving about makes a line of another shape for each motion it
// sends (up to 13 x 13 shapes for moves of up to 6 pixels either way): the
// cache keeps 256, by their keys. Figures wider or taller than 64 pixels (long
// lines) are rare and not kept, so the cache holds at most 256 x 64 x 64 x 4
// bytes = 4 MB, a few hundred kB for a mouse's short lines.
using FigureKey = std::array<std::int64_t, 12>;
struct FigureKeyHash {
    std::size_t operator()(const FigureKey& key) const {
        std::size_t hash = 0;
        for (const std::int64_t value : key)
            hash = (hash ^ static_cast<std::size_t>(value)) * 0x100000001B3u;
        return hash;
    }
};
constexpr std::size_t figure_cache_size = 256;
constexpr int max_cached_side = 64;
constexpr std::size_t width_cache_size = 1024;

// A QRect as the facade's rectangle, whose right and bottom lie outside it.
TRect edges_of(const QRect& r) {
    return Rect(r.left(), r.top(), r.right() + 1, r.bottom() + 1);
}

QPen figure_pen(const QColor& colour, int width) {
    if (width <= 1) {
        // Cosmetic, one pixel wide; the caller settles which end pixels are drawn.
        QPen pen(colour, 0);
        pen.setCapStyle(Qt::FlatCap);
        return pen;
    }
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A transparent image for one figure over `area` of the surface.
QImage blank_figure(const QRect& area) {
    QImage figure(area.size(), QImage::Format_ARGB32_Premultiplied);
    figure.fill(Qt::transparent);
    return figure;
}

std::int64_t key_bits(double value) {
    return std::bit_cast<std::int64_t>(value);
}

std::int64_t key_colour(const QColor& colour, int width) {
    return static_cast<std::int64_t>(colour.rgba()) << 16 | width;
}

}  // namespace

// The surface of a form's canvas: an image the form's window paints from.
struct TCanvas::Native {
    explicit Native(QWidget* owner);
    // Grows the surface to at least this size, keeping what is drawn.
    void ensure_size(QSize size);
    // Ends the painter the figures of this turn share, before the surface is read.
    void end_painting() const;
    // The cached figure for `key`, or one made by `render` over `area` (cached when small).
    template <class Render>
    QImage figure_for(const FigureKey& key, QSize area, Render&& render);
    // Combines a rendered figure with the surface at `at`, by the pen mode.
    void combine(const QImage& figure, QPoint at, TPenMode mode);
    // The surface's pixels to write straight into, while the painter of this
    // turn may stay open on them: the image is detached first (and the
    // painter ended, when the image was shared and its bits are about to move).
    uchar* bits_to_write();
    // The owner repaints what figures changed, once per frame.
    void mark_dirty(const QRect& area);
    // A block of the surface copied `dx`, `dy` within it, from `source`:
    // the window scrolls its own pixels alike at the next repaint rather than
    // painting the block again, where they are what the surface held (the
    // source not dirty, no control over the block) and it moves along one
    // axis; else the block is dirty.
    void moved(const QRect& source, int dx, int dy);
    // The painter of this turn, made on first use.
    QPainter& paint();
    // The owner's font without smoothing, and its metrics.
    const QFont& text_font();
    const QFontMetrics& metrics();
    // The width of `text` in that font, kept: a table's figures come back
    // again and again, and each measure shapes the text anew.
    int width_of(const std::string& text);

    QWidget* owner;
    QImage image;
    // Open on image from the first figure of a turn to its end, or until the
    // surface is read: a painter per figure costs more than the figure.
    mutable std::unique_ptr<QPainter> painter;
    std::unordered_map<FigureKey, QImage, FigureKeyHash> figures;
    std::deque<FigureKey> figures_kept;  // oldest first
    DirtyAreas dirty;                    // since the last repaint
    // The blocks moved since the last repaint, in order: the window's pixels
    // of `area` move by `dx`, `dy` (what the move uncovers is painted).
    struct Scroll {
        QRect area;
        int dx;
        int dy;
    };
    std::vector<Scroll> scrolls;
    FramePacer repaint;
    QFont font_of_owner;
    QFont plain_font;
    std::unique_ptr<QFontMetrics> plain_metrics;
    std::unordered_map<std::string, int> widths;  // in plain_font
};

TCanvas::Native::Native(QWidget* owner_widget)
    : owner(owner_widget), repaint([this] {
          end_painting();
          for (const Scroll& s : scrolls)
              owner->scroll(s.dx, s.dy, s.area);
          scrolls.clear();
          QRegion area;
          for (const TRect& r : dirty.take())
              area += QRect(r.Left, r.Top, r.Width(), r.Height());
          if (!area.isEmpty())
              owner->update(area);
      }) {}

void TCanvas::Native::end_painting() const {
    painter.reset();
}

void TCanvas::Native::ensure_size(QSize size) {
    const QSize wanted = size.expandedTo(image.size());
    if (wanted == image.size() || wanted.isEmpty())
        return;
    end_painting();
    QImage grown(wanted, QImage::Format_RGB32);
    grown.fill(owner->palette().color(owner->backgroundRole()));
    if (!image.isNull()) {
        QPainter grower(&grown);
        grower.setCompositionMode(QPainter::CompositionMode_Source);
        grower.drawImage(0, 0, image);
    }
    image = std::move(grown);
}

TCanvas::TCanvas(TForm* owner)
    : Pen(&pen_),
      Brush(&brush_),
      Font(&font_),
      native_(std::make_unique<Native>(qt::widget(owner))) {}

TCanvas::~TCanvas() = default;

TColor TCanvas::Pixel(int x, int y) const {
    native_->end_painting();
    if (!native_->image.valid(x, y))
        return clBlack;
    return qt::from_qcolor(QColor(native_->image.pixel(x, y)));
}

namespace qt {

const QImage& image(const TCanvas& canvas) {
    canvas.native().end_painting();
    return canvas.native().image;
}

void ensure_size(TCanvas& canvas, QSize size) {
    canvas.native().ensure_size(size);
}

}  // namespace qt

void TCanvas::draw_line(int from_x, int from_y, int x, int y) {
    Native& n = *native_;
    n.ensure_size(n.owner->size());
    if (n.image.isNull())
        return;

    const int width = pen_width();
    const int reach = width + 2;
    // Clipped a little outside the surface, so the clipped ends never show.
    const double margin = reach;
    Segment clipped{static_cast<double>(from_x), static_cast<double>(from_y),
                    static_cast<double>(x), static_cast<double>(y)};
    if (!clip_segment(clipped,
                      {-margin, -margin, n.image.width() + margin, n.image.height() + margin}))
        return;
    const QPointF a(clipped.x1, clipped.y1);
    const QPointF b(clipped.x2, clipped.y2);
    const QRect span(QPoint(static_cast<int>(std::floor(std::min(a.x(), b.x()))),
                            static_cast<int>(std::floor(std::min(a.y(), b.y())))),
                     QPoint(static_cast<int>(std::ceil(std::max(a.x(), b.x()))),
                            static_cast<int>(std::ceil(std::max(a.y(), b.y())))));
    const QRect area = span.adjusted(-reach, -reach, reach, reach) & n.image.rect();
    if (area.isEmpty())
        return;

    // Rendered where it lies in its own small image, so the same segment
    // anywhere on the surface is the same figure.
    const QColor colour = qt::to_qcolor(pen_.Color);
    const QPointF origin(area.topLeft());
    const QPointF a_in = a - origin;
    const QPointF b_in = b - origin;
    const bool from_inside = area.contains(from_x, from_y);
    const bool to_inside = area.contains(x, y);
    const FigureKey key = {1,
                           area.width(),
                           area.height(),
                           key_bits(a_in.x()),
                           key_bits(a_in.y()),
                           key_bits(b_in.x()),
                           key_bits(b_in.y()),
                           std::int64_t{from_x} - area.x(),
                           std::int64_t{from_y} - area.y(),
                           std::int64_t{x} - area.x(),
                           std::int64_t{y} - area.y(),
                           key_colour(colour, width)};
    const QImage figure = n.figure_for(key, area.size(), [&](QImage& image) {
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing, false);
            painter.setPen(figure_pen(colour, width));
            painter.drawLine(a_in, b_in);
        }
        if (width == 1) {
            // Qt leaves out whichever end comes last in its own drawing order; GDI
            // always draws the current point and leaves out the end point.
            if (from_inside)
                image.setPixel(from_x - area.x(), from_y - area.y(), colour.rgb());
            if (to_inside)
                image.setPixel(x - area.x(), y - area.y(), 0);
        }
    });
    n.combine(figure, area.topLeft(), pen_.Mode);
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
    Native& n = *native_;
    n.ensure_size(n.owner->size());
    if (n.image.isNull())
        return;
    const std::int64_t left = std::min(x1, x2);
    const std::int64_t right = std::max(x1, x2);
    const std::int64_t top = std::min(y1, y2);
    const std::int64_t bottom = std::max(y1, y2);
    if (left == right || top == bottom)
        return;  // an empty rectangle draws nothing

    const int width = pen_width();
    const int reach = width + 2;
    const std::int64_t surface_width = n.image.width();
    const std::int64_t surface_height = n.image.height();
    if (right + reach <= 0 || left - reach >= surface_width || bottom + reach <= 0 ||
        top - reach >= surface_height) {
        return;  // nothing of it on the surface
    }
    const QColor pen_colour = qt::to_qcolor(pen_.Color);
    const QColor brush_colour = qt::to_qcolor(brush_.Color);
    if (left < -ellipse_reach || top < -ellipse_reach || right > surface_width + ellipse_reach ||
        bottom > surface_height + ellipse_reach) {
        // Too large for the rasteriser. When the whole surface lies well inside
        // the outline, the figure there is plain fill; otherwise it is left out.
        const double half_width = (static_cast<double>(right) - left) / 2.0 - reach;
        const double half_height = (static_cast<double>(bottom) - top) / 2.0 - reach;
        const double centre_x = (static_cast<double>(left) + right) / 2.0;
        const double centre_y = (static_cast<double>(top) + bottom) / 2.0;
        if (half_width <= 0.0 || half_height <= 0.0)
            return;
        for (double cx : {-1.0 * reach, static_cast<double>(surface_width + reach)}) {
            for (double cy : {-1.0 * reach, static_cast<double>(surface_height + reach)}) {
                const double u = (cx - centre_x) / half_width;
                const double v = (cy - centre_y) / half_height;
                if (u * u + v * v >= 1.0)
                    return;
            }
        }
        QImage figure(n.image.size(), QImage::Format_ARGB32_Premultiplied);
        figure.fill(brush_colour);
        n.combine(figure, QPoint(0, 0), pen_.Mode);
        return;
    }

    // Within reach every coordinate fits an int comfortably.
    const QRect bounds(static_cast<int>(left), static_cast<int>(top),
                       static_cast<int>(right - left), static_cast<int>(bottom - top));
    const QRect area = bounds.adjusted(-reach, -reach, reach, reach) & n.image.rect();
    if (area.isEmpty())
        return;
    const QRect box = bounds.translated(-area.topLeft());
    const FigureKey key = {2,
                           area.width(),
                           area.height(),
                           box.x(),
                           box.y(),
                           box.width(),
                           box.height(),
                           key_colour(pen_colour, width),
                           key_colour(brush_colour, 0),
                           0,
                           0,
                           0};
    const QImage figure = n.figure_for(key, area.size(), [&](QImage& image) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, false);
        if (box.width() == 1 || box.height() == 1) {
            // No room for an inside: the outline is a straight run of pixels.
            if (width == 1) {
                painter.fillRect(box, pen_colour);
            } else {
                painter.setPen(figure_pen(pen_colour, width));
                painter.drawLine(box.topLeft(), box.bottomRight());
            }
        } else {
            // QPainter's outline of a rectangle runs one pixel past its right and
            // bottom edges: this one covers exactly left..right-1, top..bottom-1.
            painter.setPen(figure_pen(pen_colour, width));
            painter.setBrush(brush_colour);
            painter.drawEllipse(QRect(box.x(), box.y(), box.width() - 1, box.height() - 1));
        }
    });
    n.combine(figure, area.topLeft(), pen_.Mode);
}

template <class Render>
QImage TCanvas::Native::figure_for(const FigureKey& key, QSize area, Render&& render) {
    const bool small = area.width() <= max_cached_side && area.height() <= max_cached_side;
    if (small) {
        const auto cached = figures.find(key);
        if (cached != figures.end())
            return cached->second;
    }
    QImage figure = blank_figure(QRect(QPoint(0, 0), area));
    render(figure);
    if (!small)
        return figure;
    if (figures.size() == figure_cache_size) {
        figures.erase(figures_kept.front());
        figures_kept.pop_front();
    }
    figures.emplace(key, figure);
    figures_kept.push_back(key);
    return figure;
}

QPainter& TCanvas::Native::paint() {
    if (!painter)
        painter = std::make_unique<QPainter>(&image);
    return *painter;
}

uchar* TCanvas::Native::bits_to_write() {
    if (!image.isDetached())
        end_painting();  // the surface is about to be copied for writing
    return image.bits();
}

void TCanvas::Native::combine(const QImage& figure, QPoint at, TPenMode mode) {
    if (mode == pmXor && image.format() == QImage::Format_RGB32 &&
        figure.format() == QImage::Format_ARGB32_Premultiplied) {
        // Each pixel the figure covers (opaque; the rest of it is transparent,
        // zero) is combined straight on the surface: a paint engine call costs
        // more than a cursor mark's few dozen pixels.
        const QRect area = QRect(at, figure.size()) & image.rect();
        uchar* surface = bits_to_write();
        const uchar* figure_bits = figure.constBits();
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const auto* in =
                reinterpret_cast<const QRgb*>(figure_bits + (y - at.y()) * figure.bytesPerLine()) +
                (area.left() - at.x());
            auto* out = reinterpret_cast<QRgb*>(surface + y * image.bytesPerLine()) + area.left();
            for (int x = 0; x < area.width(); ++x)
                out[x] = (out[x] ^ in[x]) | 0xFF000000u;
        }
        mark_dirty(QRect(at, figure.size()));
        return;
    }
    QPainter& p = paint();
    p.setCompositionMode(mode == pmXor ? QPainter::RasterOp_SourceXorDestination
                                       : QPainter::CompositionMode_SourceOver);
    p.drawImage(at, figure);
    mark_dirty(QRect(at, figure.size()));
}

const QFont& TCanvas::Native::text_font() {
    if (!plain_metrics || owner->font() != font_of_owner) {
        font_of_owner = owner->font();
        plain_font = font_of_owner;
        plain_font.setStyleStrategy(QFont::NoAntialias);
        plain_metrics = std::make_unique<QFontMetrics>(plain_font);
        widths.clear();
    }
    return plain_font;
}

const QFontMetrics& TCanvas::Native::metrics() {
    text_font();
    return *plain_metrics;
}

void TCanvas::FillRect(const TRect& rect) {
    Native& n = *native_;
    n.ensure_size(n.owner->size());
    // Cut to the surface before a QRect is made: its width of a rectangle
    // from INT_MIN would overflow.
    const int left = std::max(rect.Left, 0);
    const int top = std::max(rect.Top, 0);
    const int right = std::min(rect.Right, n.image.width());
    const int bottom = std::min(rect.Bottom, n.image.height());
    if (right <= left || bottom <= top)
        return;
    const QRect area(left, top, right - left, bottom - top);
    if (n.image.format() == QImage::Format_RGB32) {
        // Written straight on the surface, as the paint engine's source fill
        // of an opaque colour writes it: a call to the engine costs more
        // than the few pixels of a chart's column or dot.
        const QRgb pixel = qt::to_qcolor(brush_.Color).rgb();
        uchar* surface = n.bits_to_write();
        const qsizetype stride = n.image.bytesPerLine();
        for (int y = top; y < bottom; ++y) {
            auto* row = reinterpret_cast<QRgb*>(surface + y * stride);
            std::fill(row + left, row + right, pixel);
        }
        n.mark_dirty(area);
        return;
    }
    QPainter& p = n.paint();
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(area, qt::to_qcolor(brush_.Color));
    n.mark_dirty(area);
}

int TCanvas::Native::width_of(const std::string& text) {
    const QFontMetrics& measure = metrics();
    if (const auto kept = widths.find(text); kept != widths.end())
        return kept->second;
    if (widths.size() >= width_cache_size)
        widths.clear();
    const int width = measure.horizontalAdvance(QString::fromStdString(text));
    widths.emplace(text, width);
    return width;
}

int TCanvas::TextWidth(const String& text) const {
    return native_->width_of(text);
}

int TCanvas::TextHeight(const String& /*text*/) const {
    return native_->metrics().height();
}

void TCanvas::TextOut(int x, int y, const String& text) {
    Native& n = *native_;
    n.ensure_size(n.owner->size());
    const QString shown = QString::fromStdString(text);
    const QFontMetrics& metrics = n.metrics();
    const QRect box(x, y, n.width_of(text), metrics.height());
    const QRect area = box & n.image.rect();
    if (area.isEmpty())
        return;
    QPainter& p = n.paint();
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(area, qt::to_qcolor(brush_.Color));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setRenderHint(QPainter::TextAntialiasing, false);
    p.setFont(n.text_font());
    p.setPen(qt::to_qcolor(font_.Color));
    p.setClipRect(area);
    p.drawText(QPoint(x, y + metrics.ascent()), shown);
    p.setClipping(false);
    n.mark_dirty(area);
}

void TCanvas::CopyRect(const TRect& dest, TCanvas* canvas, const TRect& source) {
    if (canvas == nullptr)
        return;
    Native& n = *native_;
    n.ensure_size(n.owner->size());
    Native& from = *canvas->native_;
    from.end_painting();
    BlockCopy block{};
    if (!clip_copy(dest, n.image.width(), n.image.height(), source, from.image.width(),
                   from.image.height(), block))
        return;
    if (&from == &n) {
        // Within one surface the block may overlap itself: rows are moved in
        // the order that reads each before it is written over.
        n.end_painting();
        const auto row_bytes = static_cast<std::size_t>(block.width) * sizeof(QRgb);
        const bool upwards = block.to_y <= block.from_y;
        for (int i = 0; i < block.height; ++i) {
            const int row = upwards ? i : block.height - 1 - i;
            const auto* in =
                reinterpret_cast<const QRgb*>(std::as_const(n.image).scanLine(block.from_y + row)) +
                block.from_x;
            auto* out = reinterpret_cast<QRgb*>(n.image.scanLine(block.to_y + row)) + block.to_x;
            std::memmove(out, in, row_bytes);
        }
        n.moved(QRect(block.from_x, block.from_y, block.width, block.height),
                block.to_x - block.from_x, block.to_y - block.from_y);
        return;
    }
    QPainter& p = n.paint();
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(QPoint(block.to_x, block.to_y), from.image,
                QRect(block.from_x, block.from_y, block.width, block.height));
    n.mark_dirty(QRect(block.to_x, block.to_y, block.width, block.height));
}

void TCanvas::SaveToPNG(const String& path, const TRect& area) const {
    const auto failure = [&path](const QString& why) {
        return Exception("cannot save " + path + ": " + qt::string(why));
    };
    // The figures of this turn are on the image once its painter has ended.
    native_->end_painting();
    const QImage& image = native_->image;
    const int left = std::max(area.Left, 0);
    const int top = std::max(area.Top, 0);
    const int right = std::min(area.Right, image.width());
    const int bottom = std::min(area.Bottom, image.height());
    if (right <= left || bottom <= top)
        throw failure(QStringLiteral("the area holds no pixel of the canvas"));
    const QImage cut = image.copy(left, top, right - left, bottom - top);
    // Written to a file of its own and put in place whole once written, so a
    // file that fails half way is never left under the name (nor replaces one).
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly))
        throw failure(file.errorString());
    QImageWriter writer(&file, "png");
    if (!writer.write(cut)) {
        file.cancelWriting();
        throw failure(writer.errorString());
    }
    if (!file.commit())
        throw failure(file.errorString());
}

void TCanvas::Native::moved(const QRect& source, int dx, int dy) {
    const QRect dest = source.translated(dx, dy);
    const QRect area = source | dest;
    bool scrollable =
        (dx == 0) != (dy == 0) && owner->rect().contains(area) && !dirty.meets(edges_of(source));
    for (const QObject* child : owner->children()) {
        const auto* widget = qobject_cast<const QWidget*>(child);
        if (scrollable && widget != nullptr && !widget->isWindow() && widget->isVisible() &&
            widget->geometry().intersects(area))
            scrollable = false;
    }
    if (!scrollable) {
        mark_dirty(dest);
        return;
    }
    scrolls.push_back({area, dx, dy});
    repaint.request();
}

void TCanvas::Native::mark_dirty(const QRect& area) {
    dirty.add(edges_of(area));
    repaint.request();
}

}  // namespace vcl
