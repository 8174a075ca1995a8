// The application object over Win32: window classes, the message loop, timers
// and the exception presenter; and the helpers the backend's files share.
#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <iostream>
#include <unordered_set>
#include <vector>

#include "platform/frames/frames.h"
#include "platform/vcl/win32/native.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace vcl {

namespace win32 {

const wchar_t form_class_name[] = L"rawmice.Form";
const wchar_t memo_class_name[] = L"rawmice.Memo";
const wchar_t notice_class_name[] = L"rawmice.Notice";

namespace {

const wchar_t helper_class_name[] = L"rawmice.Helper";

// Timers alive now: a WM_TIMER still queued for a timer already gone is dropped.
std::unordered_set<Timer::Native*>& live_timers() {
    static std::unordered_set<Timer::Native*> timers;
    return timers;
}

HWND helper_window();

// The one waitable timer the message loop waits on beside its messages, due
// when the earliest timer is. SetTimer cannot keep a frame grid: it waits at
// least 10 ms (USER_TIMER_MINIMUM), in steps of the system's tick (15.6 ms),
// so 60 frames a second would run at 32 and 144 at 64 at best. A
// high-resolution waitable timer (Windows 10 1803 and later) wakes the thread
// within about half a millisecond of its time and changes nothing for the
// rest of the system. Where the system has none, a plain waitable timer with
// the system's timer at 1 ms (timeBeginPeriod, while the program runs): it
// keeps the grid too, at the cost of the system's clock interrupt a thousand
// times a second, which keeps a laptop's processor from its deeper sleep.
// (winmm is loaded only then: the program links nothing beyond what it uses.)
class WaitTimer {
  public:
    WaitTimer() {
        handle_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS);
        high_resolution_ = handle_ != nullptr;
        if (handle_ == nullptr) {
            handle_ = CreateWaitableTimerW(nullptr, FALSE, nullptr);
            raise_period();
        }
    }
    ~WaitTimer() {
        if (handle_ != nullptr)
            CloseHandle(handle_);
        if (end_period_ != nullptr)
            end_period_(1);
    }
    WaitTimer(const WaitTimer&) = delete;
    WaitTimer& operator=(const WaitTimer&) = delete;

    HANDLE handle() const { return handle_; }
    bool high_resolution() const { return high_resolution_; }
    // Due `us` microseconds from now (at once when none are left).
    void set(std::int64_t us) {
        if (handle_ == nullptr)
            return;
        LARGE_INTEGER due;
        due.QuadPart = -std::max<std::int64_t>(us, 0) * 10 - 1;  // relative, in 100 ns
        SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE);
    }

