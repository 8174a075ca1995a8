// The form toolkit facade: the handful of VCL operations rawmice's windows are
// written against, provided over Qt 6 Widgets.
//
// Forms are streamed from Qt Designer layouts, the way VCL streams a form from
// its stored resource: a form class names its layout, its published fields
// (filled by object name) and its published handlers (bound by the names that
// the layout's On* properties hold). Besides Designer's own properties a layout
// may hold these dynamic ones: on the form, windowPosition (a point: uic keeps
// no position for a window), fontPixelSize (the font's size in pixels: uic keeps
// points only), OnCreate, OnActivate, OnClose, OnMouseMove; on a button, Cancel
// and OnClick. A layout's width and height are the window's client size.
#pragma once

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextLayout>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

class QApplication;
class QPainter;

namespace vcl {

using String = std::string;  // UTF-8
using TObject = QObject;
using TComponent = QObject;

String IntToStr(int value);

// The toolkit's base exception class.
class Exception : public std::exception {
  public:
    explicit Exception(String message) : message_(std::move(message)) {}
    const String& Message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    String message_;
};

// Colours are 0x00BBGGRR; system colours have the top byte set and an index below.
using TColor = std::uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clGreen = 0x008000;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBtnFace = 0xFF00000F;
constexpr TColor clWindowText = 0xFF000008;

// The RGB a colour stands for (system colours through the application palette).
QColor to_qcolor(TColor color);
TColor from_qcolor(QColor color);

// A read/write property in the VCL manner: `Label1->Caption = "Hola";`.
template <class T>
class Property {
  public:
    Property(std::function<T()> get, std::function<void(const T&)> set)
        : get_(std::move(get)), set_(std::move(set)) {}
    Property(const Property&) = delete;
    Property& operator=(const Property& other) { return *this = static_cast<T>(other); }
    Property& operator=(const T& value) {
        set_(value);
        return *this;
    }
    operator T() const { return get_(); }
    T get() const { return get_(); }

  private:
    std::function<T()> get_;
    std::function<void(const T&)> set_;
};

enum TPenMode { pmCopy, pmXor };

// Pen settings stay in force for later drawing until they are changed.
struct TPen {
    TColor Color = clBlack;
    TPenMode Mode = pmCopy;
    int Width = 1;
};

struct TBrush {
    TColor Color = clWhite;
};

// Runs an update at most once per frame of 33 ms (30 a second): as live to the
// eye as a 60 Hz display, at half the cost while a mouse keeps every frame
// busy. Frames are one grid for the whole process, so the memo, the labels and
// the canvas changed within one frame reach the screen in one repaint; nothing
// runs while nothing was asked.
class FramePacer {
  public:
    explicit FramePacer(std::function<void()> update);
    FramePacer(const FramePacer&) = delete;
    FramePacer& operator=(const FramePacer&) = delete;
    // The update runs at the next frame boundary (once, however often it is asked).
    void request();
    bool pending() const { return timer_.isActive(); }
    // The update runs now when it has not run yet in this frame, else at the next one.
    void run_or_request();
    // Runs a pending update at once.
    void flush();
    static constexpr int frame_ms = 33;

  private:
    void run();

    std::function<void()> update_;
    QTimer timer_;
    std::int64_t last_frame_ = -1;
};

// A form's drawing surface: a persistent image under the controls, so drawings
// survive repaints. Each figure is rendered once, antialiasing off, its outline
// over its fill as GDI draws it, then combined with the pixels by the pen mode:
// in pmXor pen and brush alike by exclusive or, so drawing a figure twice
// restores every pixel.
//
// Pixel conventions are GDI's: LineTo draws the current point and leaves out the
// end point (joined lines meet without overlapping; a line to the current point
// draws nothing); Ellipse(x1, y1, x2, y2) covers x1..x2-1 and y1..y2-1 with a pen
// of width 1. Wider pens have round ends and are centred on the outline.
// Coordinates may lie anywhere in the 32-bit range: lines are clipped to the
// surface. An ellipse reaching more than `ellipse_reach` pixels past it is beyond
// what the rasteriser places exactly: it is drawn when it encloses the whole
// surface (plain fill there) and left out when its outline crosses the surface.
class TCanvas {
  public:
    explicit TCanvas(QWidget* owner);
    ~TCanvas();
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    TPen* const Pen;
    TBrush* const Brush;

    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    void Ellipse(int x1, int y1, int x2, int y2);

