// The form toolkit facade: the handful of VCL operations rawmice's windows are
// written against. This header is the whole interface and names no toolkit;
// a backend chosen at build time (platform/vcl/qt on Linux, platform/vcl/win32
// on Windows) provides the windows, controls, canvas and message loop behind
// it. Each facade object reaches its backend's object through an opaque
// `Native` type that only the backend defines.
//
// Forms are streamed from stored layouts found by name, the way VCL streams a
// form from its stored resource: a form class names its layout, its published
// fields (filled by control name) and its published handlers (bound by the
// names that the layout's On* properties hold). A layout's width and height are
// the window's client size. What a layout may hold beyond geometry, captions,
// colours and fonts: on the form, a window position, a font size in pixels,
// OnCreate, OnActivate, OnClose and OnMouseMove; on a button, Cancel and OnClick;
// on a combo box, OnChange (its items are given in code, by SetItems). A form's
// OnKeyDown (and its KeyPreview) is bound in code.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The window system's types in the facade: the very types <windows.h>
// declares (its STRICT HWND, and UINT, WPARAM, LPARAM, LRESULT and WORD), so
// that handles, messages and key codes pass between the forms, the engine and
// the Win32 backend unconverted, with none of the rest of the Windows-shaped
// surface coming in with them. platform/win32/win32.h declares the same types
// off Windows; the Win32 backend and app/form_windows.cpp check that they are.
struct HWND__;

namespace vcl {

using WindowHandle = HWND__*;      // HWND
using MessageId = unsigned int;    // UINT
using WordParam = std::uintptr_t;  // WPARAM (UINT_PTR)
#if defined(_WIN32) && !defined(_WIN64)
using LongParam = long;  // LPARAM (LONG_PTR, a long on 32-bit Windows)
#else
using LongParam = std::intptr_t;  // LPARAM (LONG_PTR)
#endif
using LongResult = LongParam;    // LRESULT (LONG_PTR)
using KeyCode = unsigned short;  // WORD: a Windows virtual-key code (VK_F2, ...)

using String = std::string;  // UTF-8

class TObject {
  public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};
class TComponent : public TObject {};

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

// How a guard shows an exception that is not an Exception: as an Exception with
// an empty message (the program's entry point), or with the std::exception's
// what() (the message loop, around event and message handlers).
enum class OtherExceptions { empty_message, by_what };

// Shows the exception being handled (call it inside a catch block) through
// Application->ShowException, or on standard error when there is no application.
void show_current_exception(OtherExceptions others);

// The one exception guard: runs `body`; what escapes it is shown, and false returned.
template <class Body>
bool guard(Body&& body, OtherExceptions others) {
    try {
        body();
        return true;
    } catch (...) {
        show_current_exception(others);
        return false;
    }
}

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

// A read-only property: `HWND window = Form1->Handle;`.
template <class T>
class ReadOnlyProperty {
  public:
    explicit ReadOnlyProperty(std::function<T()> get) : get_(std::move(get)) {}
    ReadOnlyProperty(const ReadOnlyProperty&) = delete;
    ReadOnlyProperty& operator=(const ReadOnlyProperty&) = delete;
    operator T() const { return get_(); }
    T get() const { return get_(); }

  private:
    std::function<T()> get_;
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

// The colour of text drawn on a canvas; its face and size are the form's font.
struct TFont {
    TColor Color = clWindowText;
};

// A rectangle of pixels: Left..Right-1 across, Top..Bottom-1 down.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int left, int top, int right, int bottom) {
    return TRect{left, top, right, bottom};
}

// A single-shot timer of the message loop: `fire` runs on the GUI thread, once,
// when the time given to start has passed. (Backend.)
class Timer {
  public:
    struct Native;
    explicit Timer(std::function<void()> fire);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    // Starts it afresh: it fires `ms` milliseconds from now.
    void start(int ms);
    void stop();
    bool active() const;

