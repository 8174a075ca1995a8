// The facade's controls over Qt's widgets: label, button, edit, combo box,
// and what every control shares.
#include <QStyle>

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

Label::Label(QWidget* parent) : QLabel(parent), Carrying(this) {}

QSize Label::sizeHint() const {
    // As the plain label sizes a caption it shows whole on one line: the
    // bounds of its text, left-aligned in an ample box, and nothing around
    // them. Anything else is left to it.
    ensurePolished();
    const QString caption = text();
    const bool plain = textFormat() == Qt::PlainText ||
                       (textFormat() == Qt::AutoText && !Qt::mightBeRichText(caption));
    const QMargins around = contentsMargins();
    const bool interactive =
        (textInteractionFlags() &
         (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::TextEditable)) != 0;
    if (!plain || caption.isEmpty() || interactive || wordWrap() || !pixmap().isNull() ||
        margin() != 0 || indent() > 0 || frameWidth() != 0 || !around.isNull() ||
        minimumSize() != QSize(0, 0) || buddy() != nullptr || caption.isRightToLeft())
        return QLabel::sizeHint();
    // A label expands tabs; its centring is left out, as it changes no size.
    const int flags = (QStyle::visualAlignment(Qt::LeftToRight, alignment()) &
                       ~(Qt::AlignVCenter | Qt::AlignHCenter)) |
                      Qt::TextExpandTabs;
    return fontMetrics().boundingRect(0, 0, 2000, 2000, flags, caption).size();
}

Button::Button(QWidget* parent) : QPushButton(parent), Carrying(this) {
    connect(this, &QAbstractButton::clicked, this, [this] { control().clicked(); });
}

Edit::Edit(QWidget* parent) : QLineEdit(parent), Carrying(this) {}

ComboBox::ComboBox(QWidget* parent) : QComboBox(parent), Carrying(this) {
    setMaxVisibleItems(visible_items);
    connect(this, &QComboBox::activated, this, [this] { control().changed(); });
}

Memo::Memo(QWidget* parent) : QPlainTextEdit(parent), Carrying(this) {}

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
