#include "rawinput/report.h"

#include <cstdint>
#include <cstdio>

namespace report {

std::size_t format_packet(char* out, int mouse_number, const RAWMOUSE& mouse) {
    // The 16-bit fields are zero-extended and the signed motion prints as its
    // 32-bit two's complement pattern, as "%04x" of the unsigned value does.
    const int n = std::snprintf(
        out, max_line,
        "Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x usButtonData=%04x "
        "ulRawButtons=%04x lLastX=%04x lLastY=%04x ulExtraInformation=%04x\r\n",
        mouse_number, static_cast<unsigned>(mouse.usFlags), static_cast<unsigned>(mouse.ulButtons),
        static_cast<unsigned>(mouse.usButtonFlags), static_cast<unsigned>(mouse.usButtonData),
        static_cast<unsigned>(mouse.ulRawButtons), static_cast<std::uint32_t>(mouse.lLastX),
        static_cast<std::uint32_t>(mouse.lLastY), static_cast<unsigned>(mouse.ulExtraInformation));
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

std::string packet_line(int mouse_number, const RAWMOUSE& mouse) {
    char line[max_line];
    return std::string(line, format_packet(line, mouse_number, mouse));
}

int handle_as_int(HANDLE handle) {
    return static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
}

std::string device_line(UINT index, HANDLE handle, DWORD type) {
    const char* kind = type == RIM_TYPEMOUSE      ? "Mouse"
                       : type == RIM_TYPEKEYBOARD ? "Keyboard"
                       : type == RIM_TYPEHID      ? "HID"
                                                  : "";
    return std::to_string(index) + " " + std::to_string(handle_as_int(handle)) + "  " + kind;
}

std::string mouse_line(int mouse_number, HANDLE handle) {
    return "Amouse[" + std::to_string(mouse_number) +
           "] = " + std::to_string(handle_as_int(handle));
}

}  // namespace report