  private:
    std::unique_ptr<Native> native_;
};

class TForm;

// What a form's frames cost the thread that draws them, part by part, in
// nanoseconds of the cost clock: the form's own drawing at a frame's start
// (the frame pacers charged to it: a measures window's drawing, the labels'
// and memos' updates), the toolkit's paint events of the window and its
// controls, and the hand-over of the new pixels to the display (on Qt the
// backing store's flush to the window system; GDI's paint puts them on the
// screen itself, so nothing is left to flush there).
struct FrameCost {
    enum Part { drawing, painting, flushing };
    std::int64_t ns[3] = {};
    // The frames of the grid in which the form drew or painted anything.
    std::uint64_t frames = 0;
    std::int64_t total_ns() const { return ns[drawing] + ns[painting] + ns[flushing]; }
};

// The clock frame costs are timed on, in nanoseconds: the steady clock, or a
// test's own (an empty one gives the steady clock back).
using CostClock = std::function<std::int64_t()>;
void set_cost_clock(CostClock clock);
std::int64_t cost_clock_ns();

// Runs an update at most once per frame of the process's frame grid
// (platform/frames: at the display's refresh rate), so the memo, the labels
// and the canvas changed within one frame reach the screen in one repaint;
// nothing runs while nothing was asked. Every pacer of the process waits on
// one timer: at each boundary the frame's starts (the inputs' reads, see
// frames::FrameStart) run first, then every update due, what the starts
// brought among them, in one wake-up.
class FramePacer {
  public:
    // The grid's clock in microseconds: frames::clock_us, or a test's own.
    using Clock = std::function<std::int64_t()>;
    explicit FramePacer(std::function<void()> update);
    FramePacer(std::function<void()> update, Clock clock);
    ~FramePacer();
    FramePacer(const FramePacer&) = delete;
    FramePacer& operator=(const FramePacer&) = delete;
    // The update runs at the next frame boundary (once, however often it is asked).
    void request();
    bool pending() const { return pending_; }
    // The update runs now when it has not run yet in this frame, else at the next one.
    void run_or_request();
    // Runs a pending update at once.
    void flush();
    // Its runs are the drawing of `form`'s frames, timed into its frame cost.
    void charge_to(TForm* form) { form_ = form; }
    // The update runs at most `per_second` times a second (0: in every
    // frame): at a boundary fewer frames after its last run than the grid's
    // rate over `per_second` (rounded: 2 at 60 Hz, 5 at 144), it waits for
    // that frame. For a window whose every frame moves the whole of a chart.
    // A run at once (flush, run_or_request) is not held back.
    void at_most(int per_second) { per_second_ = per_second; }
    // Runs the frame now, as its boundary would: the frame starts asked
    // for, then every update due (for the benchmark that counts what a frame
    // costs); what they ask for meanwhile waits for the next call or boundary.
    static void flush_all();

    // The process's frame timer, which runs the frame starts and the
    // updates due; the application follows the grid with it from its start.
    static void follow_frames();

  private:
    static void tick();
    void run();
    // Whether a boundary starting `frame` runs it, by at_most.
    bool due_at(std::int64_t frame) const;

    std::function<void()> update_;
    Clock clock_;
    bool pending_ = false;
    std::int64_t last_frame_ = -1;
    int last_rate_changes_ = -1;  // the grid's, at the last run
    int per_second_ = 0;
    TForm* form_ = nullptr;
};

// The frame grid's rate (platform/frames) follows the refresh rate of the
// display the main form is on: the backend reads it when the main form is
// first shown, when the form goes to another display and when the display's
// rate changes, and publishes it to the grid (which keeps a rate that the
// command line fixed). Tests stand in for the system's display: `rate`
// answers its refresh rate in Hz (0: it does not say); an empty one gives the
// system's back. Either way the rate is read again at once.
using DisplayRate = std::function<double()>;
void set_display_rate_source(DisplayRate rate);
// Reads the main form's display's rate again and publishes it: the backend
// calls it on the system's notices, and tests after their display changed.
void display_rate_changed();
// The refresh rate the system gives for the display the main form is on (the
// primary display while there is none), 0 where it does not say. (Backend.)
double system_display_rate();

// A form's drawing surface: it persists under the controls, so drawings
// survive repaints. Each figure is rendered once, antialiasing off, its outline
// over its fill as GDI draws it, then combined with the pixels by the pen mode:
// in pmXor pen and brush alike by exclusive or, so drawing a figure twice
// restores every pixel.
//
// Pixel conventions are GDI's: LineTo draws the current point and leaves out the
// end point (joined lines meet without overlapping; a line to the current point
// draws nothing); Ellipse(x1, y1, x2, y2) covers x1..x2-1 and y1..y2-1 with a pen
// of width 1. Wider pens (at most max_pen_width) have round ends and are centred
// on the outline. Coordinates may lie anywhere in the 32-bit range: lines are
// clipped to the surface. An ellipse reaching more than `ellipse_reach` pixels
// past it is beyond what the rasteriser places exactly: it is drawn when it
// encloses the whole surface (plain fill there) and left out when its outline
// crosses the surface.
#pragma push_macro("TextOut")
#undef TextOut
class TCanvas {
  public:
    struct Native;
    explicit TCanvas(TForm* owner);  // backend
    ~TCanvas();                      // backend
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    TPen* const Pen;
    TBrush* const Brush;
    TFont* const Font;

    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    void Ellipse(int x1, int y1, int x2, int y2);  // backend

