// What the Linux-only parts of the program (screenshots) and the tests reach
// behind the facade on Qt: the widgets of forms and controls, the canvas
// image, the colours as Qt sees them, the layouts uic compiled and the notice.
#pragma once

#include <QColor>
#include <QImage>
#include <QSize>
#include <QWidget>

#include <functional>

#include "platform/vcl/qt/widgets.h"
#include "platform/vcl/vcl.h"
// The backend hands the forms Windows virtual-key codes (VK_F2, ...).
#include "platform/win32/win32.h"

namespace vcl::qt {

QWidget* widget(const TControl* control);
QWidget* widget(const TForm* form);

// The canvas's surface as drawn so far.
const QImage& image(const TCanvas& canvas);
// Grows the surface to at least this size, keeping what is drawn.
void ensure_size(TCanvas& canvas, QSize size);

// The RGB a colour stands for (system colours through the application palette).
QColor to_qcolor(TColor color);
TColor from_qcolor(QColor color);

// Registers a stored layout under `name`: `setup` is uic's setupUi, which
// makes the controls on the form's widget. A name registered again is replaced.
void register_layout(const String& name, std::function<void(QWidget* form)> setup);

}  // namespace vcl::qt
