// Forms over Win32: one window class, one window procedure that turns the
// window's messages (its controls' notifications among them) into the form's
// events and hands every message to the form's dispatch (its message map);
// streaming a form from its layout table; the notice strip.
#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <unordered_map>

#include "platform/frames/frames.h"
#include "platform/vcl/win32/native.h"

namespace vcl {
namespace win32 {

namespace {

std::unordered_map<HWND, TForm*>& forms_by_window() {
    static std::unordered_map<HWND, TForm*> forms;
    return forms;
}

std::unordered_map<HWND, TControl::Native*>& controls_by_window() {
    static std::unordered_map<HWND, TControl::Native*> controls;
    return controls;
}

constexpr DWORD form_style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD form_ex_style = 0;

// Edit boxes and memos are white paper (the system's window colour, clWindow),
// enabled or not, as VCL paints them.
constexpr std::uint32_t window_colour = 0xFF000005;

// The notice's look: a pale yellow strip with a darker edge, 8 pixels in from
// the form's edges, its text 6 pixels in from its own.
constexpr std::uint32_t notice_background = 0x00D6F4FF;  // 0x00BBGGRR
constexpr std::uint32_t notice_border = 0x0020A5D9;
constexpr int notice_margin = 8;
constexpr int notice_padding = 6;
constexpr int dismiss_width = 75;
constexpr int dismiss_height = 25;

TShiftState shift_state(WPARAM keys) {
    TShiftState shift = 0;
    if (keys & MK_SHIFT)
        shift |= ssShift;
    if (GetKeyState(VK_MENU) < 0)
        shift |= ssAlt;
    if (keys & MK_CONTROL)
        shift |= ssCtrl;
    if (keys & MK_LBUTTON)
        shift |= ssLeft;
    if (keys & MK_RBUTTON)
        shift |= ssRight;
    if (keys & MK_MBUTTON)
        shift |= ssMiddle;
    return shift;
}

void paint_form(TForm& form, HWND hwnd) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    const TCanvas::Native& canvas = form.Canvas->native();
    const RECT& area = paint.rcPaint;
    const int right = std::min<int>(area.right, canvas.width);
    const int bottom = std::min<int>(area.bottom, canvas.height);
    if (canvas.dc != nullptr && right > area.left && bottom > area.top) {
        GdiFlush();
        BitBlt(dc, area.left, area.top, right - area.left, bottom - area.top, canvas.dc, area.left,
               area.top, SRCCOPY);
    }
    // Beyond the surface (only while a resize is on its way): the form's colour.
    HBRUSH background = form.native().background;
    if (area.right > right) {
        RECT beyond{std::max<LONG>(area.left, right), area.top, area.right, area.bottom};
        FillRect(dc, &beyond, background);
    }
    if (area.bottom > bottom) {
        RECT beyond{area.left, std::max<LONG>(area.top, bottom), std::min<LONG>(area.right, right),
                    area.bottom};
        FillRect(dc, &beyond, background);
    }
    EndPaint(hwnd, &paint);
}

// The colours of a control of the form as it is drawn.
LRESULT control_colours(TForm& form, HDC dc, HWND child) {
    const TForm::Native& native = form.native();
    TControl::Native* control = control_of(child);
    const bool boxed = control != nullptr &&
                       (control->kind == ControlKind::Edit || control->kind == ControlKind::Memo);
    const std::uint32_t back = boxed ? window_colour : native.colour;
    SetTextColor(dc, colour_ref(control != nullptr ? control->text_colour : native.text_colour));
    SetBkColor(dc, colour_ref(back));
    return reinterpret_cast<LRESULT>(solid_brush(back));
}

HWND make_control(TForm& form, const ControlLayout& entry, TControl::Native& native) {
    const wchar_t* window_class = L"STATIC";
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    DWORD ex_style = 0;
    switch (entry.kind) {
        case ControlKind::Label:
            // A label's caption is one line, shown as it is ("&" included).
            style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX;
            break;
        case ControlKind::Button:
            window_class = L"BUTTON";
            style |= BS_PUSHBUTTON;
            break;
        case ControlKind::Edit:
            window_class = L"EDIT";
            style |= ES_LEFT | ES_AUTOHSCROLL | (entry.read_only ? ES_READONLY : 0);
            ex_style = WS_EX_CLIENTEDGE;
            break;
        case ControlKind::Memo:
            window_class = memo_class_name;
            style |= (entry.scroll_bars & VerticalScrollBar ? WS_VSCROLL : 0) |
                     (entry.scroll_bars & HorizontalScrollBar ? WS_HSCROLL : 0);
            ex_style = WS_EX_CLIENTEDGE;
            break;
        case ControlKind::ComboBox:
            // A drop-down list: nothing can be typed; its list scrolls past
            // what it shows (fit_combo_box sizes both once it has its font).
            window_class = L"COMBOBOX";
            style |= CBS_DROPDOWNLIST | WS_VSCROLL;
            break;
    }
    if (entry.tab_stop)
        style |= WS_TABSTOP;
    if (entry.visible)
        style |= WS_VISIBLE;
    if (!entry.enabled)
        style |= WS_DISABLED;
    const LayoutRect& g = entry.geometry;
    const std::wstring text = entry.kind == ControlKind::Memo ? std::wstring() : widen(entry.text);
    HWND hwnd =
        CreateWindowExW(ex_style, window_class, text.c_str(), style, g.left, g.top, g.width,
                        g.height, form.native().hwnd, nullptr, GetModuleHandleW(nullptr), &native);
    if (hwnd == nullptr) {
        throw Exception(std::string(form.native().layout->name) + ": cannot create the control " +
                        entry.name + " (error " + std::to_string(GetLastError()) + ")");
    }
    return hwnd;
}

// The items a combo box's list shows at once before it scrolls.
constexpr int combo_box_items_shown = 8;

// A combo box's window is as high as its closed box, which Windows makes as
// high as its font needs: its text field is given the height that makes the
// closed box as high as the layout says, and the list dropped below it shows
// combo_box_items_shown items.
void fit_combo_box(HWND hwnd, const LayoutRect& geometry) {
    const auto closed_height = [hwnd] {
        RECT closed;
        GetWindowRect(hwnd, &closed);
        return static_cast<int>(closed.bottom - closed.top);
    };
    // The closed box grows with the field, by a fixed margin that is the
    // system's own (and not quite what CB_GETITEMHEIGHT reads back): measured,
    // and corrected once more when the first guess misses.
    int field = static_cast<int>(SendMessageW(hwnd, CB_GETITEMHEIGHT, WPARAM(-1), 0)) +
                geometry.height - closed_height();
    for (int attempt = 0; attempt < 3 && field > 0 && closed_height() != geometry.height;
         ++attempt) {
        SendMessageW(hwnd, CB_SETITEMHEIGHT, WPARAM(-1), field);
        field += geometry.height - closed_height();
    }
    // For a combo box the window's height is the closed box and its list
    // together; the list's borders come off it, and its height is cut to whole items.
    const auto item = std::max(static_cast<int>(SendMessageW(hwnd, CB_GETITEMHEIGHT, 0, 0)), 1);
    SetWindowPos(hwnd, nullptr, 0, 0, geometry.width,
                 closed_height() + combo_box_items_shown * item + 4 * GetSystemMetrics(SM_CYBORDER),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::unique_ptr<TControl> make_facade(ControlKind kind, TControl::Native* native) {
    switch (kind) {
        case ControlKind::Label:
            return std::make_unique<TLabel>(native);
        case ControlKind::Button:
            return std::make_unique<TButton>(native);
        case ControlKind::Edit:
            return std::make_unique<TEdit>(native);
        case ControlKind::Memo:
            return std::make_unique<TMemo>(native);
        case ControlKind::ComboBox:
            return std::make_unique<TComboBox>(native);
    }
    return nullptr;
}

}  // namespace

TForm* form_of(HWND hwnd) {
    const auto& forms = forms_by_window();
    const auto found = forms.find(hwnd);
    return found != forms.end() ? found->second : nullptr;
}

TControl::Native* control_of(HWND hwnd) {
    const auto& controls = controls_by_window();
    const auto found = controls.find(hwnd);
    return found != controls.end() ? found->second : nullptr;
}

LRESULT CALLBACK form_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* created = reinterpret_cast<CREATESTRUCTW*>(lparam);
        auto* form = static_cast<TForm*>(created->lpCreateParams);
        form->native().hwnd = hwnd;
        forms_by_window()[hwnd] = form;
    }
    TForm* form = form_of(hwnd);
    if (form == nullptr)
        return DefWindowProcW(hwnd, message, wparam, lparam);

