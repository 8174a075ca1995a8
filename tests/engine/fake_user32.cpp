#include "tests/engine/fake_user32.h"

#include <cstdint>
#include <cstring>

namespace fake {

User32* User32::current = nullptr;

namespace {

UINT WINAPI device_list(PRAWINPUTDEVICELIST list, PUINT count, UINT size) {
    User32& u = *User32::current;
    ++u.list_queries;
    if (size != sizeof(RAWINPUTDEVICELIST))
        return static_cast<UINT>(-1);
    if (list == nullptr) {
        *count = static_cast<UINT>(u.devices.size());
        return u.count_result;
    }
    if (u.list_fails)
        return static_cast<UINT>(-1);
    const UINT n = std::min<UINT>(*count, static_cast<UINT>(u.devices.size()));
    std::copy_n(u.devices.begin(), n, list);
    return n;
}

BOOL WINAPI register_devices(PCRAWINPUTDEVICE devices, UINT count, UINT size) {
    User32& u = *User32::current;
    u.registered.assign(devices, devices + count);
    u.registered_size = size;
    if (!u.register_result)
        SetLastError(u.register_error);
    return u.register_result;
}

UINT WINAPI input_data(HRAWINPUT handle, UINT command, LPVOID data, PUINT size, UINT header) {
    User32& u = *User32::current;
    auto it = u.packets.find(handle);
    if (it == u.packets.end() || command != RID_INPUT || header != sizeof(RAWINPUTHEADER)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<UINT>(-1);
    }
    auto sized = u.packet_size.find(handle);
    const UINT full = sized != u.packet_size.end() ? sized->second : UINT{sizeof(RAWINPUT)};
    if (data == nullptr) {
        *size = full;
        return 0;
    }
    if (*size < full)
        return static_cast<UINT>(-1);
    std::memcpy(data, &it->second, std::min<std::size_t>(full, sizeof(RAWINPUT)));
    return full - static_cast<UINT>(u.short_read);
}

}  // namespace

void User32::install(const std::vector<std::string>& exports) {
    current = this;
    win32::Exports table;
    for (const std::string& name : exports) {
        if (name == "RegisterRawInputDevices")
            table[name] = win32::export_of(register_devices);
        if (name == "GetRawInputData")
            table[name] = win32::export_of(input_data);
        if (name == "GetRawInputDeviceList")
            table[name] = win32::export_of(device_list);
        if (name == "Unrelated")
            table[name] = win32::export_of(device_list);
    }
    win32::register_module(
        "user32.dll",
        table.empty() ? win32::Exports{{"Unrelated", win32::export_of(device_list)}} : table);
}

void User32::uninstall() {
    current = nullptr;
    win32::register_module("user32.dll", {});
}

HRAWINPUT add_mouse_packet(User32& user32, HANDLE device, const RAWMOUSE& mouse) {
    const auto handle =
        reinterpret_cast<HRAWINPUT>(static_cast<std::uintptr_t>(user32.packets.size() + 1));
    RAWINPUT raw{};
    raw.header.dwType = RIM_TYPEMOUSE;
    raw.header.dwSize = sizeof(RAWINPUT);
    raw.header.hDevice = device;
    raw.data.mouse = mouse;
    user32.packets[handle] = raw;
    return handle;
}

}  // namespace fake
