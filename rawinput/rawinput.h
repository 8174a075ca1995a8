// The raw input engine: binds the raw input functions of user32 at run time,
// lists the devices, keeps the table of mice and reports every mouse packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/win32/win32.h"

class TForm1;

namespace rawinput {
// The devices listed and examined for mice: the first ten of the device list.
constexpr int max_examined_devices = 10;
}  // namespace rawinput

struct RawInputState {
    std::int32_t raw_mouse_count;
    HANDLE raw_mouse_handles[rawinput::max_examined_devices];
    PFN_RegisterRawInputDevices RegisterRawInputDevices_f;
    PFN_GetRawInputData GetRawInputData_f;
    PFN_GetRawInputDeviceList GetRawInputDeviceList_f;
    void* raw_input_buffer;
    std::uint32_t raw_input_buffer_size;
};

extern RawInputState raw_input_state;

namespace rawinput {

// The heap the engine takes its blocks from: the standard library's by
// default; tests put counting or failing functions here.
struct Heap {
    void* (*allocate)(std::size_t size);
    void* (*resize)(void* block, std::size_t size);
    void (*release)(void* block);
};
extern Heap heap;

// Whether the registration asks for every packet whichever program has the
// focus (RIDEV_INPUTSINK, the main window as the target) rather than only
// while this one has it. Set before the main window is created.
extern bool background;

// Lists the first ten of the `n` devices of `list` and records the mice among
// them in the table of raw_input_state, which gives each its number: every
// device line, and after a mouse's its mouse line, goes to `add_line`. The one
// home of the mouse numbers: raw_input_init lists into the memo, and
// --list-devices onto standard output.
void list_devices(const RAWINPUTDEVICELIST* list, UINT n,
                  const std::function<void(const std::string&)>& add_line);

}  // namespace rawinput

// Returns 1 when the engine is ready, 0 on failure.
std::int32_t raw_input_init(TForm1* form);
void raw_input_release(TForm1* form);
// Returns 1 when the packet was read, 0 when it was dropped.
std::int32_t process_raw_input(TForm1* form, HRAWINPUT handle);
