// What the memo keeps so that a line of report text costs little more than a
// copy: report lines repeat their words and their rows.
//
// A line is laid out from its words: each distinct word is shaped once, and a
// line whose words have the shape (widths, kerned spaces, where it may break)
// of a line the toolkit laid out before takes that line's rows, with its own
// words' glyphs placed along them. The first line of each shape is laid out
// by the toolkit and the composed rows checked against it, glyph by glyph;
// a shape whose words do not add up to the toolkit's line (a space kerned
// against its neighbour, a word broken inside) is always laid out by the
// toolkit. Other text (tabs, anything beyond printable ASCII) is too.
//
// Each distinct row of glyphs is drawn once into an image that later paints
// copy, where that gives the pixels drawing it gives: when no glyph's ink
// reaches a row of pixels another row shares. A row met for the first time is
// put together from the images of its words (each drawn once at each place
// within a pixel it comes at), where no word's ink reaches the pixels of the
// next; or else drawn.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QGlyphRun>
#include <QImage>
#include <QRawFont>
#include <QRect>
#include <QString>
#include <QTextLayout>
#include <QTextOption>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

class QPainter;

namespace vcl::qt {

// The glyphs a row of a laid-out line draws, each with its font and where it
// goes from the row's top (x as the layout places it): rows with equal glyphs
// draw equal pixels, whatever line they come from.
struct RowGlyphs {
    std::vector<QRawFont> fonts;  // one per run of glyphs
    QByteArray glyphs;            // per run: its length, then each glyph and its position
    std::size_t hash = 0;
    bool operator==(const RowGlyphs& other) const {
        return hash == other.hash && glyphs == other.glyphs && fonts == other.fonts;
    }
};

// A row of a laid-out line.
struct LaidRow {
    qreal y = 0;  // its top, from the line's top
    qreal height = 0;
    // Where its text ends below its top (the height before rounding up to whole pixels).
    qreal text_height = 0;
    RowGlyphs glyphs;
    // A composed row's glyphs as drawn, placed from the line's top left.
    QGlyphRun run;
    // Whether its ink stays in its own rows of pixels, at the place within a
    // pixel (in 64ths) it was last worked out for.
    mutable int tame_phase = -1;
    mutable bool tame = false;
};

// A line of text laid out as the plain text view lays out a block.
struct LaidLine {
    // The toolkit's layout, or null for a line composed from its words.
    std::unique_ptr<QTextLayout> layout;
    qreal height = 0;
    std::vector<LaidRow> rows;
    // Draws the line (or one of its rows) with its top left at `origin`.
    void draw(QPainter& painter, QPointF origin) const;
    void draw_row(QPainter& painter, int row, QPointF origin) const;
};

// A small map that forgets what was used least recently once it holds
// `capacity` values.
template <class Key, class Value, class Hash>
class RecentlyUsed {
  public:
    explicit RecentlyUsed(std::size_t capacity) : capacity_(capacity) {}
    // The value of `key`, now the most recently used; null when it is not here.
    Value* find(const Key& key) {
        const auto found = index_.find(key);
        if (found == index_.end())
            return nullptr;
        order_.splice(order_.begin(), order_, found->second);
        return &found->second->second;
    }
    Value& insert(const Key& key, Value value) {
        if (Value* known = find(key)) {
            *known = std::move(value);
            return *known;
        }
        if (order_.size() == capacity_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
        order_.emplace_front(key, std::move(value));
        index_.emplace(key, order_.begin());
        return order_.front().second;
    }
    void clear() {
        index_.clear();
        order_.clear();
    }
    std::size_t size() const { return order_.size(); }

  private:
    using Entry = std::pair<Key, Value>;
    std::size_t capacity_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<Key, typename std::list<Entry>::iterator, Hash> index_;
};

class MemoText {
  public:
    // The lines, rows, words and shapes kept: a view shows about a dozen rows;
    // the rest are what was seen lately, which comes back as a mouse moves.
    static constexpr std::size_t kept_lines = 256;
    static constexpr std::size_t kept_rows = 256;
    static constexpr std::size_t kept_words = 4096;
    static constexpr std::size_t kept_shapes = 1024;
    static constexpr std::size_t kept_pieces = 2048;