    // The rectangle in Brush->Color, whatever the pen mode. (Backend.)
    void FillRect(const TRect& rect);
    // One line of text in Font->Color with its top left at (x, y), on a box of
    // Brush->Color TextWidth(text) wide and TextHeight(text) high, in the
    // form's font drawn without smoothing: every pixel of the box is the one
    // colour or the other. (Backend.)
    void TextOut(int x, int y, const String& text);
    int TextWidth(const String& text) const;   // backend
    int TextHeight(const String& text) const;  // backend
    // Copies the pixels of `source` on `canvas` (this one too: the two may
    // overlap) to `dest`, from its top left; nothing is stretched, and only
    // what lies on both surfaces is copied. (Backend.)
    void CopyRect(const TRect& dest, TCanvas* canvas, const TRect& source);

    // Writes the pixels of `area` (cut to the surface) to `path` as a PNG
    // file, through the system's own encoder (Qt's on Linux, WIC on
    // Windows). Throws Exception saying the path and what went wrong when it
    // cannot; a file that could not be written whole is not left behind.
    // (Backend.)
    void SaveToPNG(const String& path, const TRect& area) const;

    // The colour at a pixel (clBlack outside the surface), for readers of the canvas.
    TColor Pixel(int x, int y) const;  // backend

    static constexpr int ellipse_reach = 1 << 15;
    static constexpr int max_pen_width = 1024;
    // The pen's width as drawn: 1 to max_pen_width.
    int pen_width() const;

    Native& native() const { return *native_; }

  private:
    // Draws the line from (x1, y1) to (x2, y2), two different points, with the
    // pen: the first point drawn, the second left out. (Backend.)
    void draw_line(int x1, int y1, int x2, int y2);

    TPen pen_;
    TBrush brush_;
    TFont font_;
    int pen_x_ = 0;
    int pen_y_ = 0;
    std::unique_ptr<Native> native_;

#ifdef _WIN32
  public:
    // <windows.h> turns every TextOut after it into TextOutA or TextOutW by a
    // macro: whichever of the two headers came first, the call lands on TextOut.
    void TextOutA(int x, int y, const String& text);
    void TextOutW(int x, int y, const String& text);
#endif
};
#ifdef _WIN32
inline void TCanvas::TextOutA(int x, int y, const String& text) {
    TextOut(x, y, text);
}
inline void TCanvas::TextOutW(int x, int y, const String& text) {
    TextOut(x, y, text);
}
#endif
#pragma pop_macro("TextOut")

// Properties every control has. A control is made by its backend while a
// layout is streamed (or by a backend's tests), together with its native
// control, which owns it: both go when their window goes.
class TControl : public TComponent {
  public:
    struct Native;
    Property<bool> Enabled;
    Property<bool> Visible;
    void Show();
    void Hide();
    // The control's class, as errors name it ("vcl::TLabel").
    virtual String ClassName() const = 0;

    // Whether the control has the keyboard focus now; and giving it the focus:
    // at once while its window is the active one, else when the window is
    // next activated. A disabled or hidden control does not take it. (Backend.)
    bool Focused() const;
    void SetFocus();

    Native* native() const { return native_; }

  protected:
    explicit TControl(Native* native);

  private:
    // Backend. Enabled is the control's own setting; Visible too, whether or
    // not its window is shown yet.
    bool enabled() const;
    void set_enabled(bool on);
    bool visible() const;
    void set_visible(bool on);

