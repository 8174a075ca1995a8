// The facade's controls over Qt's widgets: label, button, edit, combo box,
// and what every control shares.
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QTextLayout>

#include <algorithm>

#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/widgets.h"

namespace vcl {

using qt::qstring;
using qt::string;

bool TControl::enabled() const {
    return !native_->widget->testAttribute(Qt::WA_ForceDisabled);
}

void TControl::set_enabled(bool on) {
    native_->widget->setEnabled(on);
}

bool TControl::visible() const {
    QWidget* self = native_->widget;
    QWidget* parent = self->parentWidget();
    return parent != nullptr ? self->isVisibleTo(parent) : self->isVisible();
}

void TControl::set_visible(bool on) {
    native_->widget->setVisible(on);
}

bool TControl::Focused() const {
    return native_->widget->hasFocus();
}

void TControl::SetFocus() {
    // In a window that is not active, Qt keeps the widget as the one to take
    // the focus when the window is activated.
    if (enabled() && visible())
        native_->widget->setFocus(Qt::OtherFocusReason);
}

namespace qt {

// The caption as the plain label's painting lays out one line of it (through
// QStyle::drawItemText and QPainter::drawText): left to right, its trailing
// spaces counted, the line at the top; its size is the line's natural width
// and its ascent and descent.
struct Label::Laid {
    QString text;
    QFont font;
    QTextLayout layout;
    QSizeF size;
};

Label::Label(QWidget* parent) : QLabel(parent), Carrying(this) {}

Label::~Label() = default;

bool Label::sized_by_bounds() const {
    const QString caption = text();
    const bool plain = textFormat() == Qt::PlainText ||
                       (textFormat() == Qt::AutoText && !Qt::mightBeRichText(caption));
    const bool interactive =
        (textInteractionFlags() &
         (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::TextEditable)) != 0;
    return plain && !caption.isEmpty() && !interactive && !wordWrap() && pixmap().isNull() &&
           margin() == 0 && indent() <= 0 && frameWidth() == 0 && contentsMargins().isNull() &&
           minimumSize() == QSize(0, 0) && buddy() == nullptr && !caption.isRightToLeft();
}

const Label::Laid* Label::laid() const {
    const QString caption = text();
    const QFont& shown_in = font();
    if (laid_ && laid_->text == caption && laid_->font == shown_in)
        return laid_.get();
    laid_.reset();
    // Lines, tabs, a right-to-left layout and the decorations the painting
    // adds after its lines are the plain label's own to lay out.
    const bool one_line = std::none_of(caption.begin(), caption.end(), [](QChar c) {
        return c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator ||
               c == QChar::ParagraphSeparator;
    });
    if (!one_line || layoutDirection() != Qt::LeftToRight || shown_in.underline() ||
        shown_in.strikeOut() || shown_in.overline())
        return nullptr;
    auto laid = std::make_unique<Laid>();
    laid->text = caption;
    laid->font = shown_in;
    laid->layout.setText(caption);
    laid->layout.setFont(shown_in);
    QTextOption option;
    option.setTextDirection(Qt::LeftToRight);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    laid->layout.setTextOption(option);
    laid->layout.setCacheEnabled(true);
    laid->layout.beginLayout();
    QTextLine line = laid->layout.createLine();
    line.setLineWidth(0x01000000);
    line.setPosition(QPointF(0, 0));
    laid->layout.endLayout();
    if (laid->layout.lineCount() != 1)
        return nullptr;
    laid->size = QSizeF(line.naturalTextWidth(), line.ascent() + line.descent());
    laid_ = std::move(laid);
    return laid_.get();
}

QSize Label::sizeHint() const {
    // As the plain label sizes a caption it shows whole on one line: the
    // bounds of its text, left-aligned in an ample box, and nothing around
    // them. Anything else is left to it.
    ensurePolished();
    if (!sized_by_bounds())
        return QLabel::sizeHint();
    if (const Laid* caption = laid())
        return QRectF(QPointF(0, 0), caption->size).toAlignedRect().size();
    // A label expands tabs; its centring is left out, as it changes no size.
    const int flags = (QStyle::visualAlignment(Qt::LeftToRight, alignment()) &
                       ~(Qt::AlignVCenter | Qt::AlignHCenter)) |
                      Qt::TextExpandTabs;
    return fontMetrics().boundingRect(0, 0, 2000, 2000, flags, text()).size();
}

void Label::paintEvent(QPaintEvent* event) {
    // The styles of Qt's own that draw an enabled label's text with the pen of
    // its palette's role and nothing more; another style may add to it.
    const QString style_name = style()->name();
    const bool plain_style = style_name.compare(u"fusion", Qt::CaseInsensitive) == 0 ||
                             style_name.compare(u"windows", Qt::CaseInsensitive) == 0;
    const Qt::Alignment align = alignment();
    const bool left =
        (QStyle::visualAlignment(Qt::LeftToRight, align) &
         (Qt::AlignLeft | Qt::AlignRight | Qt::AlignHCenter | Qt::AlignJustify)) == Qt::AlignLeft;
    const Laid* caption =
        plain_style && isEnabled() && left && sized_by_bounds() ? laid() : nullptr;
    const QRect box = contentsRect();
    qreal top = 0;
    if (caption != nullptr) {
        if (align & Qt::AlignBottom)
            top = box.height() - caption->size.height();
        else if (align & Qt::AlignVCenter)
            top = (box.height() - caption->size.height()) / 2;
    }
    // Where the text does not fit, the plain label clips it.
    if (caption == nullptr ||
        !QRectF(box).contains(QRectF(QPointF(box.x(), box.y() + top), caption->size))) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    painter.setPen(QPen(option.palette.brush(foregroundRole()), painter.pen().widthF()));
    caption->layout.lineAt(0).draw(&painter, QPointF(box.x(), box.y() + top));
}

Button::Button(QWidget* parent) : QPushButton(parent), Carrying(this) {
    connect(this, &QAbstractButton::clicked, this, [this] { control().clicked(); });
}

Edit::Edit(QWidget* parent) : QLineEdit(parent), Carrying(this) {}

ComboBox::ComboBox(QWidget* parent) : QComboBox(parent), Carrying(this) {
    setMaxVisibleItems(visible_items);
    connect(this, &QComboBox::activated, this, [this] { control().changed(); });
}

Memo::Memo(QWidget* parent) : QPlainTextEdit(parent), Carrying(this) {
    follow_background();
}

Memo::~Memo() = default;

}  // namespace qt

String TLabel::shown_caption() const {
    return string(static_cast<QLabel*>(native()->widget)->text());
}

bool TLabel::shows(const String& caption) const {
    return QAnyStringView::equal(
        static_cast<QLabel*>(native()->widget)->text(),
        QUtf8StringView(caption.data(), static_cast<qsizetype>(caption.size())));
}

void TLabel::show_caption(const String& caption) {
    auto* label = static_cast<QLabel*>(native()->widget);
    label->setText(qstring(caption));
    label->resize(label->sizeHint());
}

void TButton::Click() {
    static_cast<QPushButton*>(native()->widget)->click();
}

String TButton::caption() const {
    return string(static_cast<QPushButton*>(native()->widget)->text());
}

void TButton::set_caption(const String& caption) {
    static_cast<QPushButton*>(native()->widget)->setText(qstring(caption));
}

String TEdit::text() const {
    return string(static_cast<QLineEdit*>(native()->widget)->text());
}

void TEdit::set_text(const String& text) {
    static_cast<QLineEdit*>(native()->widget)->setText(qstring(text));
}

std::vector<String> TComboBox::Items() const {
    const auto* combo_box = static_cast<const QComboBox*>(native()->widget);
    std::vector<String> items;
    items.reserve(static_cast<std::size_t>(combo_box->count()));
    for (int i = 0; i < combo_box->count(); ++i)
        items.push_back(string(combo_box->itemText(i)));
    return items;
}

void TComboBox::SetItems(const std::vector<String>& items) {
    auto* combo_box = static_cast<QComboBox*>(native()->widget);
    const int chosen = combo_box->currentIndex();
    const QString kept = chosen >= 0 ? combo_box->itemText(chosen) : QString();
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(items.size()));
    for (const String& item : items)
        texts.push_back(qstring(item));
    // None of this is the user's choice: Qt says `activated` only for theirs.
    combo_box->clear();
    combo_box->addItems(texts);
    // Qt chooses the first item of a list that was empty; the facade keeps the choice or none.
    combo_box->setCurrentIndex(chosen >= 0 ? static_cast<int>(texts.indexOf(kept)) : -1);
}

int TComboBox::item_index() const {
    return static_cast<const QComboBox*>(native()->widget)->currentIndex();
}

void TComboBox::set_item_index(int index) {
    auto* combo_box = static_cast<QComboBox*>(native()->widget);
    combo_box->setCurrentIndex(index >= 0 && index < combo_box->count() ? index : -1);
}

void TMemo::refresh() {
    static_cast<qt::Memo*>(native()->widget)->refresh();
}

}  // namespace vcl
