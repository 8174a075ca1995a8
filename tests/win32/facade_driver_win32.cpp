// The facade's tests' user on Win32: the notification a combo box sends its
// form when the user chooses an item.
#include <windows.h>

#include "platform/vcl/win32/native.h"
#include "tests/ui/facade_driver.h"
#include "tests/win32/pump_until.h"

namespace facade_driver {

bool run_loop_until(const std::function<bool()>& done) {
    return pump_until(done);
}

void choose_item(vcl::TComboBox& combo_box, int index) {
    HWND hwnd = combo_box.native()->hwnd;
    SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(hwnd));
}

}  // namespace facade_driver
