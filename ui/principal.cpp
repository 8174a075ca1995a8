#include "ui/principal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "measures/clock.h"
#include "measures/feed.h"
#include "rawinput/rawinput.h"
#include "ui/measures_window.h"

TForm1* Form1 = nullptr;

TForm1::TForm1(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    // Bound here rather than in the layout: the key is the program's, not the window's.
    KeyPreview = true;
    OnKeyDown = [this](vcl::TObject* sender, WORD& key, vcl::TShiftState shift) {
        FormKeyDown(sender, key, shift);
    };
}

TForm1::~TForm1() = default;

const vcl::FormClass& TForm1::form_class() {
    static const vcl::FormClass form_class = vcl::FormClass::of<TForm1>("Form1")
                                                 .field("Label1", &TForm1::Label1)
                                                 .field("btnCopy", &TForm1::btnCopy)
                                                 .field("Label2", &TForm1::Label2)
                                                 .field("Label3", &TForm1::Label3)
                                                 .field("Label4", &TForm1::Label4)
                                                 .field("Label5", &TForm1::Label5)
                                                 .field("Label6", &TForm1::Label6)
                                                 .field("Edit1", &TForm1::Edit1)
                                                 .field("Memo1", &TForm1::Memo1)
                                                 .handler("FormCreate", &TForm1::FormCreate)
                                                 .handler("FormActivate", &TForm1::FormActivate)
                                                 .handler("FormClose", &TForm1::FormClose)
                                                 .handler("FormMouseMove", &TForm1::FormMouseMove)
                                                 .handler("btnCopyClick", &TForm1::btnCopyClick);
    return form_class;
}

// The window's handlers, its WM_INPUT method, the tracked cursor and the log.

LogStream log_file;

namespace {

// Coordinates are signed 32-bit and never clamped to the window; their sums
// saturate at the 32-bit limits instead of overflowing.
std::int32_t saturating_add(std::int32_t a, std::int32_t b) {
    std::int32_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int32_t>::max()
                     : std::numeric_limits<std::int32_t>::min();
    }
    return sum;
}

constexpr int tracked_mouse = 2;

// A log that stops taking lines is said once; the memo still shows them.
bool log_failure_reported = false;
bool log_missing = false;

// Opens log.txt for this run, emptied, and returns its descriptor, or -1 after
// saying why there is no log. Two programs in one folder would splice each
// other's lines: a second rawmice finds the file held and leaves the first
// one's log alone.
int open_log(const char* path) {
    const LogOpening log = open_log_file(path);
    switch (log.problem) {
        case LogProblem::none:
            break;
        case LogProblem::cannot_create:
            report_problem("rawmice: cannot create log.txt: " + log.reason +
                               " (the memo still shows every packet; run rawmice from a folder "
                               "you can write to)",
                           "log.txt cannot be created here (" + log.reason +
                               "): nothing is logged. The window still shows every packet; start "
                               "rawmice from a folder you can write to.");
            break;
        case LogProblem::held:
            report_problem(
                "rawmice: another rawmice is writing log.txt in this folder; this one runs "
                "without a log (the memo still shows every packet)",
                "Another rawmice is writing log.txt in this folder, so this one keeps no log. The "
                "window still shows every packet; to log both, start them from different "
                "folders.");
            break;
        case LogProblem::cannot_empty:
            report_problem("rawmice: cannot empty log.txt: " + log.reason +
                               " (the memo still shows every packet)",
                           "log.txt cannot be emptied (" + log.reason +
                               "): nothing is logged. The window still shows every packet.");
            break;
    }
    return log.fd;
}

}  // namespace

void report_problem(const std::string& line, const std::string& notice) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    show_notice(notice);
}

void show_notice(const std::string& notice) {
    if (Form1 != nullptr)
        vcl::ShowNotice(Form1, notice);
}

void show_background_notice() {
    show_notice(
        "Listening in the background (--background): every mouse is read and logged whichever "
        "window has the focus, this one or another program's.");
}

bool log_incomplete() {
    return log_missing || log_failure_reported;
}

void flush_log() {
    if (!log_file.is_open())
        return;
    log_file.flush();
    if (!log_file && !log_failure_reported) {
        log_failure_reported = true;
        const std::string reason = std::strerror(errno);
        report_problem("rawmice: cannot write log.txt: " + reason +
                           " (later report lines are not logged; the memo still shows them)",
                       "log.txt cannot be written (" + reason +
                           "): later packets are not logged. The window still shows them.");
    }
}

