// The Windows-shaped surface the raw input engine is written against.
// On Windows this is <windows.h> itself; elsewhere it declares the same types,
// records (with the layout of the build's word size), constants and the few
// kernel32/user32 calls the engine makes, served by the modules registered below.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <windows.h>
#else

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#define WINAPI
#define CALLBACK

using BYTE = std::uint8_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HANDLE = void*;
using LPVOID = void*;
using PUINT = UINT*;

struct HWND__;
using HWND = HWND__*;
struct HRAWINPUT__;
using HRAWINPUT = HRAWINPUT__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using FARPROC = std::intptr_t(WINAPI*)();

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr UINT WM_INPUT = 0x00FF;
constexpr WPARAM RIM_INPUT = 0;
constexpr WPARAM RIM_INPUTSINK = 1;
constexpr UINT RID_INPUT = 0x10000003;
constexpr UINT RID_HEADER = 0x10000005;

constexpr DWORD RIM_TYPEMOUSE = 0;
constexpr DWORD RIM_TYPEKEYBOARD = 1;
constexpr DWORD RIM_TYPEHID = 2;

// Virtual-key codes, as a form's OnKeyDown receives them (F1 to F24 run on from VK_F1).
constexpr WORD VK_BACK = 0x08;
constexpr WORD VK_TAB = 0x09;
constexpr WORD VK_RETURN = 0x0D;
constexpr WORD VK_ESCAPE = 0x1B;
constexpr WORD VK_SPACE = 0x20;
constexpr WORD VK_PRIOR = 0x21;
constexpr WORD VK_NEXT = 0x22;
constexpr WORD VK_END = 0x23;
constexpr WORD VK_HOME = 0x24;
constexpr WORD VK_LEFT = 0x25;
constexpr WORD VK_UP = 0x26;
constexpr WORD VK_RIGHT = 0x27;
constexpr WORD VK_DOWN = 0x28;
constexpr WORD VK_INSERT = 0x2D;
constexpr WORD VK_DELETE = 0x2E;
constexpr WORD VK_F1 = 0x70;
constexpr WORD VK_F2 = 0x71;
constexpr WORD VK_F3 = 0x72;
constexpr WORD VK_F4 = 0x73;
constexpr WORD VK_F5 = 0x74;
constexpr WORD VK_F6 = 0x75;

constexpr USHORT MOUSE_MOVE_RELATIVE = 0x00;
constexpr USHORT MOUSE_MOVE_ABSOLUTE = 0x01;

constexpr USHORT RI_MOUSE_LEFT_BUTTON_DOWN = 0x0001;
constexpr USHORT RI_MOUSE_LEFT_BUTTON_UP = 0x0002;
constexpr USHORT RI_MOUSE_RIGHT_BUTTON_DOWN = 0x0004;
constexpr USHORT RI_MOUSE_RIGHT_BUTTON_UP = 0x0008;
constexpr USHORT RI_MOUSE_MIDDLE_BUTTON_DOWN = 0x0010;
constexpr USHORT RI_MOUSE_MIDDLE_BUTTON_UP = 0x0020;
constexpr USHORT RI_MOUSE_BUTTON_4_DOWN = 0x0040;
constexpr USHORT RI_MOUSE_BUTTON_4_UP = 0x0080;
constexpr USHORT RI_MOUSE_BUTTON_5_DOWN = 0x0100;
constexpr USHORT RI_MOUSE_BUTTON_5_UP = 0x0200;
constexpr USHORT RI_MOUSE_WHEEL = 0x0400;
constexpr USHORT RI_MOUSE_HWHEEL = 0x0800;
constexpr short WHEEL_DELTA = 120;

constexpr DWORD RIDEV_REMOVE = 0x00000001;
constexpr DWORD RIDEV_INPUTSINK = 0x00000100;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;

struct RAWINPUTDEVICELIST {
    HANDLE hDevice;
    DWORD dwType;
};
using PRAWINPUTDEVICELIST = RAWINPUTDEVICELIST*;

struct RAWINPUTDEVICE {
    USHORT usUsagePage;
    USHORT usUsage;
    DWORD dwFlags;
    HWND hwndTarget;
};
using PRAWINPUTDEVICE = RAWINPUTDEVICE*;
using PCRAWINPUTDEVICE = const RAWINPUTDEVICE*;