    // The colour at a pixel (clBlack outside the surface), for readers of the canvas.
    TColor Pixel(int x, int y) const;
    const QImage& image() const {
        end_painting();
        return image_;
    }
    // Grows the surface to at least this size, keeping what is drawn.
    void ensure_size(QSize size);

    static constexpr int ellipse_reach = 1 << 15;
    // Pens are at most this wide.
    static constexpr int max_pen_width = 1024;

  private:
    // A small figure as rendered, kept for the next figure of the same shape,
    // size and colours wherever it lies (the cursor marks repeat one shape).
    using FigureKey = std::array<std::int64_t, 12>;
    struct CachedFigure {
        FigureKey key;
        QImage figure;
    };
    static constexpr std::size_t figure_cache_size = 16;
    static constexpr int max_cached_side = 64;

    int pen_width() const;
    // The cached figure for `key`, or one made by `render` over `area` (cached when small).
    template <class Render>
    QImage figure_for(const FigureKey& key, QSize area, Render&& render);
    // Combines a rendered figure with the surface at `at`, by the pen mode.
    void combine(const QImage& figure, QPoint at);
    // The owner repaints what figures changed, once per frame.
    void mark_dirty(const QRect& area);
    // Ends the painter the figures of this turn share, before the surface is read.
    void end_painting() const;

    QWidget* owner_;
    TPen pen_;
    TBrush brush_;
    QImage image_;
    // Open on image_ from the first figure of a turn to its end, or until the
    // surface is read: a painter per figure costs more than the figure.
    mutable std::unique_ptr<QPainter> painter_;
    int pen_x_ = 0;
    int pen_y_ = 0;
    std::vector<CachedFigure> figures_;
    std::size_t next_evicted_ = 0;
    QRect dirty_;
    FramePacer repaint_;
};

// Properties every control has.
class TControl {
  public:
    explicit TControl(QWidget* self);
    virtual ~TControl() = default;
    Property<bool> Enabled;
    Property<bool> Visible;
    void Show();
    void Hide();

  private:
    QWidget* self_;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// A label sizes itself to a caption set at run time, as VCL's AutoSize does; the
// size the layout gives it stands until then.
// Caption reads back what was set at once. The label shows and sizes a new
// caption at once when it has not changed yet in this frame; a caption that
// changes again within the frame is shown at the next one, the latest only, so
// a caption set a thousand times a second costs one layout a frame.
class TLabel : public QLabel, public TControl {
    Q_OBJECT
  public:
    explicit TLabel(QWidget* parent = nullptr);
    Property<String> Caption;
    // Shows a caption still waiting for its frame at once.
    void flush_caption() { shown_.flush(); }

  private:
    String caption() const;
    void set_caption(const String& caption);
    void show_caption();

    String caption_;  // waiting for the next frame while shown_ is pending
    FramePacer shown_;
};

class TButton : public QPushButton, public TControl {
    Q_OBJECT
  public:
    explicit TButton(QWidget* parent = nullptr);
    Property<String> Caption;
    // The window's cancel button: Esc presses it while it is enabled and visible.
    bool Cancel = false;
    TNotifyEvent OnClick;
    // Presses the button as a user would (fires OnClick when enabled).
    void Click();
};

class TEdit : public QLineEdit, public TControl {
    Q_OBJECT
  public:
    explicit TEdit(QWidget* parent = nullptr);
    Property<String> Text;
};

class TMemo;

// The entries of a memo. Add appends one entry; a line break inside it starts
// a new line of the view, so a trailing break shows as an empty line after it.
// A memo keeps its latest `capacity` entries only, so a long run stays flat in
// memory. The view is repainted at most once a frame, however many
// entries came in it.
class TStrings {
  public:
    explicit TStrings(TMemo* view);
    TStrings(const TStrings&) = delete;
    TStrings& operator=(const TStrings&) = delete;
    void Add(const String& text);
    void Add(String&& text);
    int Count() const { return static_cast<int>(entries_.size()); }
    const String& operator[](int index) const { return entries_[static_cast<std::size_t>(index)]; }
    void Clear();
    // Entries dropped from the front because of the cap.
    std::uint64_t dropped() const { return dropped_; }
    static constexpr int capacity = 4000;
    // Brings the view up to date at once (normally done once a frame).
    void flush_view();

