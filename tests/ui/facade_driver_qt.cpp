// The facade's tests' user on Qt: the combo box's own popup list, PNG files
// read by QImageReader.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QImageReader>
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

Picture read_png(const std::string& path) {
    QImageReader reader(QString::fromStdString(path), "png");
    reader.setDecideFormatFromContent(true);
    QImage image = reader.read();
    if (image.isNull())
        throw std::runtime_error(path + ": " + reader.errorString().toStdString());
    image = image.convertToFormat(QImage::Format_RGB32);
    Picture picture;
    picture.width = image.width();
    picture.height = image.height();
    picture.pixels.reserve(static_cast<std::size_t>(image.width()) *
                           static_cast<std::size_t>(image.height()));
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb rgb = image.pixel(x, y);
            picture.pixels.push_back(static_cast<vcl::TColor>(qRed(rgb)) |
                                     static_cast<vcl::TColor>(qGreen(rgb)) << 8 |
                                     static_cast<vcl::TColor>(qBlue(rgb)) << 16);
        }
    }
    return picture;
}

}  // namespace facade_driver
