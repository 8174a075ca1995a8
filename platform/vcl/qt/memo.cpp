// The memo's view: only the lines in view are laid out and painted, and a
// frame that adds entries moves the pixels of the lines that stay.
#include <QPaintEvent>
#include <QPainter>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <climits>
#include <cmath>

#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/widgets.h"

namespace vcl {

namespace {

// A memo entry as its view shows it: every line break (CR LF, CR, LF, or a
// separator QTextDocument breaks at) starts a new line.
QString view_text(const String& entry) {
    QString text = qt::qstring(entry);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (QChar& c : text) {
        if (c == QLatin1Char('\r') || c == QChar::ParagraphSeparator || c.unicode() == 0xfdd0 ||
            c.unicode() == 0xfdd1) {
            c = QLatin1Char('\n');
        }
    }
    return text;
}

}  // namespace

namespace qt {

Memo::ShownLine Memo::lay_out(std::uint64_t entry, int line, const QString& text) {
    const auto kept = kept_.constFind(text);
    if (kept != kept_.cend())
        return {entry, line, kept->layout, kept->height};
    // As the plain text view lays out a block: its document's options, font
    // and margins, the width of the view, leading included.
    const qreal margin = document()->documentMargin();
    const int view_width = viewport()->width();
    const qreal width = (view_width > 0 ? view_width : qreal(INT_MAX)) - 2 * margin;
    auto layout = std::make_unique<QTextLayout>(text, font());
    layout->setTextOption(document()->defaultTextOption());
    layout->setCacheEnabled(true);
    qreal height = 0;
    layout->beginLayout();
    for (QTextLine row = layout->createLine(); row.isValid(); row = layout->createLine()) {
        row.setLeadingIncluded(true);
        row.setLineWidth(width);
        row.setPosition(QPointF(margin, height));
        height += row.height();
        if (row.leading() < 0)
            height += std::ceil(row.leading());
    }
    layout->endLayout();
    std::shared_ptr<const QTextLayout> shared = std::move(layout);
    if (kept_order_.size() == kept_layouts) {
        kept_.remove(kept_order_.front());
        kept_order_.pop_front();
    }
    kept_.insert(text, {shared, height});
    kept_order_.push_back(text);
    return {entry, line, std::move(shared), height};
}

bool Memo::arranged_now() const {
    return arranged_changes_ == control().Lines->changes() &&
           arranged_size_ == viewport()->size() && arranged_font_ == font();
}

void Memo::arrange() {
    const TStrings& lines = *control().Lines;
    if (arranged_size_.width() != viewport()->width() || arranged_font_ != font()) {
        shown_.clear();
        kept_.clear();
        kept_order_.clear();
        rows_.clear();
        rows_order_.clear();
    }
    arranged_changes_ = lines.changes();
    arranged_size_ = viewport()->size();
    arranged_font_ = font();
    const qreal view_height = viewport()->height();
    // The lines from the newest back, until they fill the view; a line laid
    // out for the last paint is taken over.
    std::vector<ShownLine> in_view;
    std::size_t reused_from = shown_.size();
    qreal filled = 0;
    bool at_top = false;
    for (int e = lines.Count() - 1; e >= 0 && filled <= view_height; --e) {
        const std::uint64_t entry = lines.removed() + static_cast<std::uint64_t>(e);
        const QStringList parts = view_text(lines[e]).split(QLatin1Char('\n'));
        for (int l = static_cast<int>(parts.size()) - 1; l >= 0 && filled <= view_height; --l) {
            while (reused_from > 0 &&
                   (shown_[reused_from - 1].entry > entry ||
                    (shown_[reused_from - 1].entry == entry && shown_[reused_from - 1].line > l)))
                --reused_from;
            if (reused_from > 0 && shown_[reused_from - 1].entry == entry &&
                shown_[reused_from - 1].line == l) {
                in_view.push_back(std::move(shown_[--reused_from]));
            } else {
                in_view.push_back(lay_out(entry, l, parts[l]));
            }
            filled += in_view.back().height;
            at_top = e == 0 && l == 0;
        }
    }
    std::reverse(in_view.begin(), in_view.end());
    shown_ = std::move(in_view);

    // Scrolled to the end, the view starts at the first row from which every
    // row down to the last fits. As the plain text view does, a view that
    // starts inside a wrapped line starts below the natural bottom of the row
    // above (in whole pixels), and one that starts at the very first line has
    // the top margin.
    qreal top = 0;
    qreal block_top = 0;
    for (std::size_t b = 0; b < shown_.size(); ++b) {
        const QTextLayout& layout = *shown_[b].layout;
        int first_row = -1;
        for (int r = 0; r < layout.lineCount() && first_row < 0; ++r) {
            if (filled - (block_top + layout.lineAt(r).y()) <= view_height)
                first_row = r;
        }
        if (first_row >= 0) {
            const QTextLine above = layout.lineAt(std::max(first_row - 1, 0));
            top = first_row == 0
                      ? block_top
                      : block_top + static_cast<int>(above.y() + above.naturalTextRect().height());
            if (at_top && b == 0 && first_row == 0)
                top -= document()->documentMargin();
            break;
        }
        block_top += shown_[b].height;
    }
    top_ = top;
}

void Memo::refresh() {
    QWidget* view = viewport();
    if (!view->isVisible()) {
        // Laid out when it shows again, and painted whole then.
        on_screen_known_ = false;
        view->update();
        return;
    }
    const bool can_scroll = on_screen_known_ && !paint_pending_ && arranged_size_ == view->size() &&
                            arranged_font_ == font();
    arrange();
    qreal last_y = -top_;
    for (std::size_t b = 0; b + 1 < shown_.size(); ++b)
        last_y += shown_[b].height;
    // Where the newest line on screen is now.
    qreal now_y = -top_;
    std::size_t b = 0;
    while (b < shown_.size() &&
           (shown_[b].entry != on_screen_entry_ || shown_[b].line != on_screen_line_))
        now_y += shown_[b++].height;
    const qreal dy = now_y - on_screen_y_;
    const qreal was_below = b < shown_.size() ? now_y + shown_[b].height : 0;

    on_screen_known_ = !shown_.empty();
    if (on_screen_known_) {
        on_screen_entry_ = shown_.back().entry;
        on_screen_line_ = shown_.back().line;
        on_screen_y_ = last_y;
    }
    paint_pending_ = true;
    const int height = view->height();
    // The lines that stay move up together: their pixels move, and the lines
    // below them are painted. Anything else (a line gone, a move by a fraction
    // of a pixel or by the whole view) is painted afresh.
    if (!can_scroll || b == shown_.size() || dy > 0 || dy != std::floor(dy) || -dy >= height) {
        view->update();
        return;
    }
    if (dy < 0)
        view->scroll(0, static_cast<int>(dy));
    const int strip_top = std::max(0, static_cast<int>(std::floor(was_below)));
    if (strip_top < height) {
        view->update(QRect(0, strip_top, view->width(), height - strip_top));
    } else if (dy == 0) {
        paint_pending_ = false;  // nothing on screen changes
    }
}

void Memo::follow_background() {
    const QBrush background = viewport()->palette().brush(viewport()->backgroundRole());
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, background.style() == Qt::SolidPattern);
}

bool Memo::viewportEvent(QEvent* event) {
    // Followed on the view's own events: the memo's palette reaches the view
    // after the memo hears of it.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange ||
        event->type() == QEvent::EnabledChange)
        follow_background();
    return QPlainTextEdit::viewportEvent(event);
}

