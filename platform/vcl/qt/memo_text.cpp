#include "platform/vcl/qt/memo_text.h"

#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>
#include <QTextBoundaryFinder>
#include <QTextLine>

#include <climits>
#include <cmath>
#include <cstring>

namespace vcl::qt {

namespace {

template <class T>
void append(QByteArray& bytes, T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// One run of a row's glyphs into its key: the run's length and flags, then
// each glyph with its place from the row's top. Toolkit rows and composed
// rows go through here alike, so equal glyphs give equal keys.
void add_run(RowGlyphs& row, std::size_t& fonts_hash, const QRawFont& font, int flags,
             const QList<quint32>& glyphs, const QList<QPointF>& positions, qreal row_y) {
    row.fonts.push_back(font);
    fonts_hash = fonts_hash * 31 + qHash(font);
    const qint64 count = std::min(glyphs.size(), positions.size());
    constexpr std::size_t per_glyph = sizeof(quint32) + 2 * sizeof(qreal);
    const qsizetype start = row.glyphs.size();
    row.glyphs.resize(start + static_cast<qsizetype>(sizeof count + sizeof flags +
                                                     static_cast<std::size_t>(count) * per_glyph));
    char* at = row.glyphs.data() + start;
    std::memcpy(at, &count, sizeof count);
    std::memcpy(at + sizeof count, &flags, sizeof flags);
    at += sizeof count + sizeof flags;
    for (qsizetype i = 0; i < count; ++i, at += per_glyph) {
        const qreal x = positions[i].x();
        const qreal y = positions[i].y() - row_y;
        std::memcpy(at, &glyphs[i], sizeof(quint32));
        std::memcpy(at + sizeof(quint32), &x, sizeof x);
        std::memcpy(at + sizeof(quint32) + sizeof x, &y, sizeof y);
    }
}

RowGlyphs glyphs_of(const QTextLine& row) {
    RowGlyphs glyphs;
    std::size_t fonts_hash = 0;
    for (const QGlyphRun& run : row.glyphRuns()) {
        add_run(glyphs, fonts_hash, run.rawFont(), static_cast<int>(run.flags()),
                run.glyphIndexes(), run.positions(), row.y());
    }
    glyphs.hash = qHash(glyphs.glyphs) ^ fonts_hash;
    return glyphs;
}

// Each glyph of a row's key: its font, the glyph and its place from the row's top.
template <class Visit>
void for_each_glyph(const RowGlyphs& row, Visit&& visit) {
    const char* at = row.glyphs.constData();
    const char* end = at + row.glyphs.size();
    for (const QRawFont& font : row.fonts) {
        if (end - at < static_cast<std::ptrdiff_t>(sizeof(qint64) + sizeof(int)))
            return;
        qint64 count = 0;
        std::memcpy(&count, at, sizeof count);
        at += sizeof count + sizeof(int);
        for (qint64 i = 0; i < count && end - at >= 20; ++i) {
            quint32 glyph = 0;
            qreal x = 0;
            qreal y = 0;
            std::memcpy(&glyph, at, sizeof glyph);
            std::memcpy(&x, at + sizeof glyph, sizeof x);
            std::memcpy(&y, at + sizeof glyph + sizeof(qreal), sizeof y);
            at += sizeof glyph + 2 * sizeof(qreal);
            visit(font, glyph, x, y);
        }
    }
}

bool same_option(const QTextOption& a, const QTextOption& b) {
    return a.alignment() == b.alignment() && a.wrapMode() == b.wrapMode() &&
           a.flags() == b.flags() && a.tabStopDistance() == b.tabStopDistance() &&
           a.textDirection() == b.textDirection() && a.useDesignMetrics() == b.useDesignMetrics();
}

// A length in 64ths of a pixel, when it is a whole number of them.
bool in_64ths(qreal value, std::int64_t& out) {
    const qreal scaled = value * 64;
    if (scaled != std::floor(scaled) || std::abs(scaled) > 1e15)
        return false;
    out = static_cast<std::int64_t>(scaled);
    return true;
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

void LaidLine::draw(QPainter& painter, QPointF origin) const {
    if (layout) {
        layout->draw(&painter, origin);
        return;
    }
    for (const LaidRow& row : rows)
        painter.drawGlyphRun(origin, row.run);
}

void LaidLine::draw_row(QPainter& painter, int row, QPointF origin) const {
    if (layout) {
        layout->lineAt(row).draw(&painter, origin);
    } else {
        painter.drawGlyphRun(origin, rows[static_cast<std::size_t>(row)].run);
    }
}

MemoText::MemoText()
    : lines_(kept_lines),
      shapes_(kept_shapes),
      rows_(kept_rows),
      pieces_(kept_pieces),
      seen_(4 * kept_rows) {}

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
    const std::vector<Token> tokens = tokens_of(text);
    const QByteArray shape_key = tokens.empty() ? QByteArray() : signature(text, tokens);
    const Shape* shape = shape_key.isEmpty() ? nullptr : shapes_.find(shape_key);
    if (shape != nullptr && shape->composable) {
        ++counts_.lines_composed;
        return lines_.insert(text, composed(text, tokens, *shape));
    }
    std::shared_ptr<LaidLine> line = laid_out_by_toolkit(text);
    ++counts_.lines_laid_out;
    if (!shape_key.isEmpty() && shape == nullptr) {
        const Shape& learnt = shapes_.insert(shape_key, shape_of(*line, text, tokens));
        if (!learnt.composable)
            ++counts_.shapes_refused;
    }
    return lines_.insert(text, std::move(line));
}

std::shared_ptr<LaidLine> MemoText::laid_out_by_toolkit(const QString& text) const {
    // As the plain text view lays out a block: its document's options, font
    // and margins, the width of the view, leading included.
    auto line = std::make_shared<LaidLine>();
    line->layout = std::make_unique<QTextLayout>(text, font_);
    QTextLayout& layout = *line->layout;
    layout.setTextOption(option_);
    layout.setCacheEnabled(true);
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLeadingIncluded(true);
        row.setLineWidth(width_);
        row.setPosition(QPointF(margin_, height));
        height += row.height();
        if (row.leading() < 0)
            height += std::ceil(row.leading());
    }
    layout.endLayout();
    line->height = height;
    for (int r = 0; r < layout.lineCount(); ++r) {
        const QTextLine row = layout.lineAt(r);
        LaidRow laid;
        laid.y = row.y();
        laid.height = row.height();
        laid.text_height = row.naturalTextRect().height();
        laid.glyphs = glyphs_of(row);
        line->rows.push_back(std::move(laid));
    }
    return line;
}

std::vector<MemoText::Token> MemoText::tokens_of(const QString& text) {
    std::vector<Token> tokens;
    for (int i = 0; i < text.size();) {
        const char16_t c = text[i].unicode();
        if (c < 0x20 || c > 0x7E)
            return {};
        const bool spaces = c == u' ';
        int end = i + 1;
        while (end < text.size() && (text[end].unicode() == u' ') == spaces) {
            const char16_t next = text[end].unicode();
            if (next < 0x20 || next > 0x7E)
                return {};
            ++end;
        }
        tokens.push_back({i, end - i, spaces});
        i = end;
    }
    return tokens;
}

QList<QGlyphRun> MemoText::glyph_runs(const QString& text, qreal* natural_width) const {
    QTextLayout layout(text, font_);
    layout.setTextOption(option_);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1e6);
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
    if (natural_width != nullptr)
        *natural_width = line.naturalTextWidth();
    return layout.lineCount() == 1 ? line.glyphRuns() : QList<QGlyphRun>();
}

const MemoText::Word& MemoText::word(QStringView text) {
    const auto known = words_.find(text);
    if (known != words_.end())
        return known->second;
    if (words_.size() >= kept_words)
        words_.clear();
    Word shaped;
    qreal alone = 0;
    const QList<QGlyphRun> own = glyph_runs(text.toString(), &alone);
    // "x WORD x": the spaces on either side as a line has them.
    const QList<QGlyphRun> runs =
        glyph_runs(QStringLiteral("x ") + text.toString() + QStringLiteral(" x"));
    if (own.size() == 1 && runs.size() == 1 && runs[0].rawFont() == space_font_) {
        const QList<quint32> glyphs = runs[0].glyphIndexes();
        const QList<QPointF> positions = runs[0].positions();
        const qsizetype count = glyphs.size() - 4;
        shaped.usable = count > 0 && count == own[0].glyphIndexes().size() &&
                        positions.size() == glyphs.size() && glyphs[1] == space_glyph_ &&
                        glyphs[count + 2] == space_glyph_ && in_64ths(alone, shaped.alone);
        std::vector<std::int64_t> at;
        for (qsizetype i = 1; shaped.usable && i <= count + 2; ++i) {
            std::int64_t x = 0;
            shaped.usable = in_64ths(positions[i].x(), x);
            at.push_back(x);
        }
        if (shaped.usable) {
            shaped.space_before = at[1] - at[0];
            for (qsizetype i = 0; i < count; ++i) {
                shaped.glyphs.push_back(glyphs[i + 2]);
                shaped.advances.push_back(at[static_cast<std::size_t>(i) + 2] -
                                          at[static_cast<std::size_t>(i) + 1]);
            }
            shaped.width = at.back() - at[1];
        }
    }
    return words_.emplace(text.toString(), std::move(shaped)).first->second;
}

bool MemoText::know_spaces() {
    if (spaces_known_)
        return spaces_usable_;
    spaces_known_ = true;
    // Spaces between two letters, as the toolkit places them.
    const QList<QGlyphRun> runs = glyph_runs(QStringLiteral("x  x"));
    if (runs.size() != 1 || runs[0].glyphIndexes().size() != 4 ||
        runs[0].glyphIndexes()[1] != runs[0].glyphIndexes()[2])
        return false;
    const QList<QPointF> positions = runs[0].positions();
    std::int64_t from = 0;
    std::int64_t to = 0;
    if (positions.size() != 4 || !in_64ths(positions[1].x(), from) ||
        !in_64ths(positions[2].x(), to))
        return false;
    space_glyph_ = runs[0].glyphIndexes()[1];
    space_advance_ = to - from;
    space_font_ = runs[0].rawFont();
    spaces_usable_ = true;
    return true;
}

QByteArray MemoText::signature(const QString& text, const std::vector<Token>& tokens) {
    if (!know_spaces())
        return {};
    // What decides where the toolkit breaks a line and where its glyphs go:
    // the runs of spaces, each word's width (with and without the space after
    // it) and the space before it, and where the line may be broken. A line
    // that may be broken inside a word is left to the toolkit.
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    std::vector<bool> may_break(static_cast<std::size_t>(text.size()) + 1, false);
    for (qsizetype at = breaks.toNextBoundary(); at >= 0; at = breaks.toNextBoundary())
        may_break[static_cast<std::size_t>(at)] = true;
    QByteArray key;
    key.reserve(static_cast<qsizetype>(tokens.size() * 26));
    for (const Token& token : tokens) {
        if (token.spaces) {
            key.append('S');
            append(key, token.length);
            continue;
        }
        for (int i = token.start + 1; i < token.start + token.length; ++i) {
            if (may_break[static_cast<std::size_t>(i)])
                return {};
        }
        const Word& shaped = word(QStringView(text).mid(token.start, token.length));
        if (!shaped.usable)
            return {};
        key.append(may_break[static_cast<std::size_t>(token.start)] ? 'B' : 'W');
        append(key, shaped.width);
        append(key, shaped.alone);
        append(key, shaped.space_before);
    }
    return key;
}

void MemoText::compose_row(const QString& text, const std::vector<Token>& tokens,
                           const Shape::Row& row, LaidRow& into) {
    QList<quint32> glyphs;
    QList<QPointF> positions;
    glyphs.reserve(text.size());
    positions.reserve(text.size());
    std::int64_t x = 0;
    in_64ths(row.x, x);
    const qreal baseline = row.y + row.baseline;
    // The spaces a row ends with hang past it: they draw no glyphs.
    int end = row.end_token;
    if (end > row.first_token && tokens[static_cast<std::size_t>(end - 1)].spaces)
        --end;
    for (int t = row.first_token; t < end; ++t) {
        const Token& token = tokens[static_cast<std::size_t>(t)];
        if (token.spaces) {
            // The last space before a word may be kerned against it.
            const Word* next =
                t + 1 < end
                    ? &word(QStringView(text).mid(tokens[static_cast<std::size_t>(t) + 1].start,
                                                  tokens[static_cast<std::size_t>(t) + 1].length))
                    : nullptr;
            for (int i = 0; i < token.length; ++i) {
                glyphs.push_back(space_glyph_);
                positions.push_back(QPointF(static_cast<qreal>(x) / 64, baseline));
                x += next != nullptr && i == token.length - 1 ? next->space_before : space_advance_;
            }
            continue;
        }
        const Word& shaped = word(QStringView(text).mid(token.start, token.length));
        for (std::size_t g = 0; g < shaped.glyphs.size(); ++g) {
            glyphs.push_back(shaped.glyphs[g]);
            positions.push_back(QPointF(static_cast<qreal>(x) / 64, baseline));
            x += shaped.advances[g];
        }
    }
    into.y = row.y;
    into.height = row.height;
    into.text_height = row.text_height;
    into.glyphs = RowGlyphs();
    std::size_t fonts_hash = 0;
    add_run(into.glyphs, fonts_hash, space_font_, row.run_flags, glyphs, positions, row.y);
    into.glyphs.hash = qHash(into.glyphs.glyphs) ^ fonts_hash;
    into.run = QGlyphRun();
    into.run.setRawFont(space_font_);
    into.run.setGlyphIndexes(glyphs);
    into.run.setPositions(positions);
    into.run.setFlags(static_cast<QGlyphRun::GlyphRunFlags>(row.run_flags));
}

MemoText::Shape MemoText::shape_of(const LaidLine& line, const QString& text,
                                   const std::vector<Token>& tokens) {
    Shape shape;
    shape.height = line.height;
    const QTextLayout& layout = *line.layout;
    const auto token_at = [&](int offset) {
        if (offset == text.size())
            return static_cast<int>(tokens.size());
        for (std::size_t t = 0; t < tokens.size(); ++t) {
            if (tokens[t].start == offset)
                return static_cast<int>(t);
        }
        return -1;
    };
    for (int r = 0; r < layout.lineCount(); ++r) {
        const QTextLine row = layout.lineAt(r);
        const int first = token_at(row.textStart());
        const int end = token_at(row.textStart() + row.textLength());
        const QList<QGlyphRun> runs = row.glyphRuns();
        if (first < 0 || end <= first || runs.size() != 1 || runs[0].positions().isEmpty())
            return shape;  // broken inside a word, or drawn in more than one font
        shape.rows.push_back({first, end, row.x(), row.y(), row.height(),
                              row.naturalTextRect().height(), runs[0].positions()[0].y() - row.y(),
                              static_cast<int>(runs[0].flags())});
    }
    // The toolkit's rows against the same rows put together from the words.
    for (std::size_t r = 0; r < shape.rows.size(); ++r) {
        LaidRow composed_row;
        compose_row(text, tokens, shape.rows[r], composed_row);
        if (!(composed_row.glyphs == line.rows[r].glyphs))
            return shape;
    }
    shape.composable = !shape.rows.empty();
    return shape;
}

std::shared_ptr<LaidLine> MemoText::composed(const QString& text, const std::vector<Token>& tokens,
                                             const Shape& shape) {
    auto line = std::make_shared<LaidLine>();
    line->height = shape.height;
    line->rows.resize(shape.rows.size());
    for (std::size_t r = 0; r < shape.rows.size(); ++r)
        compose_row(text, tokens, shape.rows[r], line->rows[r]);
    return line;
}

int MemoText::font_number(const QRawFont& font) {
    for (std::size_t i = 0; i < fonts_.size(); ++i) {
        if (fonts_[i] == font)
            return static_cast<int>(i);
    }
    fonts_.push_back(font);
    return static_cast<int>(fonts_.size() - 1);
}

const MemoText::Ink& MemoText::ink(const QRawFont& font, quint32 glyph, int phase) {
    const std::uint64_t key = static_cast<std::uint64_t>(font_number(font)) << 40 |
                              static_cast<std::uint64_t>(phase & 0xFF) << 32 | glyph;
    const auto known = inks_.find(key);
    if (known != inks_.end())
        return known->second;
    // The glyph drawn alone, its baseline at that place within a pixel, at a
    // few places across one: the rows its ink covers, black on white (where
    // any coverage shows).
    const int side = std::max(32, static_cast<int>(std::ceil(font.pixelSize())) * 8);
    const int baseline = side / 2;
    Ink found{INT_MAX, INT_MIN, true};
    for (int step = 0; step < 4 && found.known; ++step) {
        QImage image(side, side, QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            painter.setPen(Qt::black);
            QGlyphRun run;
            run.setRawFont(font);
            run.setGlyphIndexes({glyph});
            run.setPositions({QPointF(side / 4.0 + step / 4.0, baseline + phase / 64.0)});
            painter.drawGlyphRun(QPointF(0, 0), run);
        }
        for (int y = 0; y < side; ++y) {
            const auto* pixels = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < side; ++x) {
                if ((pixels[x] & 0xFFFFFFu) == 0xFFFFFFu)
                    continue;
                if (y == 0 || y == side - 1 || x == 0 || x == side - 1)
                    found.known = false;  // beyond what was looked at
                found.top = std::min(found.top, y - baseline);
                found.bottom = std::max(found.bottom, y - baseline);
            }
        }
    }
    if (inks_.size() >= kept_words) {
        inks_.clear();
        fonts_.clear();
    }
    return inks_.emplace(key, found).first->second;
}