    MemoText();

    // `text` laid out for a view in `font` with `option`, its rows `width`
    // wide and `margin` in from the left; a text laid out lately for the same
    // view is taken again.
    std::shared_ptr<const LaidLine> lay_out(const QString& text, const QFont& font,
                                            const QTextOption& option, qreal margin, qreal width);

    struct Placed {
        const LaidLine* line;
        qreal y;  // its top, in the view
    };
    // Paints the rows of `lines` (every line in the view) that meet `area`, on
    // a view `width` wide filled with `background`, their text in the
    // painter's pen: each row is copied from its image, or drawn (and kept as
    // an image once it comes again). Answers false, having painted nothing,
    // where that would not give what drawing every line in order gives (a
    // glyph whose ink reaches a row of pixels another row has, a background
    // that is not one colour, a device that is not a 32-bit image at its
    // natural size): the caller then draws the lines.
    bool paint(QPainter& painter, const std::vector<Placed>& lines, const QRect& area, int width,
               const QBrush& background);

    // The shape of `text` on one line in `font`: the widths of its words and
    // spaces as the toolkit shapes them, so that texts of one shape take the
    // same width. Empty for text that is not printable ASCII or that may be
    // broken inside a word.
    QByteArray shape_key(const QString& text, const QFont& font);

    // Forgets every line, row, word and shape.
    void clear();

    // What was taken again and what was made, for the tests.
    struct Counts {
        std::uint64_t lines_laid_out = 0;  // by the toolkit
        std::uint64_t lines_composed = 0;  // from their words
        std::uint64_t lines_reused = 0;
        std::uint64_t shapes_refused = 0;  // whose words did not add up to the toolkit's line
        std::uint64_t rows_drawn = 0;      // straight on the view
        std::uint64_t rows_of_pieces = 0;  // put together from their words' images
        std::uint64_t pieces_drawn = 0;
        std::uint64_t rows_kept = 0;  // drawn into an image
        std::uint64_t rows_copied = 0;
    };
    const Counts& counts() const { return counts_; }

  private:
    struct StringHash {
        using is_transparent = void;  // looked up by views of a line's text too
        std::size_t operator()(QStringView text) const { return qHash(text); }
    };
    struct BytesHash {
        std::size_t operator()(const QByteArray& bytes) const { return qHash(bytes); }
    };
    struct SizeHash {
        std::size_t operator()(std::size_t value) const { return value; }
    };
    // A word shaped between two spaces, as it is in a line: its glyphs and
    // their advances (the last up to the space after it), in 64ths of a
    // pixel; the advance of the space before it (a space may be kerned
    // against the letter after it); and its width on its own (a glyph that
    // reaches past its advance makes that longer), which the toolkit weighs
    // when it breaks a line after the word.
    struct Word {
        bool usable = false;
        std::vector<quint32> glyphs;
        std::vector<std::int64_t> advances;
        std::int64_t width = 0;
        std::int64_t space_before = 0;
        std::int64_t alone = 0;
    };
    // The rows of a line's shape: the tokens (words and runs of spaces) each
    // holds and where it lies, as the toolkit laid out the first line of it.
    struct Shape {
        bool composable = false;
        struct Row {
            int first_token;
            int end_token;
            qreal x, y, height, text_height, baseline;
            int run_flags;
        };
        std::vector<Row> rows;
        qreal height = 0;
    };
    struct Token {
        int start;
        int length;
        bool spaces;
    };
    // A row's glyphs at a place within a pixel (in 64ths, down from the pixel's top).
    struct RowKey {
        RowGlyphs glyphs;
        int phase;
        bool operator==(const RowKey& other) const {
            return phase == other.phase && glyphs == other.glyphs;
        }
    };
    struct RowKeyHash {
        std::size_t operator()(const RowKey& key) const {
            return key.glyphs.hash ^ (static_cast<std::size_t>(key.phase) * 0x9e3779b97f4a7c15u);
        }
    };
    // What every kept image was drawn with: another one makes them stale.
    struct Drawn {
        int width = 0;
        QImage::Format format = QImage::Format_Invalid;
        QRgb background = 0;
        QRgb pen = 0;
        int hints = 0;
        bool operator==(const Drawn&) const = default;
    };
    // The rows of pixels a glyph's ink covers, from the one its baseline is in.
    struct Ink {
        int top;
        int bottom;
        bool known;
    };

