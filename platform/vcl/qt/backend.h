// What the parts of the Qt backend share and no one else sees: text both
// ways, Windows' virtual keys and shift states from Qt's, coordinates.
#pragma once

#include <QString>
#include <Qt>

class QWidget;

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "platform/vcl/vcl.h"

namespace vcl::qt {

inline QString qstring(const String& text) {
    return QString::fromStdString(text);
}
inline String string(const QString& text) {
    return text.toStdString();
}

// Qt's keys as Windows' virtual-key codes; 0 for a key without one here.
KeyCode virtual_key(int key);
// The shift state of the keys and mouse buttons held.
TShiftState shift_state(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons = Qt::NoButton);

// While a form's window is brought up to date (its paint events, then the
// backing store's flush), the time its paint events took.
struct PaintTiming {
    bool active = false;
    bool in_paint = false;
    std::int64_t painting_ns = 0;
};
PaintTiming& paint_timing();

// Follows the display `window` (the main form's) is on for the frame grid's
// rate: reads its rate now, and again on the screen's and the window's notices.
void follow_display(QWidget& window);

inline int to_int(double value) {
    return static_cast<int>(std::clamp(std::floor(value), double{INT_MIN}, double{INT_MAX}));
}

}  // namespace vcl::qt
