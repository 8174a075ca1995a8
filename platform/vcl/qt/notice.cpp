#include "platform/vcl/qt/notice.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

#include "platform/vcl/qt/native.h"

namespace vcl {

TNotice::TNotice(QWidget* form)
    : QFrame(form), label_(new QLabel(this)), dismiss_(new QToolButton(this)) {
    setObjectName("rawmice_notice");
    setFrameShape(QFrame::NoFrame);
    // Its own colours, whatever the form's palette: it must stand out from the canvas.
    setAutoFillBackground(true);
    setStyleSheet(QString("QFrame#rawmice_notice { background: #%1; border: 1px solid #%2; }"
                          "QLabel { color: black; background: transparent; }")
                      .arg(background, 6, 16, QChar('0'))
                      .arg(border, 6, 16, QChar('0')));
    label_->setWordWrap(true);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    dismiss_->setText(QStringLiteral("Dismiss"));
    dismiss_->setAutoRaise(true);
    dismiss_->setFocusPolicy(Qt::NoFocus);  // the form keeps the keyboard (Esc, Copy)
    connect(dismiss_, &QToolButton::clicked, this, &QWidget::hide);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(margin, 6, 6, 6);
    layout->addWidget(label_, 1);
    layout->addWidget(dismiss_, 0, Qt::AlignTop);
    form->installEventFilter(this);
    hide();
}

void TNotice::add(const QString& paragraph) {
    if (!paragraphs_.contains(paragraph))
        paragraphs_ << paragraph;
    label_->setText(paragraphs_.join("\n"));
    place();
    show();
    raise();
}

QString TNotice::text() const {
    return label_->text();
}

bool TNotice::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        place();
    return QFrame::eventFilter(watched, event);
}

void TNotice::place() {
    const auto* form = parentWidget();
    const int width = form->width() - 2 * margin;
    const int height =
        layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width) : sizeHint().height();
    setGeometry(margin, form->height() - margin - height, width, height);
}

void ShowNotice(TForm* form, const String& text) {
    QWidget* window = qt::widget(form);
    auto* notice = window->findChild<TNotice*>(QString(), Qt::FindDirectChildrenOnly);
    if (notice == nullptr)
        notice = new TNotice(window);
    notice->add(QString::fromStdString(text));
}

}  // namespace vcl
