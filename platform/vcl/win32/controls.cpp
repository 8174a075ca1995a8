// Controls over Win32: labels (STATIC, sized to a caption set at run time),
// buttons (BUTTON), edit boxes (EDIT), drop-down lists (COMBOBOX) and the
// memo, a window of its own that draws the entries in view.
#include <windows.h>

#include <algorithm>

#include "platform/vcl/win32/native.h"

namespace vcl {
namespace win32 {

namespace {

String window_text(HWND hwnd) {
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, text.data(), length + 1);
    return narrow(text.c_str(), got);
}

// A control that loses the focus by being hidden or disabled leaves it with
// its form, where keys (Esc, Tab) and raw input still reach the form.
void keep_focus_on_form(TControl::Native& native, bool had_focus) {
    if (had_focus && GetFocus() != native.hwnd && native.form != nullptr)
        SetFocus(native.form->native().hwnd);
}

// Lines of a memo entry, split at CR LF, CR and LF.
std::vector<std::wstring> entry_lines(const String& entry) {
    std::vector<std::wstring> lines;
    const std::wstring wide = widen(entry);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= wide.size(); ++i) {
        if (i == wide.size() || wide[i] == L'\r' || wide[i] == L'\n') {
            lines.push_back(wide.substr(start, i - start));
            if (i + 1 < wide.size() && wide[i] == L'\r' && wide[i + 1] == L'\n')
                ++i;
            start = i + 1;
        }
    }
    return lines;
}

// The left and right margins of the memo's text, as an edit control keeps them.
constexpr int memo_margin = 2;
constexpr UINT memo_text_format = DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL | DT_EXPANDTABS;

// Draws what a multi-line edit control holding every entry and scrolled to its
// end shows: whole rows from the top, the newest at the bottom of those that
// fit; long lines wrap at the memo's width. Only the lines in view are measured.
void paint_memo(TControl::Native& native, HDC dc, const RECT& client) {
    auto* memo = static_cast<TMemo*>(native.control.get());
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    HGDIOBJ old_font = SelectObject(dc, native.font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, IsWindowEnabled(native.hwnd) ? colour_ref(native.text_colour)
                                                  : GetSysColor(COLOR_GRAYTEXT));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int row = std::max<int>(1, metrics.tmHeight);
    const int width = std::max<int>(1, client.right - 2 * memo_margin);
    const int rows_in_view = std::max<int>(1, client.bottom / row);

    struct Shown {
        std::wstring text;
        int rows;
    };
    std::vector<Shown> shown;
    int filled = 0;
    const auto take = [&](const String& entry) {
        std::vector<std::wstring> lines = entry_lines(entry);
        for (auto line = lines.rbegin(); line != lines.rend() && filled < rows_in_view; ++line) {
            RECT measured{0, 0, width, 0};
            DrawTextW(dc, line->c_str(), static_cast<int>(line->size()), &measured,
                      memo_text_format | DT_CALCRECT);
            const int rows = std::max<int>(1, (measured.bottom + row - 1) / row);
            filled += rows;
            shown.push_back({std::move(*line), rows});
        }
    };
    if (memo->Lines->Count() == 0) {
        take(native.layout_text);
    } else {
        for (int e = memo->Lines->Count() - 1; e >= 0 && filled < rows_in_view; --e)
            take((*memo->Lines)[e]);
    }
    std::reverse(shown.begin(), shown.end());
    int y = filled > rows_in_view ? -(filled - rows_in_view) * row : 0;
    for (const Shown& line : shown) {
        RECT area{memo_margin, y, memo_margin + width, y + line.rows * row};
        DrawTextW(dc, line.text.c_str(), static_cast<int>(line.text.size()), &area,
                  memo_text_format);
        y += line.rows * row;
    }
    SelectObject(dc, old_font);
}

}  // namespace

LRESULT CALLBACK memo_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    TControl::Native* native = control_of(hwnd);
    if (native == nullptr)
        return DefWindowProcW(hwnd, message, wparam, lparam);
    switch (message) {
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            RECT client;
            GetClientRect(hwnd, &client);
            // Drawn off screen and copied at once, so the lines never flicker.
            HDC buffer = CreateCompatibleDC(dc);
            HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<int>(1, client.right),
                                                    std::max<int>(1, client.bottom));
            HGDIOBJ old = SelectObject(buffer, bitmap);
            if (native->control != nullptr)
                guarded([&] { paint_memo(*native, buffer, client); });
            BitBlt(dc, 0, 0, client.right, client.bottom, buffer, 0, 0, SRCCOPY);
            SelectObject(buffer, old);
            DeleteObject(bitmap);
            DeleteDC(buffer);
            EndPaint(hwnd, &paint);
            return 0;
        }
        case WM_PRINTCLIENT: {
            RECT client;
            GetClientRect(hwnd, &client);
            if (native->control != nullptr)
                guarded([&] { paint_memo(*native, reinterpret_cast<HDC>(wparam), client); });
            return 0;
        }
        case WM_SETFONT:
            native->font = reinterpret_cast<HFONT>(wparam);
            if (LOWORD(lparam) != 0)
                InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(native->font);
        case WM_ENABLE:
            InvalidateRect(hwnd, nullptr, FALSE);
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace win32