    std::shared_ptr<LaidLine> laid_out_by_toolkit(const QString& text) const;
    std::shared_ptr<LaidLine> composed(const QString& text, const std::vector<Token>& tokens,
                                       const Shape& shape);
    // The toolkit's line checked against its composition: its shape.
    Shape shape_of(const LaidLine& line, const QString& text, const std::vector<Token>& tokens);
    // The tokens of text made of printable ASCII and spaces; empty for other text.
    static std::vector<Token> tokens_of(const QString& text);
    const Word& word(QStringView text);
    bool know_spaces();
    // The shape of the line's tokens, or empty when the line cannot be composed.
    QByteArray signature(const QString& text, const std::vector<Token>& tokens);
    // Lays out `text` on one line of its own (the memo's font and options).
    QList<QGlyphRun> glyph_runs(const QString& text, qreal* natural_width = nullptr) const;
    void compose_row(const QString& text, const std::vector<Token>& tokens, const Shape::Row& row,
                     LaidRow& into);

    bool tame(const LaidRow& row, qreal top);
    const Ink& ink(const QRawFont& font, quint32 glyph, int phase);
    // A number for each font met, for the keys of the inks.
    int font_number(const QRawFont& font);
    const QImage& row_image(const LaidLine& line, int row, const RowKey& key,
                            const QPainter& painter, QImage::Format format);
    // A run of a row's glyphs between spaces, drawn on the background at its
    // place within a pixel: the columns its ink covers, from the one its
    // first glyph is in. Null when its ink could not be bounded.
    struct Piece {
        QImage image;
        int left = 0;
    };
    const Piece& piece(const QByteArray& key, const QRawFont& font,
                       const std::vector<std::pair<quint32, qreal>>& glyphs, qreal baseline,
                       qreal row_height, const QPainter& painter, QImage::Format format);
    // Paints the part of a row that meets `part` from the images of its
    // words; false, having painted nothing, where their ink would meet.
    bool paint_pieces(QPainter& painter, const LaidRow& row, qreal top, const QRect& part,
                      QImage::Format format);

    QFont font_;
    QTextOption option_;
    qreal margin_ = -1;
    qreal width_ = -1;
    RecentlyUsed<QString, std::shared_ptr<const LaidLine>, StringHash> lines_;
    std::unordered_map<QString, Word, StringHash, std::equal_to<>> words_;
    bool spaces_known_ = false;
    bool spaces_usable_ = false;
    quint32 space_glyph_ = 0;
    std::int64_t space_advance_ = 0;
    QRawFont space_font_;
    RecentlyUsed<QByteArray, Shape, BytesHash> shapes_;
    std::vector<QRawFont> fonts_;
    std::unordered_map<std::uint64_t, Ink> inks_;
    Drawn drawn_;
    RecentlyUsed<RowKey, QImage, RowKeyHash> rows_;
    RecentlyUsed<QByteArray, Piece, BytesHash> pieces_;
    // Rows drawn once lately: one that comes again is kept as an image.
    RecentlyUsed<std::size_t, bool, SizeHash> seen_;
    Counts counts_;
};

}  // namespace vcl::qt