void Memo::paintEvent(QPaintEvent* event) {
    paint_pending_ = false;
    // A plain background the view fills itself where its rows do not: the
    // toolkit would fill all that it paints first. Another brush (a style's
    // texture) the toolkit fills, from its own origin.
    const QBrush background = viewport()->palette().brush(viewport()->backgroundRole());
    const bool plain = background.style() == Qt::SolidPattern;
    const bool filled = !viewport()->testAttribute(Qt::WA_OpaquePaintEvent);
    if (plain == filled) {
        // Not followed yet (the view's own palette changed): from the next
        // paint on; one the toolkit should have filled is painted again.
        follow_background();
        if (!plain) {
            on_screen_known_ = false;
            paint_pending_ = true;
            viewport()->update();
        }
    }
    const auto fill = [&](const QRegion& region) {
        if (filled || region.isEmpty())
            return;
        QPainter filler(viewport());
        for (const QRect& part : region)
            filler.fillRect(part, background);
    };
    if (control().Lines->Count() == 0) {
        shown_.clear();
        arranged_changes_ = control().Lines->changes();
        fill(event->region());
        QPlainTextEdit::paintEvent(event);
        return;
    }
    if (!arranged_now()) {
        // Entries came after the frame's refresh (or the view changed): what
        // is painted now must agree with the pixels around it, so all of it is.
        const bool partial = event->rect() != viewport()->rect();
        arrange();
        on_screen_known_ = false;
        if (partial) {
            paint_pending_ = true;
            viewport()->update();
        }
    }
    // Rows come from their pictures on a plain background, which cover the
    // view's width; on another brush they are drawn through.
    if (!plain)
        fill(event->region());
    QPainter painter(viewport());
    const QColor pen =
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text);
    painter.setPen(pen);
    if (plain && (background.color().rgba() != rows_background_ || pen.rgba() != rows_pen_ ||
                  viewport()->width() != rows_width_)) {
        rows_.clear();
        rows_order_.clear();
        rows_background_ = background.color().rgba();
        rows_pen_ = pen.rgba();
        rows_width_ = viewport()->width();
    }
    const QRect area = event->rect();
    // The band of the view the rows painted cover, from its top to its bottom.
    int covered_top = INT_MAX;
    int covered_bottom = INT_MIN;
    qreal y = -top_;
    for (const ShownLine& shown : shown_) {
        if (y + shown.height >= area.top() && y <= area.bottom()) {
            if (!plain) {
                shown.layout->draw(&painter, QPointF(0, y));
            } else {
                for (int r = 0; r < shown.layout->lineCount(); ++r) {
                    const QTextLine row = shown.layout->lineAt(r);
                    if (y + row.y() + row.height() >= area.top() && y + row.y() <= area.bottom()) {
                        const QRect painted = paint_row(painter, *shown.layout, row, y);
                        if (!painted.isEmpty()) {
                            covered_top = std::min(covered_top, painted.top());
                            covered_bottom = std::max(covered_bottom, painted.bottom() + 1);
                        }
                    }
                }
            }
        }
        y += shown.height;
    }
    if (plain) {
        painter.end();
        QRegion bare = event->region();
        if (covered_top < covered_bottom)
            bare -= QRect(0, covered_top, rows_width_, covered_bottom - covered_top);
        fill(bare);
    }
}

