#include "rawinput/rawinput.h"

#include <cstdio>
#include <cstdlib>

#include "rawinput/report.h"
#include "ui/principal.h"

RawInputState raw_input_state = {};

namespace rawinput {
Heap heap = {std::malloc, std::realloc, std::free};
bool background = false;
}  // namespace rawinput

namespace {

template <class Fn>
Fn bind(HMODULE module, const char* name) {
    // Through void (*)(), which converts to and from every function pointer type.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void rawinput::list_devices(const RAWINPUTDEVICELIST* list, UINT n,
                            const std::function<void(const std::string&)>& add_line) {
    RawInputState& s = raw_input_state;
    s.raw_mouse_count = 0;
    for (UINT i = 0; i < n && i < rawinput::max_examined_devices; ++i) {
        const RAWINPUTDEVICELIST& entry = list[i];
        add_line(report::device_line(i, entry.hDevice, entry.dwType));
        if (entry.hDevice != nullptr && entry.dwType == RIM_TYPEMOUSE) {
            s.raw_mouse_handles[s.raw_mouse_count] = entry.hDevice;
            s.raw_mouse_count++;
            add_line(report::mouse_line(s.raw_mouse_count - 1, entry.hDevice));
        }
    }
}

void raw_input_release(TForm1* /*form*/) {
    rawinput::heap.release(raw_input_state.raw_input_buffer);
    raw_input_state = {};
}

std::int32_t raw_input_init(TForm1* form) {
    RawInputState& s = raw_input_state;
    if (s.RegisterRawInputDevices_f != nullptr)
        return 1;

    s.raw_input_buffer = nullptr;
    s.raw_input_buffer_size = 0;

    RAWINPUTDEVICELIST* list = nullptr;
    auto fail = [&] {
        rawinput::heap.release(list);
        raw_input_release(form);
        return 0;
    };

    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == nullptr)
        return fail();
    s.RegisterRawInputDevices_f =
        bind<PFN_RegisterRawInputDevices>(user32, "RegisterRawInputDevices");
    s.GetRawInputData_f = bind<PFN_GetRawInputData>(user32, "GetRawInputData");
    s.GetRawInputDeviceList_f = bind<PFN_GetRawInputDeviceList>(user32, "GetRawInputDeviceList");
    if (s.RegisterRawInputDevices_f == nullptr || s.GetRawInputData_f == nullptr ||
        s.GetRawInputDeviceList_f == nullptr) {
        return fail();
    }

    UINT n = 0;
    if (s.GetRawInputDeviceList_f(nullptr, &n, sizeof(RAWINPUTDEVICELIST)) != 0)
        return fail();
    // With no devices an empty list is still a list: nothing is listed and the
    // registration is still made, so mice plugged in later report.
    list = static_cast<RAWINPUTDEVICELIST*>(
        rawinput::heap.allocate((n == 0 ? 1 : n) * sizeof(RAWINPUTDEVICELIST)));
    if (list == nullptr)
        return fail();
    const UINT capacity = n;
    if (s.GetRawInputDeviceList_f(list, &n, sizeof(RAWINPUTDEVICELIST)) == static_cast<UINT>(-1)) {
        return fail();
    }
    // The service may report more devices than the list was made for; never
    // read past what was allocated.
    if (n > capacity)
        n = capacity;

    rawinput::list_devices(list, n,
                           [form](const std::string& line) { form->Memo1->Lines->Add(line); });
    rawinput::heap.release(list);

    RAWINPUTDEVICE device = {};
    device.usUsagePage = 1;  // generic desktop controls
    device.usUsage = 2;      // mouse
    if (rawinput::background) {
        // Packets come to the main window whichever program has the focus.
        device.dwFlags = RIDEV_INPUTSINK;
        device.hwndTarget = form->Handle;
    } else {
        device.dwFlags = 0;
        device.hwndTarget = nullptr;  // packets follow the keyboard focus
    }
    if (s.RegisterRawInputDevices_f(&device, 1, sizeof(RAWINPUTDEVICE)) != 0)
        return 1;
    std::printf("RegisterRawInputDevices_f failed: 0x%08lx\n",
                static_cast<unsigned long>(GetLastError()));
    return 0;
}

std::int32_t process_raw_input(TForm1* form, HRAWINPUT handle) {
    RawInputState& s = raw_input_state;
    if (s.GetRawInputData_f == nullptr)
        return 0;

    UINT size = 0;
    if (s.GetRawInputData_f(handle, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0 ||
        size < sizeof(RAWINPUTHEADER)) {
        return 0;  // an unknown or expired handle: there is no packet to read
    }
    if (size >= s.raw_input_buffer_size) {
        void* grown = rawinput::heap.resize(s.raw_input_buffer, size);
        if (grown == nullptr)
            return 0;
        s.raw_input_buffer = grown;
        s.raw_input_buffer_size = size;
    }
    const UINT read =
        s.GetRawInputData_f(handle, RID_INPUT, s.raw_input_buffer, &size, sizeof(RAWINPUTHEADER));
    if (read != size) {
        // The packet is dropped; the program goes on.
        std::printf("GetRawInputData doesn't return correct size!\n");
        std::fflush(stdout);
        return 0;
    }

    const auto* raw = static_cast<const RAWINPUT*>(s.raw_input_buffer);
    if (raw->header.dwType != RIM_TYPEMOUSE)
        return 1;
    if (size < sizeof(RAWINPUTHEADER) + sizeof(RAWMOUSE))
        return 0;

    int mouse_number = -1;
    for (int i = 0; i < s.raw_mouse_count; ++i) {
        if (s.raw_mouse_handles[i] == raw->header.hDevice) {
            mouse_number = i;
            break;
        }
    }

    form->Label1->Caption = "Hola";

    char line[report::max_line];
    const std::size_t length = report::format_packet(line, mouse_number, raw->data.mouse);
    log_file << line;
    form->Memo1->Lines->Add(vcl::String(line, length));

    move_tracking_cursor(form, mouse_number, raw->data.mouse.lLastX, raw->data.mouse.lLastY);
    return 1;
}