    Native* native_;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// A label sizes itself to a caption set at run time, as VCL's AutoSize does; the
// size the layout gives it stands until then.
// Caption reads back what was set at once. The label shows and sizes a new
// caption at once when it has not changed yet in this frame; a caption that
// changes again within the frame is shown at the next one, the latest only, so
// a caption set a thousand times a second costs one layout a frame.
class TLabel : public TControl {
  public:
    explicit TLabel(Native* native);
    Property<String> Caption;
    // Shows a caption still waiting for its frame at once.
    void flush_caption() { shown_.flush(); }
    String ClassName() const override { return "vcl::TLabel"; }

  private:
    String caption() const;
    void set_caption(const String& caption);
    // Backend: the caption on screen, whether it is `caption`, and showing one
    // (sized to fit).
    String shown_caption() const;
    bool shows(const String& caption) const;
    void show_caption(const String& caption);

    friend class FormClass;
    String caption_;  // waiting for the next frame while shown_ is pending
    FramePacer shown_;
};

class TButton : public TControl {
  public:
    explicit TButton(Native* native);
    Property<String> Caption;  // backend
    // The window's cancel button: Esc presses it while it is enabled and visible.
    bool Cancel = false;
    TNotifyEvent OnClick;
    // Presses the button as a user would: fires OnClick when enabled. (Backend.)
    void Click();
    // The backend calls it when the button has been pressed: fires OnClick.
    void clicked();
    String ClassName() const override { return "vcl::TButton"; }

  private:
    String caption() const;
    void set_caption(const String& caption);
};

class TEdit : public TControl {
  public:
    explicit TEdit(Native* native);
    Property<String> Text;  // backend
    String ClassName() const override { return "vcl::TEdit"; }

  private:
    String text() const;
    void set_text(const String& text);
};

// A drop-down list to choose one of its items from (a VCL TComboBox in its
// csDropDownList style: nothing can be typed).
class TComboBox : public TControl {
  public:
    explicit TComboBox(Native* native);
    // The items, in order. Setting them keeps the item chosen when its text
    // is still among them, else none is chosen. (Backend.)
    std::vector<String> Items() const;
    void SetItems(const std::vector<String>& items);
    // The place of the item chosen; -1 for none. Setting it out of range
    // chooses none. Setting it fires no OnChange. (Backend.)
    Property<int> ItemIndex;
    // The user chose an item (not fired by ItemIndex or SetItems).
    TNotifyEvent OnChange;
    // The backend calls it when the user chose an item: fires OnChange.
    void changed();
    String ClassName() const override { return "vcl::TComboBox"; }

  private:
    int item_index() const;
    void set_item_index(int index);
};

class TMemo;

// The entries of a memo. Add appends one entry; a line break inside it (CR LF,
// CR or LF) starts a new line of the view, so a trailing break shows as an empty
// line after it. A memo keeps its latest `capacity` entries only, so a long run
// stays flat in memory. The view is brought up to date at most once a frame,
// however many entries came in it.
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

    // For views: counts every Add and Clear, so a view knows when its lines are
    // out of date; and the entries gone from the front, by the cap or Clear
    // (entry i is the (removed() + i)-th entry ever added).
    std::uint64_t changes() const { return changes_; }
    std::uint64_t removed() const { return removed_; }

  private:
    friend class FormClass;
    TMemo* view_;
    std::deque<String> entries_;  // oldest first
    std::uint64_t changes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t removed_ = 0;
    FramePacer repaint_;
};

// A memo shows its entries, the newest at the bottom, as a plain text view
// holding them all and scrolled to its end would. A memo with no entries shows
// the text its layout gives it.
class TMemo : public TControl {
  public:
    explicit TMemo(Native* native);
    ~TMemo() override;
    TStrings* Lines;
    String ClassName() const override { return "vcl::TMemo"; }

  private:
    friend class TStrings;
    // Backend: brings the screen up to date with the entries (once a frame).
    void refresh();

