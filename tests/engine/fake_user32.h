// A stand-in for user32's raw input functions that a test scripts step by
// step: what the device list says, whether registration is refused, and which
// packets exist behind which handles.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

namespace fake {

struct User32 {
    std::vector<RAWINPUTDEVICELIST> devices;
    UINT count_result = 0;        // what the count query returns
    bool list_fails = false;      // the fill query returns -1
    BOOL register_result = TRUE;  // what RegisterRawInputDevices returns
    DWORD register_error = ERROR_SUCCESS;
    std::vector<RAWINPUTDEVICE> registered;
    UINT registered_size = 0;
    std::map<HRAWINPUT, RAWINPUT> packets;
    std::map<HRAWINPUT, UINT> packet_size;  // size reported for a handle (default: the record)
    int short_read = 0;                     // bytes the copy falls short by
    int list_queries = 0;

    // Makes "user32.dll" this fake, exporting the named functions only.
    void install(const std::vector<std::string>& exports = {
                     "RegisterRawInputDevices", "GetRawInputData", "GetRawInputDeviceList"});
    static void uninstall();
    static User32* current;
};

HRAWINPUT add_mouse_packet(User32& user32, HANDLE device, const RAWMOUSE& mouse);

}  // namespace fake
