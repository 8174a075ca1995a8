// The Win32 backend's side of the facade: what each facade object holds
// behind its opaque Native, and the few helpers the backend's files share.
// Tests of the backend include it to reach the windows and the canvas bits.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/vcl/clip.h"
#include "platform/vcl/vcl.h"
#include "platform/vcl/win32/layout.h"

namespace vcl {

// The facade declares the window types without <windows.h>: they must be its
// very types, on the 64-bit and the 32-bit build alike.
static_assert(std::is_same_v<WindowHandle, HWND> && std::is_same_v<KeyCode, WORD>);
static_assert(std::is_same_v<MessageId, UINT> && std::is_same_v<WordParam, WPARAM> &&
              std::is_same_v<LongParam, LPARAM> && std::is_same_v<LongResult, LRESULT>);

struct Timer::Native {
    std::function<void()> fire;
    bool active = false;
    std::int64_t due_us = 0;  // frames::clock_us() when it fires
};

// A form's drawing surface: a top-down 32-bit DIB section selected into a
// memory DC, which the form's WM_PAINT copies to the screen.
struct TCanvas::Native {
    TForm* owner = nullptr;
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old_bitmap = nullptr;
    std::uint32_t* bits = nullptr;  // width * height pixels, 0x00RRGGBB
    int width = 0;
    int height = 0;
    DirtyAreas dirty;  // since the form last painted
    std::unique_ptr<FramePacer> repaint;
    HFONT text_font = nullptr;  // the form's font without smoothing, made on first use
};

// A native control and its facade object, which it owns.
struct TControl::Native {
    win32::ControlKind kind;
    std::string name;
    HWND hwnd = nullptr;
    TForm* form = nullptr;
    std::uint32_t text_colour = 0;  // a TColor
    HFONT font = nullptr;           // kept by the application's font cache
    std::string layout_text;        // a memo's text while it has no entries
    std::unique_ptr<TControl> control;
};

// A strip along the bottom of a form with what keeps it from doing its job,
// outside the stored layout: a window that draws the paragraphs, and the
// form's Dismiss button over its right end.
struct Notice {
    HWND text = nullptr;
    HWND dismiss = nullptr;
    std::vector<std::string> paragraphs;
};

struct TForm::Native {
    HWND hwnd = nullptr;
    const win32::FormLayout* layout = nullptr;
    std::uint32_t colour = 0;       // a TColor
    std::uint32_t text_colour = 0;  // a TColor
    HBRUSH background = nullptr;
    HFONT font = nullptr;
    std::vector<std::unique_ptr<TControl::Native>> controls;
    std::unique_ptr<Notice> notice;
    bool shown_once = false;
    HWND last_focus = nullptr;   // the control with the focus when the form was deactivated
    HMONITOR monitor = nullptr;  // the main form's, as its display's rate was last read
};

struct TApplication::Native {
    HINSTANCE instance = nullptr;
    // A message-only window that owns the timers and wakes the loop.
    HWND helper = nullptr;
    bool quit = false;
    std::map<std::pair<std::string, int>, HFONT> fonts;
    std::map<std::uint32_t, HBRUSH> brushes;
    bool com_initialised = false;  // CoInitializeEx succeeded: undone at the end
};

namespace win32 {

std::wstring widen(const std::string& text);
std::string narrow(const wchar_t* text, int length = -1);

// The RGB a TColor stands for (system colours through GetSysColor).
COLORREF colour_ref(std::uint32_t colour);

// From the application's caches, which free them at its end.
HFONT font(const LayoutFont& wanted);
HBRUSH solid_brush(std::uint32_t colour);

// The form a window (or one of its controls) belongs to, or null.
TForm* form_of(HWND hwnd);
TControl::Native* control_of(HWND hwnd);

// The message loop's handling of one message before it is dispatched:
// WM_INPUT goes to the form, a key goes to the form's OnKeyDown first (when it
// previews keys or has the focus itself), Esc presses the cancel button and
// Tab moves between tab stops. Answers whether the message has been handled.
bool pretranslate(MSG& msg);

// Handles every message waiting in the thread's queue and returns (tests).
void process_messages();

// Fires the timers whose time has come. Windows makes WM_TIMER only when no
// other message waits, so the message loop asks after every message: a
// stream of raw input never holds back the memo's and the canvas's frames.
void fire_due_timers();
// Waits for a message, the earliest timer's time or `timeout_ms`, whichever
// comes first (the message loop's wait, and the tests' pumps).
void wait_for_messages(DWORD timeout_ms);
// Whether the timers wait on a high-resolution waitable timer (else a plain
// one, with the system's timer raised to 1 ms while the program runs).
bool high_resolution_timer();

// Runs a callback from Windows so that nothing thrown crosses back into it.
template <class Body>
void guarded(Body&& body) {
    guard(std::forward<Body>(body), OtherExceptions::by_what);
}

// The backend's window procedures and classes, registered once per process.
LRESULT CALLBACK form_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK memo_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK notice_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
extern const wchar_t form_class_name[];
extern const wchar_t memo_class_name[];
extern const wchar_t notice_class_name[];

// Grows the surface to at least this size, keeping what is drawn; new pixels
// take the form's colour.
void ensure_canvas_size(TCanvas& canvas, int width, int height);

// Writes rows of 24-bit pixels (blue, green, red bytes; `stride` bytes a row,
// top row first) to `path` as a PNG file through WIC: to a file of its own in
// the same folder first, put in place whole once written. Throws Exception
// ("cannot save PATH: why") and leaves nothing behind when it cannot.
void write_png(const std::string& path, int width, int height, UINT stride,
               const std::vector<BYTE>& pixels);

// The system's text for an error code (a Win32 error or an HRESULT), without
// its line break; its number when the system has none.
std::string error_text(DWORD code);

// The main form's display, followed for the frame grid's rate: on its first
// show, WM_MOVE (a move to another monitor) and WM_DISPLAYCHANGE.
void follow_display(TForm& form, UINT message);

// Makes the notice of a form, hidden.
Notice& notice_of(TForm& form);
void place_notice(TForm& form);

}  // namespace win32
}  // namespace vcl
