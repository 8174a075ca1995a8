// The display the main form is on, for the frame grid's rate: the refresh
// rate of its monitor's current mode (EnumDisplaySettingsW), read again on
// WM_DISPLAYCHANGE and when a move takes the form to another monitor.
#include <windows.h>

#include "platform/vcl/win32/native.h"

namespace vcl {

double system_display_rate() {
    HWND hwnd = Application != nullptr && Application->MainForm() != nullptr
                    ? Application->MainForm()->native().hwnd
                    : nullptr;
    HMONITOR monitor = hwnd != nullptr ? MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST)
                                       : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (!GetMonitorInfoW(monitor, &info) ||
        !EnumDisplaySettingsW(info.szDevice, ENUM_CURRENT_SETTINGS, &mode))
        return 0;
    // 0 and 1 stand for the hardware's default rate, which the system does not say.
    return mode.dmDisplayFrequency > 1 ? static_cast<double>(mode.dmDisplayFrequency) : 0.0;
}

namespace win32 {

void follow_display(TForm& form, UINT message) {
    if (Application == nullptr || Application->MainForm() != &form)
        return;
    TForm::Native& native = form.native();
    if (message == WM_DISPLAYCHANGE) {
        display_rate_changed();
        return;
    }
    // Shown, or moved: read again when it is on another monitor now.
    HMONITOR monitor = MonitorFromWindow(native.hwnd, MONITOR_DEFAULTTONEAREST);
    if (monitor == native.monitor)
        return;
    native.monitor = monitor;
    display_rate_changed();
}

}  // namespace win32
}  // namespace vcl
