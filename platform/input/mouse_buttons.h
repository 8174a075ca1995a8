// The mouse buttons a packet can carry, in one table for every input: the
// kernel's code, X's button number, the packet's down and up flags and the
// button's bit in ulRawButtons. Other buttons make no packet.
#pragma once

#include <linux/input.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/win32/win32.h"

namespace input {

struct MouseButton {
    unsigned evdev_code;
    int x_button;
    USHORT down;
    USHORT up;
    ULONG raw_bit;
};

inline constexpr std::array<MouseButton, 5> mouse_buttons = {{
    {BTN_LEFT, 1, RI_MOUSE_LEFT_BUTTON_DOWN, RI_MOUSE_LEFT_BUTTON_UP, 1u << 0},
    {BTN_RIGHT, 3, RI_MOUSE_RIGHT_BUTTON_DOWN, RI_MOUSE_RIGHT_BUTTON_UP, 1u << 1},
    {BTN_MIDDLE, 2, RI_MOUSE_MIDDLE_BUTTON_DOWN, RI_MOUSE_MIDDLE_BUTTON_UP, 1u << 2},
    {BTN_SIDE, 8, RI_MOUSE_BUTTON_4_DOWN, RI_MOUSE_BUTTON_4_UP, 1u << 3},
    {BTN_EXTRA, 9, RI_MOUSE_BUTTON_5_DOWN, RI_MOUSE_BUTTON_5_UP, 1u << 4},
}};

// The button of an evdev key code; null for keys and other buttons.
constexpr const MouseButton* evdev_button(unsigned code) {
    for (const MouseButton& button : mouse_buttons) {
        if (button.evdev_code == code)
            return &button;
    }
    return nullptr;
}

// The button of an X button number; null for the wheel (4 to 7) and past 9.
constexpr const MouseButton* x_button(int number) {
    for (const MouseButton& button : mouse_buttons) {
        if (button.x_button == number)
            return &button;
    }
    return nullptr;
}

// A wheel delta as usButtonData: 16-bit two's complement, saturated rather
// than wrapped so a huge turn never flips direction.
constexpr USHORT wheel_data(std::int64_t value) {
    const std::int64_t clamped = std::clamp<std::int64_t>(value, -32768, 32767);
    return static_cast<USHORT>(static_cast<std::uint32_t>(clamped) & 0xffffu);
}

}  // namespace input
