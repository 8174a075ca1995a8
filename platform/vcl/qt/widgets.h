// The Qt widgets behind the facade's controls and forms. The stored layouts
// name these classes, so uic makes them; each carries its facade control (a
// vcl::TLabel in a Label, ...) and owns it.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextLayout>
#include <QWidget>

#include <QHash>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/vcl/qt/pointer.h"
#include "platform/vcl/vcl.h"

// On Qt a control's native side is its widget.
struct vcl::TControl::Native {
    QWidget* widget;
};

namespace vcl::qt {

// A widget that carries a facade control.
class ControlWidget {
  public:
    virtual ~ControlWidget() = default;
    virtual TControl& control() = 0;
};

// The facade control of class C that the widget `self` (the class deriving
// from this one) carries and owns.
template <class C>
class Carrying : public ControlWidget {
  public:
    explicit Carrying(QWidget* self) : native_{self} {}
    C& control() override { return control_; }
    const C& control() const { return control_; }

  private:
    TControl::Native native_;
    C control_{&native_};
};

// A label showing plain text on one line is sized and painted as the plain
// label sizes and paints it, from one layout of its caption kept until the
// caption or the font changes, where the plain label lays it out once to size
// it and again at every paint: a position label changes its caption with every
// move of a mouse, at every frame.
class Label : public QLabel, public Carrying<TLabel> {
    Q_OBJECT
  public:
    explicit Label(QWidget* parent = nullptr);
    ~Label() override;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    struct Laid;
    // Whether the plain label would size the caption as its text's bounds
    // alone: plain text, nothing around it, nothing to interact with.
    bool sized_by_bounds() const;
    // The caption laid out as the plain label lays it out to paint it, or
    // null where that takes more than one left-to-right line.
    const Laid* laid() const;
    mutable std::unique_ptr<Laid> laid_;
};

class Button : public QPushButton, public Carrying<TButton> {
    Q_OBJECT
  public:
    explicit Button(QWidget* parent = nullptr);
};

class Edit : public QLineEdit, public Carrying<TEdit> {
    Q_OBJECT
  public:
    explicit Edit(QWidget* parent = nullptr);
};

// A drop-down list: nothing can be typed, and only a user's choice (with the
// mouse on its list, the keys or the wheel: Qt's `activated`) fires OnChange.
class ComboBox : public QComboBox, public Carrying<TComboBox> {
    Q_OBJECT
  public:
    explicit ComboBox(QWidget* parent = nullptr);
    // The most items its list shows at once before it scrolls.
    static constexpr int visible_items = 8;
};

// A memo showing its entries draws only the lines in view, the newest at the
// bottom, exactly as a plain text view holding them all and scrolled to its
// end would: each line is laid out once, when it first comes into view, so an
// entry costs the same whether the memo holds ten entries or thousands; a
// line of the same text as one laid out lately takes that one's layout, and
// a row of text painted lately at the same place within a pixel is copied
// from its picture (a mouse's report lines repeat: its moves are a few
// counts either way, and the rows that wrap before them do not change). When
// new entries push the lines up, the pixels on screen are moved up with them
// and only the new lines are painted. A memo with no entries is a plain text
// view of its own text.
class Memo : public QPlainTextEdit, public Carrying<TMemo> {
    Q_OBJECT
  public:
    explicit Memo(QWidget* parent = nullptr);
    ~Memo() override;
    // Brings the screen up to date with the entries (once a frame).
    void refresh();

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool viewportEvent(QEvent* event) override;

  private:
    // A plain background the view fills itself, only where its rows do not;
    // the toolkit fills any other (a style's texture, from its own origin).
    void follow_background();
    // One line of an entry (the text between its line breaks), laid out as
    // the plain text view lays out a block.
    struct ShownLine {
        std::uint64_t entry;  // counted from the first entry ever added
        int line;
        std::shared_ptr<const QTextLayout> layout;
        qreal height;
    };
    // A layout kept for the next line of its text.
    struct Kept {
        std::shared_ptr<const QTextLayout> layout;
        qreal height;
    };
    static constexpr std::size_t kept_layouts = 256;
    // A row's picture: the row drawn on the view's background, from the
    // first pixel row its box starts in whole to the last its box reaches
    // (the pixel row a box starts in part belongs to the row above: no row
    // reaches to the top of its box). Kept by its text and where it lies
    // within a pixel.
    using RowKey = QPair<QString, int>;
    static constexpr std::size_t kept_rows = 160;
    // Paints `row` of `layout` at `y` (the layout's top), from its picture,
    // which covers the view's width: the band it painted (none for a row of
    // no pixel's height).
    QRect paint_row(QPainter& painter, const QTextLayout& layout, const QTextLine& row, qreal y);
    ShownLine lay_out(std::uint64_t entry, int line, const QString& text);
    // Works out the lines in view for the entries and the size of the view now.
    void arrange();
    bool arranged_now() const;

    // The lines in view, top to bottom, kept for the next paint while they stay
    // in view; the first is drawn at -top_.
    std::vector<ShownLine> shown_;
    // The layouts of the lines laid out lately, by text, the oldest first
    // out; for the view's width and font now.
    QHash<QString, Kept> kept_;
    std::deque<QString> kept_order_;
    QHash<RowKey, QImage> rows_;
    std::deque<RowKey> rows_order_;
    // What the row pictures were drawn with; another look starts them afresh.
    QRgb rows_background_ = 0;
    QRgb rows_pen_ = 0;
    int rows_width_ = 0;
    qreal top_ = 0;
    std::uint64_t arranged_changes_ = 0;
    QSize arranged_size_;
    QFont arranged_font_;
    // The newest line the last refresh put on screen, and where, when known:
    // the next refresh moves the pixels from there.
    bool on_screen_known_ = false;
    std::uint64_t on_screen_entry_ = 0;
    int on_screen_line_ = 0;
    qreal on_screen_y_ = 0;
    // A repaint asked for and not painted yet.
    bool paint_pending_ = false;
};

// A form's window: its canvas under the controls, and its events passed on to
// the facade form. Keys reach the form's window before any widget of it, which
// is where a form that previews keys sees them.
class FormWidget : public QWidget {
    Q_OBJECT
  public:
    explicit FormWidget(TForm& form);
    TForm& form() const { return form_; }

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // Passes a key press on to the form; answers whether the form used it.
    bool key_down(const QKeyEvent& event);

    TForm& form_;
    bool activated_once_ = false;
    PointerFrames pointer_{*this};
    QObject* filtered_window_ = nullptr;
};

}  // namespace vcl::qt

struct vcl::TForm::Native {
    explicit Native(TForm& form) : widget(form) {}
    qt::FormWidget widget;
    WindowHandle handle = nullptr;  // the form's Handle
};
