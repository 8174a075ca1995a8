// The five mouse buttons as the tests expect every provider to report them:
// the evdev key, the X button, the flags of a press and a release, the held bit.
#pragma once

#include <linux/input.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32.h"

struct MouseButton {
    const char* name;
    unsigned code;
    int x_button;
    USHORT down;
    USHORT up;
    ULONG bit;
};

inline constexpr MouseButton mouse_buttons[] = {
    {"left", BTN_LEFT, 1, 0x0001, 0x0002, 1u << 0},
    {"right", BTN_RIGHT, 3, 0x0004, 0x0008, 1u << 1},
    {"middle", BTN_MIDDLE, 2, 0x0010, 0x0020, 1u << 2},
    {"side", BTN_SIDE, 8, 0x0040, 0x0080, 1u << 3},
    {"extra", BTN_EXTRA, 9, 0x0100, 0x0200, 1u << 4},
};

// The name of a case of a test over mouse_buttons.
inline std::string button_name(const testing::TestParamInfo<MouseButton>& info) {
    return info.param.name;
}