using win32::widen;

bool TControl::enabled() const {
    return IsWindowEnabled(native_->hwnd) != FALSE;
}

void TControl::set_enabled(bool on) {
    const bool had_focus = GetFocus() == native_->hwnd;
    EnableWindow(native_->hwnd, on ? TRUE : FALSE);
    win32::keep_focus_on_form(*native_, had_focus);
}

bool TControl::visible() const {
    return (GetWindowLongW(native_->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

void TControl::set_visible(bool on) {
    const bool had_focus = GetFocus() == native_->hwnd;
    ShowWindow(native_->hwnd, on ? SW_SHOWNA : SW_HIDE);
    win32::keep_focus_on_form(*native_, had_focus);
}

bool TControl::Focused() const {
    return GetFocus() == native_->hwnd;
}

void TControl::SetFocus() {
    if (!enabled() || !visible())
        return;
    // Windows would activate an inactive form to give one of its controls the
    // focus: the form keeps the control instead, to give it the focus when it
    // is activated.
    HWND form = native_->form != nullptr ? native_->form->native().hwnd : nullptr;
    if (form != nullptr && GetActiveWindow() != form) {
        native_->form->native().last_focus = native_->hwnd;
        return;
    }
    ::SetFocus(native_->hwnd);
}

String TLabel::shown_caption() const {
    return win32::window_text(native()->hwnd);
}

bool TLabel::shows(const String& caption) const {
    return shown_caption() == caption;
}

void TLabel::show_caption(const String& caption) {
    HWND hwnd = native()->hwnd;
    const std::wstring text = widen(caption);
    SetWindowTextW(hwnd, text.c_str());
    // Sized to its caption, as VCL's AutoSize sizes a label: the text's width
    // and the font's height.
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, native()->font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    SetWindowPos(hwnd, nullptr, 0, 0, size.cx, metrics.tmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Painted now: under a stream of input, WM_PAINT would wait for a quiet queue.
    if (native()->form != nullptr) {
        RedrawWindow(native()->form->native().hwnd, nullptr, nullptr,
                     RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
}

void TButton::Click() {
    if (IsWindowEnabled(native()->hwnd))
        clicked();
}

String TButton::caption() const {
    return win32::window_text(native()->hwnd);
}

void TButton::set_caption(const String& caption) {
    SetWindowTextW(native()->hwnd, widen(caption).c_str());
}

String TEdit::text() const {
    return win32::window_text(native()->hwnd);
}

void TEdit::set_text(const String& text) {
    SetWindowTextW(native()->hwnd, widen(text).c_str());
}

std::vector<String> TComboBox::Items() const {
    HWND hwnd = native()->hwnd;
    const auto count = static_cast<int>(SendMessageW(hwnd, CB_GETCOUNT, 0, 0));
    std::vector<String> items;
    for (int i = 0; i < count; ++i) {
        const auto length = SendMessageW(hwnd, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        const auto got = SendMessageW(hwnd, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                      reinterpret_cast<LPARAM>(text.data()));
        items.push_back(win32::narrow(text.c_str(), static_cast<int>(std::max<LRESULT>(got, 0))));
    }
    return items;
}

void TComboBox::SetItems(const std::vector<String>& items) {
    HWND hwnd = native()->hwnd;
    const int chosen = item_index();
    const std::vector<String> before = chosen >= 0 ? Items() : std::vector<String>();
    SendMessageW(hwnd, WM_SETREDRAW, FALSE, 0);
    SendMessageW(hwnd, CB_RESETCONTENT, 0, 0);
    int kept = -1;
    for (const String& item : items) {
        // Appended in order: the list is not sorted (no CBS_SORT).
        const auto at =
            SendMessageW(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(item).c_str()));
        if (kept < 0 && chosen >= 0 && at >= 0 && item == before[static_cast<std::size_t>(chosen)])
            kept = static_cast<int>(at);
    }
    SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(kept), 0);
    SendMessageW(hwnd, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hwnd, nullptr, TRUE);
}

int TComboBox::item_index() const {
    const auto index = SendMessageW(native()->hwnd, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

void TComboBox::set_item_index(int index) {
    HWND hwnd = native()->hwnd;
    const auto count = static_cast<int>(SendMessageW(hwnd, CB_GETCOUNT, 0, 0));
    // -1 (none) as well when out of range; CB_SETCURSEL notifies nothing.
    SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(index >= 0 && index < count ? index : -1),
                 0);
}

void TMemo::refresh() {
    HWND hwnd = native()->hwnd;
    InvalidateRect(hwnd, nullptr, FALSE);
    if (IsWindowVisible(hwnd))
        UpdateWindow(hwnd);
}

}  // namespace vcl
