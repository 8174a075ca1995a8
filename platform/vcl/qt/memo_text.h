// What the memo keeps so that a line of text costs little more than a copy
// once it has been seen: report lines repeat (the same fields, the same few
// values), so each distinct line is laid out once, and each distinct row of
// glyphs is drawn once into an image that later paints copy.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRawFont>
#include <QRect>
#include <QString>
#include <QTextLayout>
#include <QTextOption>

#include <cstddef>
#include <cstdint>
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

// A line of text laid out as the plain text view lays out a block, with the
// glyphs of each of its rows.
struct LaidLine {
    LaidLine(const QString& text, const QFont& font) : layout(text, font) {}
    QTextLayout layout;
    qreal height = 0;
    std::vector<RowGlyphs> rows;
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
    // The lines and rows kept: a view shows about a dozen rows; the rest are
    // the values seen lately, which come back as a mouse moves about.
    static constexpr std::size_t kept_lines = 256;
    static constexpr std::size_t kept_rows = 256;

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
    // Paints the rows of `lines` (every line in the view) that meet `area` by
    // copying their images, on a view `width` wide filled with `background`,
    // their text in the painter's pen. Answers false, having painted nothing,
    // where a copy would not be what drawing the text gives (a row whose
    // glyphs reach out of its own rows of pixels, a background that is not
    // one colour, a device that is not a 32-bit image at its natural size):
    // the caller then draws the lines.
    bool paint(QPainter& painter, const std::vector<Placed>& lines, const QRect& area, int width,
               const QBrush& background);

    // Forgets every line and image.
    void clear();

    // What was taken again and what was made, for the tests.
    struct Counts {
        std::uint64_t lines_laid_out = 0;
        std::uint64_t lines_reused = 0;
        std::uint64_t rows_drawn = 0;
        std::uint64_t rows_copied = 0;
    };
    const Counts& counts() const { return counts_; }

  private:
    struct StringHash {
        std::size_t operator()(const QString& text) const { return qHash(text); }
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
    // A row's pixels on the background, its rows of pixels from the one its
    // top is in; tame when no glyph reaches a row of pixels it shares with
    // the rows above or below.
    struct RowImage {
        QImage image;
        bool tame = false;
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

    const RowImage& row_image(const LaidLine& line, int row, const RowKey& key,
                              const QPainter& painter, QImage::Format format);

    QFont font_;
    QTextOption option_;
    qreal margin_ = -1;
    qreal width_ = -1;
    RecentlyUsed<QString, std::shared_ptr<const LaidLine>, StringHash> lines_;
    Drawn drawn_;
    RecentlyUsed<RowKey, RowImage, RowKeyHash> rows_;
    Counts counts_;
};

}  // namespace vcl::qt
