// The stored layouts as uic compiles them, registered by name for the Qt
// backend of the toolkit facade, which streams the forms from them.
#include "platform/vcl/qt/native.h"
#include "ui_frmButtons.h"
#include "ui_frmCheck.h"
#include "ui_frmDatos.h"
#include "ui_frmMovement.h"
#include "ui_frmPlot.h"
#include "ui_frmTiming.h"
#include "ui_principal.h"

namespace {

const bool registered = [] {
    vcl::qt::register_layout("Form1", [](QWidget* form) { Ui::Form1().setupUi(form); });
    vcl::qt::register_layout("Form2", [](QWidget* form) { Ui::Form2().setupUi(form); });
    vcl::qt::register_layout("Form3", [](QWidget* form) { Ui::Form3().setupUi(form); });
    vcl::qt::register_layout("Form4", [](QWidget* form) { Ui::Form4().setupUi(form); });
    vcl::qt::register_layout("Form5", [](QWidget* form) { Ui::Form5().setupUi(form); });
    vcl::qt::register_layout("Form6", [](QWidget* form) { Ui::Form6().setupUi(form); });
    vcl::qt::register_layout("Form7", [](QWidget* form) { Ui::Form7().setupUi(form); });
    return true;
}();

}  // namespace