  private:
    using Period = UINT(WINAPI*)(UINT);
    void raise_period() {
        HMODULE winmm = LoadLibraryW(L"winmm.dll");
        if (winmm == nullptr)
            return;
        const auto begin = reinterpret_cast<Period>(
            reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
        const auto end = reinterpret_cast<Period>(
            reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
        // TIMERR_NOERROR is 0.
        if (begin != nullptr && end != nullptr && begin(1) == 0)
            end_period_ = end;
    }

    HANDLE handle_ = nullptr;
    bool high_resolution_ = false;
    Period end_period_ = nullptr;
};

WaitTimer& wait_timer() {
    static WaitTimer timer;
    return timer;
}

void fire(Timer::Native* timer) {
    timer->active = false;
    KillTimer(helper_window(), reinterpret_cast<UINT_PTR>(timer));
    const std::function<void()> fire = timer->fire;
    guarded(fire);
}

// WM_TIMER reaches the timers while a modal loop (a message box, a window
// being moved, the save dialog) runs instead of the application's, late but
// never early.
LRESULT CALLBACK helper_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_TIMER) {
        auto* timer = reinterpret_cast<Timer::Native*>(wparam);
        if (live_timers().count(timer) == 0 || !timer->active) {
            KillTimer(hwnd, wparam);
        } else if (timer->due_us <= frames::clock_us()) {
            fire(timer);
        }
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

void register_classes(HINSTANCE instance) {
    static bool registered = false;
    if (registered)
        return;
    // A null cursor or icon: the class sets none (the helper window is never shown).
    struct Class {
        WNDPROC procedure;
        const wchar_t* name;
        const wchar_t* cursor;
        const wchar_t* icon;
        UINT style;
    };
    const auto arrow = reinterpret_cast<LPCWSTR>(IDC_ARROW);
    const Class classes[] = {
        {form_procedure, form_class_name, arrow, reinterpret_cast<LPCWSTR>(IDI_APPLICATION),
         CS_DBLCLKS},
        {memo_procedure, memo_class_name, reinterpret_cast<LPCWSTR>(IDC_IBEAM), nullptr, 0},
        {notice_procedure, notice_class_name, arrow, nullptr, 0},
        {helper_procedure, helper_class_name, nullptr, nullptr, 0},
    };
    for (const Class& row : classes) {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof window_class;
        window_class.style = row.style;
        window_class.lpfnWndProc = row.procedure;
        window_class.hInstance = instance;
        if (row.cursor != nullptr)
            window_class.hCursor = LoadCursorW(nullptr, row.cursor);
        if (row.icon != nullptr)
            window_class.hIcon = LoadIconW(nullptr, row.icon);
        window_class.lpszClassName = row.name;
        if (RegisterClassExW(&window_class) == 0) {
            throw Exception("cannot register the window classes (error " +
                            std::to_string(GetLastError()) + ")");
        }
    }
    registered = true;
}

// The message-only window that owns the timers, made on first use.
HWND helper_window() {
    static HWND helper = nullptr;
    if (helper == nullptr) {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        register_classes(instance);
        helper = CreateWindowExW(0, helper_class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 instance, nullptr);
        if (helper == nullptr) {
            throw Exception("cannot make the timer window (error " +
                            std::to_string(GetLastError()) + ")");
        }
    }
    return helper;
}

bool key_down(int key) {
    return (GetKeyState(key) & 0x8000) != 0;
}

}  // namespace

std::wstring widen(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string narrow(const wchar_t* text, int length) {
    if (text == nullptr || length == 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
    if (length < 0 && !utf8.empty())
        utf8.pop_back();  // the terminating null
    return utf8;
}

COLORREF colour_ref(std::uint32_t colour) {
    if ((colour & 0xFF000000u) != 0)
        return GetSysColor(static_cast<int>(colour & 0xFFu));
    return static_cast<COLORREF>(colour & 0x00FFFFFFu);
}

HFONT font(const LayoutFont& wanted) {
    if (Application == nullptr || wanted.pixel_size <= 0)
        return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    auto& fonts = Application->native().fonts;
    const auto key = std::make_pair(std::string(wanted.family), wanted.pixel_size);
    const auto found = fonts.find(key);
    if (found != fonts.end())
        return found->second;
    // A negative height asks for the character height, as VCL's Font.Height does.
    HFONT made =
        CreateFontW(-wanted.pixel_size, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                    OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                    DEFAULT_PITCH | FF_DONTCARE, widen(wanted.family).c_str());
    if (made == nullptr)
        return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    fonts.emplace(key, made);
    return made;
}

HBRUSH solid_brush(std::uint32_t colour) {
    if (Application == nullptr)
        return GetSysColorBrush(COLOR_BTNFACE);
    auto& brushes = Application->native().brushes;
    const auto found = brushes.find(colour);
    if (found != brushes.end())
        return found->second;
    HBRUSH made = CreateSolidBrush(colour_ref(colour));
    brushes.emplace(colour, made);
    return made;
}

bool pretranslate(MSG& msg) {
    if (msg.hwnd == nullptr)
        return false;
    HWND root = GetAncestor(msg.hwnd, GA_ROOT);
    TForm* form = form_of(root);
    if (form == nullptr)
        return false;
    // Raw input follows the keyboard focus, which may be on one of the form's
    // controls: the packet is the form's all the same.
    if (msg.message == WM_INPUT) {
        msg.hwnd = root;
        return false;
    }
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN)
        return false;
    // A form that previews keys sees them before the control with the focus;
    // any form sees those that come to it with the focus.
    if (form->KeyPreview || msg.hwnd == root) {
        TShiftState shift = 0;
        if (key_down(VK_SHIFT))
            shift |= ssShift;
        if (key_down(VK_MENU))
            shift |= ssAlt;
        if (key_down(VK_CONTROL))
            shift |= ssCtrl;
        bool used = false;
        guarded([&] { used = form->key_down(static_cast<WORD>(msg.wParam), shift); });
        if (used)
            return true;
    }
    if (msg.message != WM_KEYDOWN)
        return false;
    const bool modified = key_down(VK_SHIFT) || key_down(VK_CONTROL) || key_down(VK_MENU);
    // Esc on a combo box whose list is dropped down closes the list.
    const TControl::Native* target = control_of(msg.hwnd);
    if (msg.wParam == VK_ESCAPE && target != nullptr && target->kind == ControlKind::ComboBox &&
        SendMessageW(msg.hwnd, CB_GETDROPPEDSTATE, 0, 0) != FALSE)
        return false;
    if (msg.wParam == VK_ESCAPE && !modified) {
        bool pressed = false;
        guarded([&] { pressed = form->escape_pressed(); });
        return pressed;
    }
    if (msg.wParam == VK_TAB && !key_down(VK_CONTROL) && !key_down(VK_MENU)) {
        // From the control with the focus; from the first (or last) when the form has it.
        HWND focus = GetFocus();
        HWND next = GetNextDlgTabItem(root, focus != root ? focus : nullptr, key_down(VK_SHIFT));
        if (next != nullptr)
            SetFocus(next);
        return true;
    }
    return false;
}

void fire_due_timers() {
    const std::int64_t now = frames::clock_us();
    std::vector<Timer::Native*> due;
    for (Timer::Native* timer : live_timers()) {
        if (timer->active && timer->due_us <= now)
            due.push_back(timer);
    }
    // A timer's callback may stop, start or destroy others: each is looked at again.
    for (Timer::Native* timer : due) {
        if (live_timers().count(timer) != 0 && timer->active && timer->due_us <= now)
            fire(timer);
    }
}

void wait_for_messages(DWORD timeout_ms) {
    const Timer::Native* earliest = nullptr;
    for (const Timer::Native* timer : live_timers()) {
        if (timer->active && (earliest == nullptr || timer->due_us < earliest->due_us))
            earliest = timer;
    }
    HANDLE timer = wait_timer().handle();
    if (earliest != nullptr && timer != nullptr) {
        wait_timer().set(earliest->due_us - frames::clock_us());
        MsgWaitForMultipleObjectsEx(1, &timer, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    } else {
        MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

bool high_resolution_timer() {
    return wait_timer().high_resolution();
}

void process_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (!pretranslate(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        fire_due_timers();
    }
    fire_due_timers();
}

}  // namespace win32

using win32::widen;

Timer::Timer(std::function<void()> fire) : native_(std::make_unique<Native>()) {
    native_->fire = std::move(fire);
    win32::live_timers().insert(native_.get());
}

Timer::~Timer() {
    stop();
    win32::live_timers().erase(native_.get());
}

void Timer::start(int ms) {
    HWND helper = win32::helper_window();
    // The message loop's wait fires it on time; WM_TIMER, for modal loops, a
    // tick or two late (USER_TIMER_MINIMUM, 10 ms, is the shortest it keeps).
    const UINT delay = static_cast<UINT>(std::max(ms, 0));
    SetTimer(helper, reinterpret_cast<UINT_PTR>(native_.get()), delay, nullptr);
    native_->due_us = frames::clock_us() + std::int64_t{delay} * 1000;
    native_->active = true;
}

void Timer::stop() {
    if (!native_->active)
        return;
    native_->active = false;
    KillTimer(win32::helper_window(), reinterpret_cast<UINT_PTR>(native_.get()));
}

bool Timer::active() const {
    return native_->active;
}

TApplication::TApplication(int& /*argc*/, char** /*argv*/) : native_(std::make_unique<Native>()) {
    // COM in a single-threaded apartment on the GUI thread, once: WIC (the
    // canvas's PNG files) and the common dialogs are made through it.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    native_->com_initialised = SUCCEEDED(com);
    native_->instance = GetModuleHandleW(nullptr);
    win32::register_classes(native_->instance);
    native_->helper = win32::helper_window();
    presenter_ = present_on_screen;
    Application = this;
    FramePacer::follow_frames();
}

TApplication::~TApplication() {
    destroy_forms();
    frames::set_waker({});
    for (auto& [key, font] : native_->fonts)
        DeleteObject(font);
    for (auto& [colour, brush] : native_->brushes)
        DeleteObject(brush);
    if (native_->com_initialised)
        CoUninitialize();
    if (Application == this)
        Application = nullptr;
}

void TApplication::Initialize() {}

void TApplication::run_loop() {
    native_->quit = false;
    MSG msg;
    while (!native_->quit) {
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            win32::fire_due_timers();
            if (!native_->quit)
                win32::wait_for_messages(INFINITE);
            continue;
        }
        if (msg.message == WM_QUIT) {
            // WM_QUIT from elsewhere ends the loop too, and stays for an outer one.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!win32::pretranslate(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        win32::fire_due_timers();
    }
}

void TApplication::quit_loop() {
    native_->quit = true;
    // Wakes the loop from its wait.
    PostMessageW(native_->helper, WM_NULL, 0, 0);
}

void TApplication::present_on_screen(const String& message) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0)
        name.resize(name.size() - 4);
    // A GUI program has a standard error only when it was started with one.
    std::cerr << win32::narrow(name.c_str()) << ": " << message << std::endl;
    MessageBoxW(nullptr, widen(message).c_str(), name.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace vcl
