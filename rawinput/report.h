// The text the engine shows: device lines, mouse lines and the report line of
// a mouse packet. Pure functions, shared by the engine, the tests and the bench.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32/win32.h"

namespace report {

// Longest report line: nine fields at their widest, plus the line break.
constexpr std::size_t max_line = 192;

// Formats the report line of a mouse packet into `out` (at least max_line
// bytes), ending in "\r\n". Returns the length written.
std::size_t format_packet(char* out, int mouse_number, const RAWMOUSE& mouse);

std::string packet_line(int mouse_number, const RAWMOUSE& mouse);

// "Mouse", "Keyboard" or "HID" for the three device types; empty for others.
const char* kind_name(DWORD type);

// "0 131  Mouse": index, handle as a signed decimal of its low 32 bits, the type.
std::string device_line(UINT index, HANDLE handle, DWORD type);

// "Amouse[0] = 131".
std::string mouse_line(int mouse_number, HANDLE handle);

// A handle as "%i" prints it: its low 32 bits as a signed integer.
int handle_as_int(HANDLE handle);

}  // namespace report
