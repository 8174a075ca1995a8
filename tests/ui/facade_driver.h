// What the facade's tests do from outside a form, as its user would (or another
// program reading its files): choose an item of a combo box, read a PNG file
// back, wait on the message loop. The header names no toolkit; each backend's
// tests link its own implementation
// (tests/ui/facade_driver_qt.cpp, tests/win32/facade_driver_win32.cpp), so a
// window's tests written against it run on either.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/vcl/vcl.h"

namespace facade_driver {

// Handles what comes to the message loop until `done` holds or 10 s pass;
// answers `done`.
bool run_loop_until(const std::function<bool()>& done);

// Chooses item `index` of the combo box as a user does with the mouse: its
// list is dropped down and the item picked from it (on Qt), or the combo box
// takes the item and tells its form the user chose it (CB_SETCURSEL and the
// CBN_SELCHANGE notification, on Win32). OnChange fires as for a user.
void choose_item(vcl::TComboBox& combo_box, int index);

// A picture as a PNG file holds it, decoded by the system's decoder (Qt's,
// WIC): its pixels row by row, top first, as TColors (0x00BBGGRR).
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<vcl::TColor> pixels;
    vcl::TColor at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};
// Throws std::runtime_error saying why when the file cannot be read as a PNG.
Picture read_png(const std::string& path);

}  // namespace facade_driver
