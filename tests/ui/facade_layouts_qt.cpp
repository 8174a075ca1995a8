// The facade tests' own layout (tests/ui/facade_form.ui) as uic compiles it,
// registered by name for the Qt backend; the Win32 build of the tests makes a
// table of the same file.
#include "platform/vcl/qt/native.h"
#include "ui_facade_form.h"

namespace {

const bool registered = [] {
    vcl::qt::register_layout("FacadeForm", [](QWidget* form) { Ui::FacadeForm().setupUi(form); });
    return true;
}();

}  // namespace