    // The form class's message map sees every message first.
    TMessage dispatched{message, wparam, lparam, 0};
    guarded([&] { form->Dispatch(&dispatched); });

    switch (message) {
        case WM_PAINT: {
            // The canvas copied to the screen: the form's frame cost (GDI's
            // copy is the hand-over itself, so there is no flush to time).
            const std::int64_t began = cost_clock_ns();
            paint_form(*form, hwnd);
            form->add_cost(FrameCost::painting, cost_clock_ns() - began, frames::current_frame());
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;  // the canvas covers the client area
        case WM_MOVE:
        case WM_DISPLAYCHANGE:
            guarded([&] { follow_display(*form, message); });
            break;
        case WM_SIZE:
            if (wparam != SIZE_MINIMIZED) {
                guarded([&] {
                    RECT client;
                    GetClientRect(hwnd, &client);
                    ensure_canvas_size(*form->Canvas, client.right, client.bottom);
                    place_notice(*form);
                });
            }
            return 0;
        case WM_ACTIVATE: {
            TForm::Native& native = form->native();
            if (LOWORD(wparam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                native.last_focus = focus != nullptr && IsChild(hwnd, focus) ? focus : nullptr;
                return 0;
            }
            // The control that had the focus gets it back; else the form takes it.
            if (HIWORD(wparam) == 0 && GetActiveWindow() == hwnd) {
                HWND focus = native.last_focus;
                SetFocus(focus != nullptr && IsWindow(focus) && IsWindowEnabled(focus) &&
                                 IsWindowVisible(focus)
                             ? focus
                             : hwnd);
            }
            guarded([&] { form->activated(); });
            return 0;
        }
        case WM_MOUSEMOVE:
            guarded([&] {
                form->mouse_moved(shift_state(wparam), GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam));
            });
            return 0;
        case WM_CLOSE:
            guarded([&] {
                switch (form->closing()) {
                    case caNone:
                        break;
                    case caMinimize:
                        ShowWindow(hwnd, SW_MINIMIZE);
                        break;
                    case caHide:
                    case caFree:
                        ShowWindow(hwnd, SW_HIDE);
                        form->closed();
                        break;
                }
            });
            return 0;
        case WM_COMMAND: {
            HWND child = reinterpret_cast<HWND>(lparam);
            if (child == nullptr)
                break;
            const WORD code = HIWORD(wparam);
            Notice* notice = form->native().notice.get();
            if (notice != nullptr && child == notice->dismiss && code == BN_CLICKED) {
                ShowWindow(notice->text, SW_HIDE);
                ShowWindow(notice->dismiss, SW_HIDE);
                return 0;
            }
            // A button pressed; an item of a combo box chosen by the user
            // (CB_SETCURSEL, which ItemIndex sends, notifies nothing).
            TControl::Native* control = control_of(child);
            if (control == nullptr)
                break;
            if (control->kind == ControlKind::Button && code == BN_CLICKED) {
                guarded([&] { static_cast<TButton*>(control->control.get())->clicked(); });
            } else if (control->kind == ControlKind::ComboBox && code == CBN_SELCHANGE) {
                guarded([&] { static_cast<TComboBox*>(control->control.get())->changed(); });
            }
            return 0;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
            return control_colours(*form, reinterpret_cast<HDC>(wparam),
                                   reinterpret_cast<HWND>(lparam));
        default:
            break;
    }
    // WM_INPUT among them: DefWindowProc frees what the raw input service keeps for it.
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Where the notice's text goes inside it: clear of its edge and of the Dismiss button.
RECT notice_text_area(const RECT& strip) {
    return RECT{
        notice_padding, notice_padding,
        std::max<LONG>(notice_padding + 1, strip.right - 2 * notice_padding - dismiss_width),
        strip.bottom - notice_padding};
}

LRESULT CALLBACK notice_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_ERASEBKGND:
            return 1;
        case WM_SETTEXT: {
            const LRESULT result = DefWindowProcW(hwnd, message, wparam, lparam);
            InvalidateRect(hwnd, nullptr, FALSE);
            return result;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            RECT strip;
            GetClientRect(hwnd, &strip);
            FillRect(dc, &strip, solid_brush(notice_background));
            FrameRect(dc, &strip, solid_brush(notice_border));
            const TForm* form = form_of(GetParent(hwnd));
            HGDIOBJ old = SelectObject(
                dc, form != nullptr ? form->native().font : GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, colour_ref(clWindowText));
            const int length = GetWindowTextLengthW(hwnd);
            std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
            GetWindowTextW(hwnd, text.data(), length + 1);
            RECT area = notice_text_area(strip);
            DrawTextW(dc, text.c_str(), length, &area, DT_WORDBREAK | DT_NOPREFIX);
            SelectObject(dc, old);
            EndPaint(hwnd, &paint);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

Notice& notice_of(TForm& form) {
    TForm::Native& native = form.native();
    if (native.notice == nullptr) {
        auto notice = std::make_unique<Notice>();
        HINSTANCE instance = GetModuleHandleW(nullptr);
        notice->text = CreateWindowExW(0, notice_class_name, L"", WS_CHILD | WS_CLIPSIBLINGS, 0, 0,
                                       0, 0, native.hwnd, nullptr, instance, nullptr);
        notice->dismiss =
            CreateWindowExW(0, L"BUTTON", L"Dismiss", WS_CHILD | WS_CLIPSIBLINGS | BS_PUSHBUTTON, 0,
                            0, 0, 0, native.hwnd, nullptr, instance, nullptr);
        SendMessageW(notice->dismiss, WM_SETFONT, reinterpret_cast<WPARAM>(native.font), FALSE);
        native.notice = std::move(notice);
    }
    return *native.notice;
}

void place_notice(TForm& form) {
    const TForm::Native& native = form.native();
    if (native.notice == nullptr)
        return;
    const Notice& notice = *native.notice;
    RECT client;
    GetClientRect(native.hwnd, &client);
    const int width = std::max<int>(client.right - 2 * notice_margin, dismiss_width + 60);
    // As high as the text needs at the width it has, and the button.
    const int length = GetWindowTextLengthW(notice.text);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(notice.text, text.data(), length + 1);
    const RECT room = notice_text_area(RECT{0, 0, width, 0});
    RECT measured{0, 0, room.right - room.left, 0};
    HDC dc = GetDC(notice.text);
    HGDIOBJ old = SelectObject(dc, native.font);
    DrawTextW(dc, text.c_str(), length, &measured, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(notice.text, dc);
    const int height = std::max<int>(measured.bottom, dismiss_height) + 2 * notice_padding;
    const int top = client.bottom - notice_margin - height;
    SetWindowPos(notice.text, HWND_TOP, notice_margin, top, width, height, SWP_NOACTIVATE);
    SetWindowPos(notice.dismiss, HWND_TOP, notice_margin + width - notice_padding - dismiss_width,
                 top + (height - dismiss_height) / 2, dismiss_width, dismiss_height,
                 SWP_NOACTIVATE);
    InvalidateRect(notice.text, nullptr, FALSE);
}

}  // namespace win32

using win32::widen;

TForm::TForm(TComponent* /*Owner*/) : Canvas(nullptr), native_(std::make_unique<Native>()) {
    canvas_ = std::make_unique<TCanvas>(this);
    Canvas = canvas_.get();
}

TForm::~TForm() {
    HWND hwnd = native_->hwnd;
    if (hwnd != nullptr) {
        // No message reaches the dispatch of a form on its way out.
        win32::forms_by_window().erase(hwnd);
        for (const auto& control : native_->controls)
            win32::controls_by_window().erase(control->hwnd);
        DestroyWindow(hwnd);
        native_->hwnd = nullptr;
    }
    native_->controls.clear();
}

void TForm::Show() {
    HWND hwnd = native_->hwnd;
    if (hwnd == nullptr)
        return;
    const bool was_visible = IsWindowVisible(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    win32::follow_display(*this, WM_SHOWWINDOW);
    if (!native_->shown_once) {
        native_->shown_once = true;
        // Asked once: without a window manager nothing else would activate it.
        SetForegroundWindow(hwnd);
        SetActiveWindow(hwnd);
    } else if (!was_visible) {
        BringWindowToTop(hwnd);
    }
    UpdateWindow(hwnd);
}

void TForm::Hide() {
    if (native_->hwnd != nullptr)
        ShowWindow(native_->hwnd, SW_HIDE);
}

void TForm::Close() {
    if (native_->hwnd != nullptr)
        SendMessageW(native_->hwnd, WM_CLOSE, 0, 0);
}

void TForm::SetFocus() {
    HWND hwnd = native_->hwnd;
    if (hwnd == nullptr || !IsWindowVisible(hwnd))
        return;
    SetForegroundWindow(hwnd);
    SetActiveWindow(hwnd);
    BringWindowToTop(hwnd);
}

TForm* TForm::active() {
    return win32::form_of(GetActiveWindow());
}

HWND TForm::handle() const {
    return native_->hwnd;
}

TForm* TForm::from_handle(HWND handle) {
    return win32::form_of(handle);
}

String TForm::caption() const {
    HWND hwnd = native_->hwnd;
    if (hwnd == nullptr)
        return {};
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, text.data(), length + 1);
    return win32::narrow(text.c_str(), got);
}

void TForm::set_caption(const String& caption) {
    if (native_->hwnd != nullptr)
        SetWindowTextW(native_->hwnd, widen(caption).c_str());
}

bool TForm::visible() const {
    return native_->hwnd != nullptr && IsWindowVisible(native_->hwnd);
}

StreamedLayout stream_layout(TForm& form, const String& name) {
    const win32::FormLayout* layout = win32::find_layout(name);
    if (layout == nullptr)
        throw Exception("no layout named " + name);
    TForm::Native& native = form.native();
    if (native.hwnd != nullptr)
        throw Exception(name + ": the form has been streamed already");
    native.layout = layout;
    native.colour = layout->colour;
    native.text_colour = layout->text_colour;
    native.background = win32::solid_brush(layout->colour);
    native.font = win32::font(layout->font);

    RECT outer{0, 0, layout->client_width, layout->client_height};
    AdjustWindowRectEx(&outer, win32::form_style, FALSE, win32::form_ex_style);
    const int x = layout->has_position ? layout->left : CW_USEDEFAULT;
    const int y = layout->has_position ? layout->top : CW_USEDEFAULT;
    HWND hwnd = CreateWindowExW(win32::form_ex_style, win32::form_class_name,
                                widen(layout->caption).c_str(), win32::form_style, x, y,
                                outer.right - outer.left, outer.bottom - outer.top, nullptr,
                                nullptr, GetModuleHandleW(nullptr), &form);
    if (hwnd == nullptr) {
        throw Exception(name + ": cannot create the window (error " +
                        std::to_string(GetLastError()) + ")");
    }

    StreamedLayout streamed;
    streamed.form_name = layout->name;
    for (std::size_t e = 0; e < layout->event_count; ++e)
        streamed.bindings.push_back({"", layout->events[e].event, layout->events[e].handler});
    std::vector<std::pair<int, HWND>> tab_stops;
    for (std::size_t c = 0; c < layout->control_count; ++c) {
        const win32::ControlLayout& entry = layout->controls[c];
        auto control = std::make_unique<TControl::Native>();
        control->kind = entry.kind;
        control->name = entry.name;
        control->form = &form;
        control->text_colour = entry.text_colour;
        control->font = win32::font(entry.font);
        if (entry.kind == win32::ControlKind::Memo)
            control->layout_text = entry.text;
        control->hwnd = win32::make_control(form, entry, *control);
        win32::controls_by_window()[control->hwnd] = control.get();
        SendMessageW(control->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(control->font), FALSE);
        if (entry.kind == win32::ControlKind::ComboBox)
            win32::fit_combo_box(control->hwnd, entry.geometry);
        control->control = win32::make_facade(entry.kind, control.get());
        if (entry.kind == win32::ControlKind::Button) {
            auto* button = static_cast<TButton*>(control->control.get());
            button->Cancel = entry.cancel;
            if (entry.on_click[0] != '\0')
                streamed.bindings.push_back({entry.name, "OnClick", entry.on_click});
        }
        if (entry.kind == win32::ControlKind::ComboBox && entry.on_change[0] != '\0')
            streamed.bindings.push_back({entry.name, "OnChange", entry.on_change});
        if (entry.tab_order >= 0)
            tab_stops.emplace_back(entry.tab_order, control->hwnd);
        streamed.controls.emplace_back(entry.name, control->control.get());
        native.controls.push_back(std::move(control));
    }
    // Tab moves through the controls in the window's child order: the listed
    // tab stops come last, in their order.
    std::sort(tab_stops.begin(), tab_stops.end());
    for (const auto& [order, child] : tab_stops)
        SetWindowPos(child, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    RECT client;
    GetClientRect(hwnd, &client);
    win32::ensure_canvas_size(*form.Canvas, client.right, client.bottom);
    return streamed;
}

void ShowNotice(TForm* form, const String& text) {
    if (form == nullptr || form->native().hwnd == nullptr)
        return;
    Notice& notice = win32::notice_of(*form);
    if (std::find(notice.paragraphs.begin(), notice.paragraphs.end(), text) ==
        notice.paragraphs.end()) {
        notice.paragraphs.push_back(text);
    }
    std::string joined;
    for (const std::string& paragraph : notice.paragraphs)
        joined += (joined.empty() ? "" : "\r\n") + paragraph;
    SetWindowTextW(notice.text, widen(joined).c_str());
    win32::place_notice(*form);
    ShowWindow(notice.text, SW_SHOW);
    ShowWindow(notice.dismiss, SW_SHOW);
}

}  // namespace vcl
