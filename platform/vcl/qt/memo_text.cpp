#include "platform/vcl/qt/memo_text.h"

#include <QGlyphRun>
#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>
#include <QTextLine>

#include <cmath>
#include <cstring>

namespace vcl::qt {

namespace {

template <class T>
void append(QByteArray& bytes, T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// What a row draws: its runs of glyphs, each glyph with where it goes from
// the row's top.
RowGlyphs glyphs_of(const QTextLine& row) {
    RowGlyphs glyphs;
    std::size_t fonts_hash = 0;
    for (const QGlyphRun& run : row.glyphRuns()) {
        const QList<quint32> indexes = run.glyphIndexes();
        const QList<QPointF> positions = run.positions();
        glyphs.fonts.push_back(run.rawFont());
        fonts_hash = fonts_hash * 31 + qHash(run.rawFont());
        append(glyphs.glyphs, static_cast<qint64>(indexes.size()));
        append(glyphs.glyphs, static_cast<int>(run.flags()));
        for (qsizetype i = 0; i < indexes.size() && i < positions.size(); ++i) {
            append(glyphs.glyphs, indexes[i]);
            append(glyphs.glyphs, positions[i].x());
            append(glyphs.glyphs, positions[i].y() - row.y());
        }
    }
    glyphs.hash = qHash(glyphs.glyphs) ^ fonts_hash;
    return glyphs;
}

bool same_option(const QTextOption& a, const QTextOption& b) {
    return a.alignment() == b.alignment() && a.wrapMode() == b.wrapMode() &&
           a.flags() == b.flags() && a.tabStopDistance() == b.tabStopDistance() &&
           a.textDirection() == b.textDirection() && a.useDesignMetrics() == b.useDesignMetrics();
}

// The format of a 32-bit raster device, whose text is blended alike whether
// it keeps alpha or not; Invalid for any other device.
QImage::Format format_of(const QPainter& painter) {
    QPaintEngine* engine = painter.paintEngine();
    QPaintDevice* device = engine != nullptr ? engine->paintDevice() : nullptr;
    if (device == nullptr || engine->type() != QPaintEngine::Raster ||
        device->devicePixelRatio() != 1.0)
        return QImage::Format_Invalid;
    QImage::Format format = QImage::Format_Invalid;
    if (device->devType() == QInternal::Image) {
        format = static_cast<const QImage*>(device)->format();
    } else if (device->devType() == QInternal::Pixmap) {
        const auto* pixmap = static_cast<const QPixmap*>(device);
        if (pixmap->depth() == 32)
            format = pixmap->hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                               : QImage::Format_RGB32;
    }
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied
               ? format
               : QImage::Format_Invalid;
}

}  // namespace

MemoText::MemoText() : lines_(kept_lines), rows_(kept_rows) {}

std::shared_ptr<const LaidLine> MemoText::lay_out(const QString& text, const QFont& font,
                                                  const QTextOption& option, qreal margin,
                                                  qreal width) {
    if (font != font_ || margin != margin_ || width != width_ || !same_option(option, option_)) {
        clear();
        font_ = font;
        option_ = option;
        margin_ = margin;
        width_ = width;
    }
    if (const auto* known = lines_.find(text)) {
        ++counts_.lines_reused;
        return *known;
    }
    // As the plain text view lays out a block: its document's options, font
    // and margins, the width of the view, leading included.
    auto line = std::make_shared<LaidLine>(text, font);
    QTextLayout& layout = line->layout;
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLeadingIncluded(true);
        row.setLineWidth(width);
        row.setPosition(QPointF(margin, height));
        height += row.height();
        if (row.leading() < 0)
            height += std::ceil(row.leading());
    }
    layout.endLayout();
    line->height = height;
    for (int r = 0; r < layout.lineCount(); ++r)
        line->rows.push_back(glyphs_of(layout.lineAt(r)));
    ++counts_.lines_laid_out;
    return lines_.insert(text, std::move(line));
}

const MemoText::RowImage& MemoText::row_image(const LaidLine& line, int r, const RowKey& key,
                                              const QPainter& painter, QImage::Format format) {
    if (RowImage* known = rows_.find(key)) {
        ++counts_.rows_copied;
        return *known;
    }
    ++counts_.rows_drawn;
    // The row drawn with as many rows of pixels free above and below it as it
    // has itself, to see where its glyphs reach.
    const QTextLine row = line.layout.lineAt(r);
    const qreal phase = key.phase / 64.0;
    const int own = static_cast<int>(std::ceil(phase + row.height()));
    const int margin = own;
    QImage canvas(drawn_.width, own + 2 * margin, format);
    canvas.fill(QColor::fromRgba(drawn_.background));
    const quint32 empty = reinterpret_cast<const quint32*>(canvas.constScanLine(0))[0];
    {
        QPainter on(&canvas);
        on.setRenderHints(painter.renderHints());
        on.setPen(painter.pen());
        row.draw(&on, QPointF(0, margin + phase - row.y()));
    }
    // Its own rows of pixels: those it covers whole. One it shares with the
    // row above or below (where rows meet within a pixel) must stay empty.
    const int first = margin + (phase > 0 ? 1 : 0);
    const int end = margin + static_cast<int>(std::floor(phase + row.height()));
    bool tame = true;
    for (int y = 0; y < canvas.height() && tame; ++y) {
        if (y >= first && y < end)
            continue;
        const auto* pixels = reinterpret_cast<const quint32*>(canvas.constScanLine(y));
        for (int x = 0; x < canvas.width(); ++x) {
            if (pixels[x] != empty) {
                tame = false;
                break;
            }
        }
    }
    return rows_.insert(key, {canvas.copy(0, margin, canvas.width(), own), tame});
}

bool MemoText::paint(QPainter& painter, const std::vector<Placed>& lines, const QRect& area,
                     int width, const QBrush& background) {
    if (background.style() != Qt::SolidPattern || background.color().alpha() != 255 ||
        painter.opacity() != 1.0 ||
        painter.compositionMode() != QPainter::CompositionMode_SourceOver)
        return false;
    const QImage::Format format = format_of(painter);
    const QTransform to_device = painter.deviceTransform();
    if (format == QImage::Format_Invalid || to_device.type() > QTransform::TxTranslate ||
        to_device.dx() != std::floor(to_device.dx()) ||
        to_device.dy() != std::floor(to_device.dy()) || width <= 0)
        return false;
    const Drawn now{width, format, background.color().rgba(), painter.pen().color().rgba(),
                    static_cast<int>(painter.renderHints())};
    if (!(now == drawn_)) {
        rows_.clear();
        drawn_ = now;
    }

    // Every row in view first: one whose glyphs reach a neighbour's pixels
    // means drawing them all, in order.
    struct Copy {
        QImage image;
        int top;
    };
    std::vector<Copy> copies;
    for (const Placed& placed : lines) {
        const QTextLayout& layout = placed.line->layout;
        for (int r = 0; r < layout.lineCount(); ++r) {
            const qreal top = placed.y + layout.lineAt(r).y();
            const qreal pixel_top = std::floor(top);
            const qreal phase = (top - pixel_top) * 64;
            if (phase != std::floor(phase))
                return false;
            const RowImage& row =
                row_image(*placed.line, r,
                          {placed.line->rows[static_cast<std::size_t>(r)], static_cast<int>(phase)},
                          painter, format);
            if (!row.tame)
                return false;
            copies.push_back({row.image, static_cast<int>(pixel_top)});
        }
    }
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const Copy& copy : copies) {
        const QRect part = QRect(0, copy.top, copy.image.width(), copy.image.height()) & area;
        if (!part.isEmpty())
            painter.drawImage(part.topLeft(), copy.image, part.translated(0, -copy.top));
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    return true;
}

void MemoText::clear() {
    lines_.clear();
    rows_.clear();
}

}  // namespace vcl::qt