  private:
    friend class TMemo;

    TMemo* view_;
    std::deque<String> entries_;  // oldest first
    // Counts every Add and Clear, so the view knows when its lines are out of date.
    std::uint64_t changes_ = 0;
    std::uint64_t dropped_ = 0;
    // Entries gone from the front, by the cap or Clear: entries_[i] is the
    // (removed_ + i)-th entry ever added.
    std::uint64_t removed_ = 0;
    FramePacer repaint_;
};

// A memo showing its entries draws only the lines in view, the newest at the
// bottom, exactly as a plain text view holding them all and scrolled to its
// end would: each line is laid out once, when it first comes into view, so an
// entry costs the same whether the memo holds ten entries or thousands. When
// new entries push the lines up, the pixels on screen are moved up with them
// and only the new lines are painted. A memo with no entries is a plain text
// view of its own text.
class TMemo : public QPlainTextEdit, public TControl {
    Q_OBJECT
  public:
    explicit TMemo(QWidget* parent = nullptr);
    ~TMemo() override;
    TStrings* Lines;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // One line of an entry (the text between its line breaks), laid out.
    struct ShownLine {
        std::uint64_t entry;  // counted from the first entry ever added
        int line;
        std::unique_ptr<QTextLayout> layout;
        qreal height;
    };
    ShownLine lay_out(std::uint64_t entry, int line, const QString& text) const;
    // Works out the lines in view for the entries and the size of the view now.
    void arrange();
    bool arranged_now() const;
    // Brings the screen up to date with the entries (once a frame).
    void refresh();
    friend class TStrings;

    std::unique_ptr<TStrings> lines_;
    // The lines in view, top to bottom, kept for the next paint while they stay
    // in view; the first is drawn at -top_.
    std::vector<ShownLine> shown_;
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

// A window message, as the dispatch of a form receives it.
struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

enum TCloseAction { caNone, caHide, caFree, caMinimize };
enum TShiftStateFlag : unsigned {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32
};
using TShiftState = unsigned;

using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;

class TForm;

// How a form class is streamed from its stored layout.
class FormClass {
  public:
    using Setup = std::function<void(TForm&)>;

    // `Ui` is the uic class of the layout.
    template <class F, class Ui>
    static FormClass of() {
        FormClass c;
        c.setup_ = [](TForm& form) {
            Ui ui;
            ui.setupUi(static_cast<F*>(&form));
        };
        return c;
    }

    template <class F, class C>
    FormClass& field(const char* name, C* F::*member) {
        fields_[name] = [member](TForm& form, QWidget* widget) {
            auto* control = dynamic_cast<C*>(widget);
            if (control == nullptr)
                return false;
            static_cast<F&>(form).*member = control;
            return true;
        };
        return *this;
    }
    template <class F>
    FormClass& handler(const char* name, void (F::*method)(TObject*)) {
        notify_[name] = [method](TForm& form) {
            return TNotifyEvent(
                [&form, method](TObject* s) { (static_cast<F&>(form).*method)(s); });
        };
        return *this;
    }
    template <class F>
    FormClass& handler(const char* name, void (F::*method)(TObject*, TCloseAction&)) {
        close_[name] = [method](TForm& form) {
            return TCloseEvent([&form, method](TObject* s, TCloseAction& a) {
                (static_cast<F&>(form).*method)(s, a);
            });
        };
        return *this;
    }
    template <class F>
    FormClass& handler(const char* name, void (F::*method)(TObject*, TShiftState, int, int)) {
        mouse_[name] = [method](TForm& form) {
            return TMouseMoveEvent([&form, method](TObject* s, TShiftState sh, int x, int y) {
                (static_cast<F&>(form).*method)(s, sh, x, y);
            });
        };
        return *this;
    }

    // Builds the form's controls from the layout, fills the published fields
    // and binds the handlers the layout names. Throws Exception, naming the
    // culprit, when a field has no control of its kind in the layout, or the
    // layout names an event or handler the class does not have.
    void stream(TForm& form) const;