    std::unique_ptr<TStrings> lines_;
};

// A window message, as the dispatch of a form receives it.
struct TMessage {
    MessageId Msg;
    WordParam WParam;
    LongParam LParam;
    LongResult Result;
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
// Key is a Windows virtual-key code (VK_F2, ...); a handler that sets it to 0
// has used the key, and nothing else sees it.
using TKeyEvent = std::function<void(TObject* Sender, KeyCode& Key, TShiftState Shift)>;

// What a backend gives the common streaming once it has built a form's
// controls from a stored layout: the form's name, each control by its name (in
// layout order), and the handler names the layout binds to events.
struct StreamedLayout {
    struct Binding {
        String control;  // empty for the form itself
        String event;    // "OnCreate", "OnClick", ...
        String handler;
    };
    String form_name;
    std::vector<std::pair<String, TControl*>> controls;
    std::vector<Binding> bindings;
};

// Backend: builds the controls of `form` from the stored layout named `layout`
// (geometry, captions, colours, fonts, a window position, Cancel buttons) and
// sizes its canvas. Throws Exception when there is no such layout, or when the
// layout holds a value that cannot be used ("FORM: what is wrong").
StreamedLayout stream_layout(TForm& form, const String& layout);

// How a form class is streamed from its stored layout.
class FormClass {
  public:
    // The form class F is streamed from the layout named `layout`.
    template <class F>
    static FormClass of(const char* layout) {
        FormClass c;
        c.layout_ = layout;
        return c;
    }

