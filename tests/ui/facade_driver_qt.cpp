// The facade's tests' user on Qt: the combo box's own popup list.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>

#include <stdexcept>

#include "platform/vcl/qt/native.h"
#include "tests/support/test_support.h"
#include "tests/ui/facade_driver.h"

namespace facade_driver {

bool run_loop_until(const std::function<bool()>& done) {
    return testsupport::wait_until(done);
}

void choose_item(vcl::TComboBox& combo_box, int index) {
    auto* combo = qobject_cast<QComboBox*>(vcl::qt::widget(&combo_box));
    if (combo == nullptr)
        throw std::logic_error("a combo box without its QComboBox");
    // Its list dropped down, the item made current in it and taken with Enter,
    // as a click on it would take it.
    combo->showPopup();
    QAbstractItemView* list = combo->view();
    list->setCurrentIndex(
        combo->model()->index(index, combo->modelColumn(), combo->rootModelIndex()));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(list, &enter);
}

}  // namespace facade_driver