QRect Memo::paint_row(QPainter& painter, const QTextLayout& layout, const QTextLine& row, qreal y) {
    const qreal top = y + row.y();
    const int first = static_cast<int>(std::ceil(top));
    const int end = static_cast<int>(std::ceil(top + row.height()));
    if (end <= first)
        return QRect();
    // Where the row lies within a pixel, in the 64ths text is placed in.
    const RowKey key(layout.text().mid(row.textStart(), row.textLength()),
                     static_cast<int>(std::lround((top - std::floor(top)) * 64)) * 4096 +
                         static_cast<int>(std::lround(row.x() * 64)));
    auto kept = rows_.constFind(key);
    if (kept == rows_.cend()) {
        QImage picture(rows_width_, end - first, QImage::Format_ARGB32_Premultiplied);
        picture.fill(QColor::fromRgba(rows_background_));
        {
            QPainter on(&picture);
            on.setPen(QColor::fromRgba(rows_pen_));
            row.draw(&on, QPointF(0, y - first));
        }
        if (rows_order_.size() == kept_rows) {
            rows_.remove(rows_order_.front());
            rows_order_.pop_front();
        }
        kept = rows_.insert(key, std::move(picture));
        rows_order_.push_back(key);
    }
    painter.drawImage(QPoint(0, first), *kept);
    return QRect(0, first, rows_width_, end - first);
}

}  // namespace qt

}  // namespace vcl