    template <class F, class C>
    FormClass& field(const char* name, C* F::*member) {
        fields_[name] = [member](TForm& form, TControl* control) {
            auto* fitting = dynamic_cast<C*>(control);
            if (fitting == nullptr)
                return false;
            static_cast<F&>(form).*member = fitting;
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
    String layout_;
    std::map<String, std::function<bool(TForm&, TControl*)>> fields_;
    std::map<String, std::function<TNotifyEvent(TForm&)>> notify_;
    std::map<String, std::function<TCloseEvent(TForm&)>> close_;
    std::map<String, std::function<TMouseMoveEvent(TForm&)>> mouse_;
};

// Closing the main form (Close, or the window manager) runs OnClose and then
// ends the application's message loop unless OnClose answers caNone. A handler
// that throws while the loop runs is shown through the guard (by_what), and the
// loop goes on.
class TForm : public TComponent {
  public:
    struct Native;
    explicit TForm(TComponent* Owner);  // backend
    ~TForm() override;                  // backend

    TCanvas* Canvas;
    Property<String> Caption{[this] { return caption(); },
                             [this](const String& caption) { set_caption(caption); }};
    Property<bool> Visible{[this] { return visible(); },
                           [this](const bool& on) { set_visible(on); }};
    // The window's handle, as the raw input functions take it for a target
    // window: the HWND itself on Windows; elsewhere a value of this process
    // that names the form while it lives and is never given to another.
    // (Backend.)
    ReadOnlyProperty<WindowHandle> Handle{[this] { return handle(); }};

    TNotifyEvent OnCreate;
    TNotifyEvent OnActivate;
    TCloseEvent OnClose;
    TMouseMoveEvent OnMouseMove;
    // A key pressed while the window is active: with KeyPreview, before the
    // control with the focus sees it (whichever control that is); without,
    // only when no control of the form has the focus.
    TKeyEvent OnKeyDown;
    bool KeyPreview = false;

    // Backend. Show brings the window to the front as well, where the platform
    // has a front to bring it to; the first time it is shown it asks to be
    // activated, unless another window holds the focus by then (without a
    // window manager nothing else would activate it; with one, the window
    // the user turned to while the program started keeps the focus).
    void Show();
    void Hide();
    // Closes the window through its OnClose handler, as the user closing it would.
    void Close();
    // Makes the window (shown already) the active one, in front, with the focus. (Backend.)
    void SetFocus();

    // The form's message dispatch. A form class maps chosen messages to its
    // own methods with BEGIN_MESSAGE_MAP ... END_MESSAGE_MAP(TForm); every
    // other message comes here, where nothing is done with it.
    virtual void Dispatch(void* Message);

    // The form of this application that is active now, or null. (Backend.)
    static TForm* active();
    // The form whose Handle this is, or null when no form of this process
    // has it (any more). (Backend.)
    static TForm* from_handle(WindowHandle handle);

    // The controls streamed from its layout, in layout order.
    const std::vector<TControl*>& controls() const { return controls_; }
    Native& native() const { return *native_; }

    // What its frames have cost so far, and the backend's and its pacers'
    // additions: `ns` of `part` in the grid's frame `frame`.
    const FrameCost& frame_cost() const { return cost_; }
    void add_cost(FrameCost::Part part, std::int64_t ns, std::int64_t frame);

    // The backend calls these as the window's events come.
    // The window was activated: fires OnActivate.
    void activated();
    // The pointer moved over the window: fires OnMouseMove.
    void mouse_moved(TShiftState shift, int x, int y);
    // A key went down: fires OnKeyDown and answers whether the handler used
    // the key. The backend calls it before the control with the focus sees
    // the key when KeyPreview is set, else when the form itself has the focus.
    bool key_down(KeyCode key, TShiftState shift);
    // Esc with no shift state: presses the cancel button, when one is enabled
    // and visible. Answers whether one was pressed.
    bool escape_pressed();
    // The window is asked to close: fires OnClose and answers its action
    // (caHide unless the handler changes it). On caHide or caFree the backend
    // hides the window and then calls closed(); on caNone it stays; on
    // caMinimize it is minimised.
    TCloseAction closing();
    // The window closed: memos and labels show what waits for their frame, and
    // the main form's close ends the application's message loop.
    void closed();

  private:
    friend class FormClass;
    WindowHandle handle() const;  // backend
    String caption() const;       // backend
    void set_caption(const String& caption);
    bool visible() const;
    void set_visible(bool on);  // Show or Hide

    std::unique_ptr<Native> native_;
    std::unique_ptr<TCanvas> canvas_;
    std::vector<TControl*> controls_;
    FrameCost cost_;
    std::int64_t cost_frame_ = -1;  // the last frame its cost counted
};

class TApplication : public TComponent {
  public:
    struct Native;
    // Backend: sets up the toolkit for the process; sets the global Application.
    TApplication(int& argc, char** argv);
    ~TApplication() override;  // destroys the forms it owns (backend)

    // Backend: the layouts name the Windows font; on Linux it is drawn in the
    // free face closest to it.
    void Initialize();

    // Creates a form of class F from its stored layout, stores it in *ref and
    // runs its OnCreate handler before returning. The first form created is the
    // main form. F provides `static const vcl::FormClass& form_class();`.
    template <class F>
    void CreateForm(F** ref) {
        auto* form = new F(this);
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

    Native& native() const { return *native_; }

  private:
    friend class TForm;
    void adopt(TForm* form);
    void created(TForm& form);
    void main_form_closed();
    // Backend: runs the message loop until quit_loop; ends it.
    void run_loop();
    void quit_loop();
    // Backend: the presenter ShowException uses unless a test replaces it.
    static void present_on_screen(const String& message);

    std::unique_ptr<Native> native_;
    std::vector<TForm*> forms_;
    TForm* main_form_ = nullptr;
    bool main_form_closed_ = false;
    bool running_ = false;
    Presenter presenter_;
};

extern TApplication* Application;

// The system's dialog for choosing a file to save to: Qt's own file dialog
// on Linux, the common dialog (comdlg32's GetSaveFileName) on Windows. Modal
// over its owner while Execute runs; the message loop goes on meanwhile, so
// the other windows keep drawing and raw input keeps coming.
class TSaveDialog : public TComponent {
  public:
    explicit TSaveDialog(TForm* Owner) : owner_(Owner) {}
    // The dialog's title.
    String Title;
    // The kinds of file offered, as VCL writes them: description and
    // pattern pairs, all parted by '|' ("PNG picture (*.png)|*.png").
    String Filter;
    // Added (without its dot) to a name chosen without an extension.
    String DefaultExt;
    // The name proposed; after an Execute that answered true, the full path
    // chosen (UTF-8).
    String FileName;
    // Shows the dialog and waits for the user: true when a file was chosen
    // (asking first whether to replace one that exists), false when the
    // dialog was cancelled. (Backend.)
    bool Execute();

    TForm* owner() const { return owner_; }

  private:
    TForm* owner_;
};

// Shows `text` as a paragraph of the form's notice (one already shown is not
// repeated): a non-modal strip along the window's bottom edge, outside the
// stored layout, made on first use, that its Dismiss button hides. (Backend.)
void ShowNotice(TForm* form, const String& text);

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