void TForm1::FormCreate(vcl::TObject* /*Sender*/) {
    // A log still open from an earlier window of this process would hold the
    // lock against this one.
    log_file.close();
    const int fd = open_log("log.txt");
    log_missing = fd < 0;
    if (fd >= 0)
        log_file.open(fd);
    origin_mark_x = 120;
    origin_mark_y = 120;
    cursor_x = 150;
    cursor_y = 150;
    Canvas->Ellipse(origin_mark_x, origin_mark_y, origin_mark_x + 5, origin_mark_y + 5);
    if (raw_input_init(this) == 0)
        std::printf("raw_input_init() failed\n");
}

void TForm1::FormActivate(vcl::TObject* /*Sender*/) {}

void TForm1::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    flush_log();  // a last write that fails is said, like any other
    log_file.close();
    ShowCursor(TRUE);
}

void TForm1::FormMouseMove(vcl::TObject* /*Sender*/, vcl::TShiftState /*Shift*/, int X, int Y) {
    Label2->Caption = "X = " + vcl::IntToStr(X) + " , " + vcl::IntToStr(Y);
    Canvas->Pen->Mode = vcl::pmXor;
    Canvas->Pen->Color = vcl::clWhite;
    Canvas->Pen->Width = 1;
}

void TForm1::FormKeyDown(vcl::TObject* /*Sender*/, WORD& Key, vcl::TShiftState Shift) {
    measures_window_keys(Key, Shift);
}

void TForm1::btnCopyClick(vcl::TObject* /*Sender*/) {
    Memo1->Hide();
    btnCopy->Enabled = false;
}

void TForm1::WMInput(vcl::TMessage& Message) {
#ifdef _WIN32
    // Raw input carries no time stamp: the packet's time is when it came.
    const std::int64_t received_us = measures::receipt_us();
#endif
    [[maybe_unused]] const std::int32_t read =
        process_raw_input(this, reinterpret_cast<HRAWINPUT>(Message.LParam));
#ifdef _WIN32
    const auto* raw = static_cast<const RAWINPUT*>(raw_input_state.raw_input_buffer);
    if (read == 1 && raw->header.dwType == RIM_TYPEMOUSE) {
        measures::feed().packet({measures::handle_of(raw->header.hDevice),
                                 received_us,
                                 false,
                                 GET_RAWINPUT_CODE_WPARAM(Message.WParam) == RIM_INPUTSINK,
                                 raw->data.mouse.usButtonFlags,
                                 {static_cast<std::int32_t>(raw->data.mouse.lLastX),
                                  static_cast<std::int32_t>(raw->data.mouse.lLastY),
                                  (raw->data.mouse.usFlags & MOUSE_MOVE_ABSOLUTE) != 0}});
    }
    // user32 is the raw input service here: the log is written out once no
    // more raw input waits in the queue, a burst at a time, never per line.
    if ((HIWORD(GetQueueStatus(QS_RAWINPUT)) & QS_RAWINPUT) == 0)
        flush_log();
#endif
}

void draw_cursor_marker(TForm1* form, vcl::TColor colour, std::int32_t x, std::int32_t y) {
    vcl::TCanvas* canvas = form->Canvas;
    canvas->Pen->Color = colour;
    canvas->Pen->Mode = vcl::pmXor;
    canvas->Ellipse(x, saturating_add(y, -3), saturating_add(x, 6), saturating_add(y, 3));
    canvas->Pen->Mode = vcl::pmCopy;
}

void move_tracking_cursor(TForm1* form, int mouse_number, std::int32_t dx, std::int32_t dy) {
    if (mouse_number != tracked_mouse)
        return;
    const std::int32_t x = saturating_add(form->cursor_x, dx);
    const std::int32_t y = saturating_add(form->cursor_y, dy);
    draw_cursor_marker(form, vcl::clLime, form->cursor_x, form->cursor_y);
    form->Canvas->Pen->Color = vcl::clGreen;
    form->Canvas->MoveTo(form->cursor_x, form->cursor_y);
    form->Canvas->LineTo(x, y);
    draw_cursor_marker(form, vcl::clLime, x, y);
    form->cursor_x = x;
    form->cursor_y = y;
    form->Label4->Caption = "X = " + vcl::IntToStr(x) + " , Y = " + vcl::IntToStr(y);
}