bool MemoText::tame(const LaidRow& row, qreal top) {
    const int phase = static_cast<int>((top - std::floor(top)) * 64);
    if (row.tame_phase == phase)
        return row.tame;
    // Its own rows of pixels are those it covers whole.
    const qreal first_own = std::ceil(top);
    const qreal end_own = std::floor(top + row.height);
    bool tame = true;
    for_each_glyph(row.glyphs, [&](const QRawFont& font, quint32 glyph, qreal, qreal y) {
        if (!tame)
            return;
        const qreal baseline = top + y;
        const qreal pixel = std::floor(baseline);
        const Ink& covered = ink(font, glyph, static_cast<int>((baseline - pixel) * 64));
        if (!covered.known ||
            (covered.top <= covered.bottom &&
             (pixel + covered.top < first_own || pixel + covered.bottom >= end_own)))
            tame = false;
    });
    row.tame_phase = phase;
    row.tame = tame;
    return tame;
}

const QImage& MemoText::row_image(const LaidLine& line, int r, const RowKey& key,
                                  const QPainter& painter, QImage::Format format) {
    const LaidRow& row = line.rows[static_cast<std::size_t>(r)];
    const qreal phase = key.phase / 64.0;
    QImage image(drawn_.width, static_cast<int>(std::ceil(phase + row.height)), format);
    image.fill(QColor::fromRgba(drawn_.background));
    {
        QPainter on(&image);
        on.setRenderHints(painter.renderHints());
        on.setPen(painter.pen());
        if (!paint_pieces(on, row, phase, image.rect(), format))
            line.draw_row(on, r, QPointF(0, phase - row.y));
    }
    ++counts_.rows_kept;
    return rows_.insert(key, std::move(image));
}

