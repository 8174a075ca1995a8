#include "rawinput/report.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace report {

namespace {

// Appends `text` without its terminating null.
template <std::size_t N>
char* put(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

// "%04x": lower-case hex, at least four digits.
char* put_hex4(char* out, std::uint32_t value) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 0xfu];
        value >>= 4;
    } while (value != 0);
    while (count < 4)
        digits[count++] = '0';
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

}  // namespace

// Written field by field rather than through snprintf, which costs more than
// the rest of the line's handling; the output is exactly that of the format
// "Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x usButtonData=%04x
// ulRawButtons=%04x lLastX=%04x lLastY=%04x ulExtraInformation=%04x\r\n".
std::size_t format_packet(char* out, int mouse_number, const RAWMOUSE& mouse) {
    // The 16-bit fields are zero-extended and the signed motion prints as its
    // 32-bit two's complement pattern, as "%04x" of the unsigned value does.
    char* p = put(out, "Mouse: num ");
    p = std::to_chars(p, p + 16, mouse_number).ptr;
    p = put(p, ", usFlags=");
    p = put_hex4(p, mouse.usFlags);
    p = put(p, " ulButtons=");
    p = put_hex4(p, static_cast<std::uint32_t>(mouse.ulButtons));
    p = put(p, " usButtonFlags=");
    p = put_hex4(p, mouse.usButtonFlags);
    p = put(p, " usButtonData=");
    p = put_hex4(p, mouse.usButtonData);
    p = put(p, " ulRawButtons=");
    p = put_hex4(p, static_cast<std::uint32_t>(mouse.ulRawButtons));
    p = put(p, " lLastX=");
    p = put_hex4(p, static_cast<std::uint32_t>(mouse.lLastX));
    p = put(p, " lLastY=");
    p = put_hex4(p, static_cast<std::uint32_t>(mouse.lLastY));
    p = put(p, " ulExtraInformation=");
    p = put_hex4(p, static_cast<std::uint32_t>(mouse.ulExtraInformation));
    p = put(p, "\r\n");
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

std::string packet_line(int mouse_number, const RAWMOUSE& mouse) {
    char line[max_line];
    return std::string(line, format_packet(line, mouse_number, mouse));
}

int handle_as_int(HANDLE handle) {
    return static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
}

const char* kind_name(DWORD type) {
    return type == RIM_TYPEMOUSE      ? "Mouse"
           : type == RIM_TYPEKEYBOARD ? "Keyboard"
           : type == RIM_TYPEHID      ? "HID"
                                      : "";
}

std::string device_line(UINT index, HANDLE handle, DWORD type) {
    return std::to_string(index) + " " + std::to_string(handle_as_int(handle)) + "  " +
           kind_name(type);
}

std::string mouse_line(int mouse_number, HANDLE handle) {
    return "Amouse[" + std::to_string(mouse_number) +
           "] = " + std::to_string(handle_as_int(handle));
}

}  // namespace report
