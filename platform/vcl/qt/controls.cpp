// The facade's controls over Qt's widgets: label, button, edit, and what
// every control shares.
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

void TMemo::refresh() {
    static_cast<qt::Memo*>(native()->widget)->refresh();
}

}  // namespace vcl
