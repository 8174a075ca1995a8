// The canvas: figures rendered by QPainter into a small image of their own, then
// combined with the form's surface by the pen mode.
#include <QPainter>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "platform/vcl/vcl.h"

namespace vcl {
namespace {

// Clips the segment a-b to `box` (Liang-Barsky). Returns false when nothing of it
// lies inside. An end inside the box is left exactly as it was.
bool clip_segment(const QRectF& box, QPointF& a, QPointF& b) {
    const double dx = b.x() - a.x();
    const double dy = b.y() - a.y();
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x() - box.left(), box.right() - a.x(), a.y() - box.top(),
                         box.bottom() - a.y()};
    double t0 = 0.0;
    double t1 = 1.0;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0.0) {
            if (t > t1)
                return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0)
                return false;
            t1 = std::min(t1, t);
        }
    }
    const QPointF start = a;
    if (t0 > 0.0)
        a = QPointF(start.x() + t0 * dx, start.y() + t0 * dy);
    if (t1 < 1.0)
        b = QPointF(start.x() + t1 * dx, start.y() + t1 * dy);
    return true;
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

TCanvas::TCanvas(QWidget* owner)
    : Pen(&pen_), Brush(&brush_), owner_(owner), repaint_([this] {
          end_painting();
          const QRect dirty = dirty_;
          dirty_ = QRect();
          owner_->update(dirty);
      }) {}

TCanvas::~TCanvas() = default;

void TCanvas::end_painting() const {
    painter_.reset();
}

int TCanvas::pen_width() const {
    return std::clamp(pen_.Width, 1, max_pen_width);
}

void TCanvas::ensure_size(QSize size) {
    const QSize wanted = size.expandedTo(image_.size());
    if (wanted == image_.size() || wanted.isEmpty())
        return;
    end_painting();
    QImage grown(wanted, QImage::Format_RGB32);
    grown.fill(owner_->palette().color(owner_->backgroundRole()));
    if (!image_.isNull()) {
        QPainter painter(&grown);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, image_);
    }
    image_ = std::move(grown);
}

TColor TCanvas::Pixel(int x, int y) const {
    end_painting();
    if (!image_.valid(x, y))
        return clBlack;
    return from_qcolor(QColor(image_.pixel(x, y)));
}

void TCanvas::MoveTo(int x, int y) {
    pen_x_ = x;
    pen_y_ = y;
}

void TCanvas::LineTo(int x, int y) {
    const int from_x = pen_x_;
    const int from_y = pen_y_;
    pen_x_ = x;
    pen_y_ = y;
    if (from_x == x && from_y == y)
        return;
    ensure_size(owner_->size());
    if (image_.isNull())
        return;

    const int width = pen_width();
    const int reach = width + 2;
    // Clipped a little outside the surface, so the clipped ends never show.
    const QRectF box(-reach, -reach, image_.width() + 2.0 * reach, image_.height() + 2.0 * reach);
    QPointF a(from_x, from_y);
    QPointF b(x, y);
    if (!clip_segment(box, a, b))
        return;
    const QRect span(QPoint(static_cast<int>(std::floor(std::min(a.x(), b.x()))),
                            static_cast<int>(std::floor(std::min(a.y(), b.y())))),
                     QPoint(static_cast<int>(std::ceil(std::max(a.x(), b.x()))),
                            static_cast<int>(std::ceil(std::max(a.y(), b.y())))));
    const QRect area = span.adjusted(-reach, -reach, reach, reach) & image_.rect();
    if (area.isEmpty())
        return;

    // Rendered where it lies in its own small image, so the same segment
    // anywhere on the surface is the same figure.
    const QColor colour = to_qcolor(pen_.Color);
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
    const QImage figure = figure_for(key, area.size(), [&](QImage& image) {
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
    combine(figure, area.topLeft());
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
    ensure_size(owner_->size());
    if (image_.isNull())
        return;
    const std::int64_t left = std::min(x1, x2);
    const std::int64_t right = std::max(x1, x2);
    const std::int64_t top = std::min(y1, y2);
    const std::int64_t bottom = std::max(y1, y2);
    if (left == right || top == bottom)
        return;  // an empty rectangle draws nothing

    const int width = pen_width();
    const int reach = width + 2;
    const std::int64_t surface_width = image_.width();
    const std::int64_t surface_height = image_.height();
    if (right + reach <= 0 || left - reach >= surface_width || bottom + reach <= 0 ||
        top - reach >= surface_height) {
        return;  // nothing of it on the surface
    }
    const QColor pen_colour = to_qcolor(pen_.Color);
    const QColor brush_colour = to_qcolor(brush_.Color);
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
        QImage figure(image_.size(), QImage::Format_ARGB32_Premultiplied);
        figure.fill(brush_colour);
        combine(figure, QPoint(0, 0));
        return;
    }

    // Within reach every coordinate fits an int comfortably.
    const QRect bounds(static_cast<int>(left), static_cast<int>(top),
                       static_cast<int>(right - left), static_cast<int>(bottom - top));
    const QRect area = bounds.adjusted(-reach, -reach, reach, reach) & image_.rect();
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
    const QImage figure = figure_for(key, area.size(), [&](QImage& image) {
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
    combine(figure, area.topLeft());
}

template <class Render>
QImage TCanvas::figure_for(const FigureKey& key, QSize area, Render&& render) {
    const bool small = area.width() <= max_cached_side && area.height() <= max_cached_side;
    if (small) {
        for (const CachedFigure& cached : figures_) {
            if (cached.key == key)
                return cached.figure;
        }
    }
    QImage figure = blank_figure(QRect(QPoint(0, 0), area));
    render(figure);
    if (!small)
        return figure;
    if (figures_.size() < figure_cache_size) {
        figures_.push_back({key, figure});
    } else {
        figures_[next_evicted_] = {key, figure};
        next_evicted_ = (next_evicted_ + 1) % figure_cache_size;
    }
    return figure;
}

void TCanvas::combine(const QImage& figure, QPoint at) {
    if (!painter_)
        painter_ = std::make_unique<QPainter>(&image_);
    painter_->setCompositionMode(pen_.Mode == pmXor ? QPainter::RasterOp_SourceXorDestination
                                                    : QPainter::CompositionMode_SourceOver);
    painter_->drawImage(at, figure);
    mark_dirty(QRect(at, figure.size()));
}

void TCanvas::mark_dirty(const QRect& area) {
    dirty_ |= area;
    repaint_.request();
}

}  // namespace vcl
