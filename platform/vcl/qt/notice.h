// A notice on a form, outside its stored layout: a strip along the form's
// bottom edge that says what keeps the window from doing its job (no mouse
// can be read, the log cannot be written), as desktop programs show such
// problems in the window rather than in a terminal nobody sees. It is not
// modal: the form goes on working around and under it, and its button
// dismisses it.
#pragma once

#include <QFrame>
#include <QStringList>

class QLabel;
class QToolButton;

namespace vcl {

class TNotice : public QFrame {
    Q_OBJECT
  public:
    // Made hidden on `form`, which it follows as the form is resized.
    explicit TNotice(QWidget* form);

    // Adds a paragraph (one already shown is not repeated) and shows the notice.
    void add(const QString& paragraph);
    QString text() const;
    QToolButton* dismiss_button() const { return dismiss_; }

    static constexpr QRgb background = 0xfff4d6;
    static constexpr QRgb border = 0xd9a520;
    static constexpr int margin = 8;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void place();

    QLabel* label_;
    QToolButton* dismiss_;
    QStringList paragraphs_;
};

}  // namespace vcl
