// The facade's tests' user on Qt: the combo box's own popup list, Qt's file
// dialog found among the application's windows and driven through its widgets,
// PNG files read by QImageReader.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/vcl/qt/native.h"
#include "tests/support/test_support.h"
#include "tests/ui/dialog_steps.h"
#include "tests/ui/facade_driver.h"

namespace facade_driver {

namespace {

// Presses a button from the event loop's next turn, as a click comes: the
// dialog it answers may run a loop of its own meanwhile (a question box).
void press(QAbstractButton* button) {
    if (button == nullptr)
        return;
    QMetaObject::invokeMethod(
        button, [button] { button->click(); }, Qt::QueuedConnection);
}

QAbstractButton* button_of_role(const QFileDialog& dialog, QDialogButtonBox::ButtonRole role) {
    const auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    if (buttons == nullptr)
        return nullptr;
    for (QAbstractButton* button : buttons->buttons()) {
        if (buttons->buttonRole(button) == role)
            return button;
    }
    return nullptr;
}

}  // namespace

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

namespace {

// The steps on Qt's own file dialog, found among the application's windows.
class QtDialogSteps final : public DialogSteps {
  public:
    QtDialogSteps(const std::string& title, std::optional<std::string> typed)
        : DialogSteps(std::move(typed)), title_(QString::fromStdString(title)) {}

  private:
    // A save dialog of the facade, up and modal; titled so, unless `any`.
    static QFileDialog* shown_dialog(const QString* title) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* found = qobject_cast<QFileDialog*>(window);
            if (found != nullptr && found->isVisible() &&
                found->objectName() == QLatin1String("rawmiceSaveDialog") &&
                (title == nullptr ||
                 (found->windowTitle() == *title && QApplication::activeModalWidget() == found)))
                return found;
        }
        return nullptr;
    }
    QLineEdit* name_box() const {
        return dialog_->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    }
    QMessageBox* shown_box() const {
        for (QMessageBox* box : dialog_->findChildren<QMessageBox*>()) {
            if (box->isVisible())
                return box;
        }
        return nullptr;
    }

    bool find_dialog() override {
        dialog_ = shown_dialog(&title_);
        return !dialog_.isNull();
    }
    void give_up_on_others() override {
        dialog_ = shown_dialog(nullptr);
        if (!dialog_.isNull())
            give_up();
    }
    bool dialog_gone() const override { return dialog_.isNull() || !dialog_->isVisible(); }
    std::string name_shown() const override {
        const QLineEdit* edit = name_box();
        return edit != nullptr ? edit->text().toStdString() : std::string();
    }
    std::string kind_shown() const override { return dialog_->selectedNameFilter().toStdString(); }
    void save_as(const std::string& name) override {
        if (QLineEdit* edit = name_box())
            edit->setText(QString::fromStdString(name));
        press(button_of_role(*dialog_, QDialogButtonBox::AcceptRole));
    }
    void cancel() override { press(button_of_role(*dialog_, QDialogButtonBox::RejectRole)); }
    std::optional<std::string> new_message_box() override {
        QMessageBox* box = shown_box();
        if (box == nullptr || box == box_)
            return std::nullopt;
        box_ = box;
        return box->text().toStdString();
    }
    bool box_has_yes() const override {
        return !box_.isNull() && box_->button(QMessageBox::Yes) != nullptr;
    }
    void press_yes() override { press(box_->button(QMessageBox::Yes)); }
    void close_box() override {
        if (QMessageBox* box = shown_box()) {
            press(box->button(QMessageBox::No) != nullptr ? box->button(QMessageBox::No)
                                                          : box->button(QMessageBox::Ok));
        }
    }

    const QString title_;
    QPointer<QFileDialog> dialog_;
    QPointer<QMessageBox> box_;
};

}  // namespace

std::unique_ptr<DialogSteps> dialog_steps(const std::string& title,
                                          std::optional<std::string> typed) {
    return std::make_unique<QtDialogSteps>(title, std::move(typed));
}

}  // namespace facade_driver