const MemoText::Piece& MemoText::piece(const QByteArray& key, const QRawFont& font,
                                       const std::vector<std::pair<quint32, qreal>>& glyphs,
                                       qreal baseline, qreal row_height, const QPainter& painter,
                                       QImage::Format format) {
    if (const Piece* known = pieces_.find(key))
        return *known;
    ++counts_.pieces_drawn;
    // Drawn with room on either side, its glyphs at the places within a
    // pixel they have in the row, then cut to the columns its ink covers.
    const qreal first = std::floor(glyphs.front().second);
    const int room = std::max(8, static_cast<int>(std::ceil(font.pixelSize())) * 2);
    const int width = static_cast<int>(std::ceil(glyphs.back().second - first)) + 2 * room;
    const int height =
        static_cast<int>(std::ceil(baseline - std::floor(baseline) + row_height)) + 1;
    QImage canvas(width, height, format);
    canvas.fill(QColor::fromRgba(drawn_.background));
    const QRgb empty = reinterpret_cast<const QRgb*>(canvas.constScanLine(0))[0];
    QList<quint32> indexes;
    QList<QPointF> positions;
    for (const auto& [glyph, x] : glyphs) {
        indexes.push_back(glyph);
        positions.push_back(QPointF(x - first + room, baseline));
    }
    {
        QPainter on(&canvas);
        on.setRenderHints(painter.renderHints());
        on.setPen(painter.pen());
        QGlyphRun run;
        run.setRawFont(font);
        run.setGlyphIndexes(indexes);
        run.setPositions(positions);
        on.drawGlyphRun(QPointF(0, 0), run);
    }
    int left = width;
    int right = -1;
    for (int y = 0; y < height; ++y) {
        const auto* pixels = reinterpret_cast<const QRgb*>(canvas.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            if (pixels[x] != empty) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    Piece cut;
    if (right < left) {
        cut.image = QImage(0, 0, format);  // no ink: nothing to copy
    } else if (left > 0 && right < width - 1) {
        cut.image = canvas.copy(left, 0, right - left + 1, height);
        cut.left = left - room;
    }
    return pieces_.insert(key, std::move(cut));
}

bool MemoText::paint_pieces(QPainter& painter, const LaidRow& row, qreal top, const QRect& part,
                            QImage::Format format) {
    if (!spaces_usable_ || row.glyphs.fonts.size() != 1 || !(row.glyphs.fonts[0] == space_font_))
        return false;
    const int pixel_top = static_cast<int>(std::floor(top));
    const int phase = static_cast<int>((top - pixel_top) * 64);
    // The row's glyphs in runs between spaces, each run keyed by its glyphs,
    // where they lie from its first, and where that is within a pixel.
    struct Placed {
        const Piece* piece;
        int left;
    };
    std::vector<Placed> placed;
    std::vector<std::pair<quint32, qreal>> run;
    qreal baseline = 0;
    const auto end_run = [&] {
        if (run.empty())
            return true;
        const qreal first = run.front().second;
        const qreal first_pixel = std::floor(first);
        // The glyphs, and their places in 64ths of a pixel from the first.
        struct Glyph {
            quint32 glyph;
            qint32 x;
        };
        const qint32 head[] = {phase, static_cast<qint32>(baseline * 64),
                               static_cast<qint32>((first - first_pixel) * 64)};
        QByteArray key(static_cast<qsizetype>(sizeof head + run.size() * sizeof(Glyph)),
                       Qt::Uninitialized);
        std::memcpy(key.data(), head, sizeof head);
        auto* glyphs = reinterpret_cast<Glyph*>(key.data() + sizeof head);
        for (std::size_t g = 0; g < run.size(); ++g)
            glyphs[g] = {run[g].first, static_cast<qint32>((run[g].second - first) * 64)};
        const Piece& made =
            piece(key, space_font_, run, phase / 64.0 + baseline, row.height, painter, format);
        run.clear();
        if (made.image.isNull())
            return false;
        const int left = static_cast<int>(first_pixel) + made.left;
        if (!placed.empty() && left < placed.back().left + placed.back().piece->image.width())
            return false;  // its ink meets the run before
        placed.push_back({&made, left});
        return true;
    };
    bool apart = true;
    for_each_glyph(row.glyphs, [&](const QRawFont&, quint32 glyph, qreal x, qreal y) {
        if (!apart)
            return;
        baseline = y;
        if (glyph == space_glyph_) {
            apart = end_run();
        } else {
            run.emplace_back(glyph, x);
        }
    });
    if (!apart || !end_run())
        return false;
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const Placed& p : placed) {
        const QRect at(p.left, pixel_top, p.piece->image.width(), p.piece->image.height());
        const QRect shown = at & part;
        if (!shown.isEmpty())
            painter.drawImage(shown.topLeft(), p.piece->image, shown.translated(-at.topLeft()));
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    return true;
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
        pieces_.clear();
        drawn_ = now;
    }

    // Every row in view first: one whose ink reaches a neighbour's pixels
    // means drawing them all, in order.
    for (const Placed& placed : lines) {
        for (const LaidRow& row : placed.line->rows) {
            const qreal top = placed.y + row.y;
            const qreal phase = (top - std::floor(top)) * 64;
            if (phase != std::floor(phase) || !tame(row, top))
                return false;
        }
    }
    for (const Placed& placed : lines) {
        for (std::size_t r = 0; r < placed.line->rows.size(); ++r) {
            const LaidRow& row = placed.line->rows[r];
            const qreal top = placed.y + row.y;
            const int pixel_top = static_cast<int>(std::floor(top));
            const QRect rows(0, pixel_top, width,
                             static_cast<int>(std::ceil(top + row.height)) - pixel_top);
            const QRect part = rows & area;
            if (part.isEmpty())
                continue;
            const RowKey key{row.glyphs, static_cast<int>((top - pixel_top) * 64)};
            const QImage* image = rows_.find(key);
            if (image == nullptr && seen_.find(key.glyphs.hash ^ key.phase) != nullptr)
                image = &row_image(*placed.line, static_cast<int>(r), key, painter, format);
            if (image != nullptr) {
                painter.setCompositionMode(QPainter::CompositionMode_Source);
                painter.drawImage(part.topLeft(), *image, part.translated(0, -pixel_top));
                painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
                ++counts_.rows_copied;
            } else {
                // Put together or drawn once; kept if it comes again.
                seen_.insert(key.glyphs.hash ^ key.phase, true);
                if (paint_pieces(painter, row, top, part, format)) {
                    ++counts_.rows_of_pieces;
                } else {
                    placed.line->draw_row(painter, static_cast<int>(r), QPointF(0, placed.y));
                    ++counts_.rows_drawn;
                }
            }
        }
    }
    return true;
}

QByteArray MemoText::shape_key(const QString& text, const QFont& font) {
    const QTextOption one_line;
    if (font != font_ || !same_option(one_line, option_)) {
        clear();
        font_ = font;
        option_ = one_line;
        margin_ = 0;
        width_ = 0;
    }
    const std::vector<Token> tokens = tokens_of(text);
    return tokens.empty() ? QByteArray() : signature(text, tokens);
}

void MemoText::clear() {
    lines_.clear();
    words_.clear();
    shapes_.clear();
    spaces_known_ = false;
    rows_.clear();
    pieces_.clear();
    seen_.clear();
}

}  // namespace vcl::qt