  private:
    Setup setup_;
    std::map<std::string, std::function<bool(TForm&, QWidget*)>> fields_;
    std::map<std::string, std::function<TNotifyEvent(TForm&)>> notify_;
    std::map<std::string, std::function<TCloseEvent(TForm&)>> close_;
    std::map<std::string, std::function<TMouseMoveEvent(TForm&)>> mouse_;
};

// Closing the main form (Close, or the window manager) runs OnClose and then
// ends the application's message loop unless OnClose answers caNone. A handler
// that throws while the loop runs is reported through Application->HandleException,
// and the loop goes on.
class TForm : public QWidget {
    Q_OBJECT
  public:
    explicit TForm(TComponent* Owner);
    ~TForm() override;

    TCanvas* Canvas;
    Property<String> Caption;
    Property<bool> Visible;

    TNotifyEvent OnCreate;
    TNotifyEvent OnActivate;
    TCloseEvent OnClose;
    TMouseMoveEvent OnMouseMove;

    void Show();
    void Hide();
    // Closes the window through its OnClose handler, as the user closing it would.
    void Close();

    // The form's message dispatch. A form class maps chosen messages to its
    // own methods with BEGIN_MESSAGE_MAP ... END_MESSAGE_MAP(TForm); every
    // other message comes here, where nothing is done with it.
    virtual void Dispatch(void* Message);

    // The form of this application that is active now, or null.
    static TForm* active();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    std::unique_ptr<TCanvas> canvas_;
    bool activated_once_ = false;
};

// Runs an event handler; what it throws is shown through Application->HandleException.
void fire_event(TObject* sender, const std::function<void()>& handler);

class TApplication {
  public:
    // Wraps the process's Qt application; sets the global Application.
    TApplication(int& argc, char** argv);
    ~TApplication();  // destroys the forms it owns
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    void Initialize();

    // Creates a form of class F from its stored layout, stores it in *ref and
    // runs its OnCreate handler before returning. The first form created is the
    // main form. F provides `static const vcl::FormClass& form_class();`.
    template <class F>
    void CreateForm(F** ref) {
        auto* form = new F(qt_owner());
        adopt(form);
        *ref = form;
        F::form_class().stream(*form);
        created(*form);
    }

    // Shows the main form and runs the message loop until the main form closes.
    void Run();
    // Shows the exception's message to the user: on standard error, and in a
    // message box when a real display is in use.
    void ShowException(Exception* E);
    // Inside a catch block: shows the exception being handled. An Exception is
    // shown as it is, another std::exception by its what(), anything else with
    // an empty message.
    void HandleException(TObject* Sender);

    TForm* MainForm() const { return main_form_; }
    const std::vector<TForm*>& forms() const { return forms_; }

    // Where ShowException sends messages; tests replace it. Returns the previous presenter.
    using Presenter = std::function<void(const String& message)>;
    Presenter set_exception_presenter(Presenter presenter);

    // Destroys the forms it owns, as at the end of the run; the next form
    // created becomes the main form. For tests that need a fresh start.
    void destroy_forms();

  private:
    friend class TForm;
    QObject* qt_owner();
    void adopt(TForm* form);
    void created(TForm& form);
    void main_form_closed();

    std::unique_ptr<QApplication> qt_;
    std::unique_ptr<QObject> owner_;
    std::vector<TForm*> forms_;
    TForm* main_form_ = nullptr;
    bool main_form_closed_ = false;
    bool running_ = false;
    Presenter presenter_;
};

extern TApplication* Application;

// Shows `text` as a paragraph of the form's notice (platform/vcl/qt/notice.h), a
// non-modal strip outside the stored layout, made on first use.
class TNotice;
TNotice* ShowNotice(TForm* form, const String& text);

}  // namespace vcl

// Message maps, as VCL form classes write them.
#define BEGIN_MESSAGE_MAP                   \
    void Dispatch(void* Message) override { \
        switch (static_cast<::vcl::TMessage*>(Message)->Msg) {
#define VCL_MESSAGE_HANDLER(msg, type, method) \
    case msg:                                  \
        method(*static_cast<type*>(Message));  \
        break;
#define END_MESSAGE_MAP(base)    \
    default:                     \
        base::Dispatch(Message); \
        break;                   \
        }                        \
        }