struct RAWINPUTHEADER {
    DWORD dwType;
    DWORD dwSize;
    HANDLE hDevice;
    WPARAM wParam;
};

struct RAWMOUSE {
    USHORT usFlags;
    union {
        ULONG ulButtons;
        struct {
            USHORT usButtonFlags;
            USHORT usButtonData;
        };
    };
    ULONG ulRawButtons;
    LONG lLastX;
    LONG lLastY;
    ULONG ulExtraInformation;
};

struct RAWKEYBOARD {
    USHORT MakeCode;
    USHORT Flags;
    USHORT Reserved;
    USHORT VKey;
    UINT Message;
    ULONG ExtraInformation;
};

struct RAWHID {
    DWORD dwSizeHid;
    DWORD dwCount;
    BYTE bRawData[1];
};

struct RAWINPUT {
    RAWINPUTHEADER header;
    union {
        RAWMOUSE mouse;
        RAWKEYBOARD keyboard;
        RAWHID hid;
    } data;
};
using PRAWINPUT = RAWINPUT*;

HMODULE LoadLibraryA(const char* lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
int ShowCursor(BOOL bShow);

namespace win32 {

// The exports of one module, by name, as GetProcAddress finds them.
using Exports = std::map<std::string, FARPROC, std::less<> >;

// Function pointers pass through void (*)(), the type that converts to and
// from every other, as they do through FARPROC on Windows.
template <class Fn>
FARPROC export_of(Fn* fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

// Makes `name` loadable by LoadLibraryA (names compare case-insensitively, as
// on Windows). Registering a name again replaces its exports; an empty map
// removes the module. Modules are process-wide and meant to be set up before
// the engine binds them.
void register_module(std::string name, Exports exports);

}  // namespace win32

#endif

// The raw input functions as the engine binds them from user32 by name.
using PFN_RegisterRawInputDevices = BOOL(WINAPI*)(PCRAWINPUTDEVICE, UINT, UINT);
using PFN_GetRawInputData = UINT(WINAPI*)(HRAWINPUT, UINT, LPVOID, PUINT, UINT);
using PFN_GetRawInputDeviceList = UINT(WINAPI*)(PRAWINPUTDEVICELIST, PUINT, UINT);

// The records' layout as Windows publishes it for the build's word size: the
// 32-bit one (4-byte handles) or the 64-bit one. The service hands these bytes
// over as they are, and the 32-bit program is checked here even on machines
// that cannot run it, so a slip in either layout stops the build.
namespace win32::layout {
constexpr bool wide = sizeof(void*) == 8;
static_assert(sizeof(void*) == (wide ? 8 : 4) && sizeof(HANDLE) == sizeof(void*));

static_assert(sizeof(RAWINPUTHEADER) == (wide ? 24 : 16));
static_assert(offsetof(RAWINPUTHEADER, dwType) == 0 && offsetof(RAWINPUTHEADER, dwSize) == 4);
static_assert(offsetof(RAWINPUTHEADER, hDevice) == 8);
static_assert(offsetof(RAWINPUTHEADER, wParam) == (wide ? 16 : 12));

static_assert(sizeof(RAWMOUSE) == 24);
static_assert(offsetof(RAWMOUSE, usFlags) == 0 && offsetof(RAWMOUSE, ulButtons) == 4);
static_assert(offsetof(RAWMOUSE, usButtonFlags) == 4 && offsetof(RAWMOUSE, usButtonData) == 6);
static_assert(offsetof(RAWMOUSE, ulRawButtons) == 8 && offsetof(RAWMOUSE, lLastX) == 12);
static_assert(offsetof(RAWMOUSE, lLastY) == 16 && offsetof(RAWMOUSE, ulExtraInformation) == 20);

static_assert(sizeof(RAWINPUT) == (wide ? 48 : 40));
static_assert(offsetof(RAWINPUT, header) == 0 && offsetof(RAWINPUT, data) == (wide ? 24 : 16));

static_assert(sizeof(RAWINPUTDEVICELIST) == (wide ? 16 : 8));
static_assert(offsetof(RAWINPUTDEVICELIST, dwType) == (wide ? 8 : 4));
static_assert(sizeof(RAWINPUTDEVICE) == (wide ? 16 : 12));
static_assert(offsetof(RAWINPUTDEVICE, dwFlags) == 4 && offsetof(RAWINPUTDEVICE, hwndTarget) == 8);
}  // namespace win32::layout
