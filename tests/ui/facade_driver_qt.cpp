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

#include <chrono>
#include <stdexcept>

#include "platform/vcl/qt/native.h"
#include "tests/support/test_support.h"
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

struct SaveDialogUser::Native {
    enum class Step { waiting, saving, cancelling, failed };

    Native(std::string title, std::optional<std::string> typed)
        : title(QString::fromStdString(title)), typed(std::move(typed)) {}

    // The save dialog titled so, up and modal.
    QFileDialog* find_dialog() const {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* found = qobject_cast<QFileDialog*>(window);
            if (found != nullptr && found->isVisible() &&
                found->objectName() == QLatin1String("rawmiceSaveDialog") &&
                found->windowTitle() == title && QApplication::activeModalWidget() == found)
                return found;
        }
        return nullptr;
    }
    QMessageBox* message_box() const {
        for (QMessageBox* box : dialog->findChildren<QMessageBox*>()) {
            if (box->isVisible())
                return box;
        }
        return nullptr;
    }
    bool dialog_gone() const { return dialog.isNull() || !dialog->isVisible(); }

    // Closes what is up (a message box by its No or OK, the dialog by Cancel)
    // and marks the answer failed.
    void give_up() {
        step = Step::failed;
        if (dialog_gone())
            return;
        if (QMessageBox* box = message_box()) {
            press(box->button(QMessageBox::No) != nullptr ? box->button(QMessageBox::No)
                                                          : box->button(QMessageBox::Ok));
        }
        press(button_of_role(*dialog, QDialogButtonBox::RejectRole));
    }

    void tick() {
        const bool late = std::chrono::steady_clock::now() >= deadline;
        switch (step) {
            case Step::waiting:
                if (QFileDialog* found = find_dialog()) {
                    dialog = found;
                    if (const auto* edit =
                            found->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                        proposed = edit->text().toStdString();
                    file_type = found->selectedNameFilter().toStdString();
                    if (typed) {
                        if (auto* edit =
                                found->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                            edit->setText(QString::fromStdString(*typed));
                        press(button_of_role(*found, QDialogButtonBox::AcceptRole));
                        step = Step::saving;
                    } else {
                        press(button_of_role(*found, QDialogButtonBox::RejectRole));
                        step = Step::cancelling;
                    }
                } else if (late) {
                    // Some other dialog may hold Execute: the one named so goes.
                    for (QWidget* window : QApplication::topLevelWidgets()) {
                        auto* other = qobject_cast<QFileDialog*>(window);
                        if (other != nullptr && other->isVisible() &&
                            other->objectName() == QLatin1String("rawmiceSaveDialog")) {
                            dialog = other;
                            give_up();
                        }
                    }
                    step = Step::failed;
                }
                break;
            case Step::saving:
            case Step::cancelling:
                if (dialog_gone())
                    return;  // answered: nothing more to do
                if (QMessageBox* box = message_box(); box != nullptr && box != answered_box) {
                    answered_box = box;
                    question = box->text().toStdString();
                    if (box->button(QMessageBox::Yes) != nullptr) {
                        press(box->button(QMessageBox::Yes));
                    } else {
                        give_up();
                    }
                } else if (late) {
                    give_up();
                }
                break;
            case Step::failed:
                return;
        }
        timer.start(10);
    }

    const QString title;
    const std::optional<std::string> typed;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Step step = Step::waiting;
    QPointer<QFileDialog> dialog;
    QPointer<QMessageBox> answered_box;
    std::string proposed;
    std::string file_type;
    std::string question;
    // Last, so that it stops before what it reads goes.
    vcl::Timer timer{[this] { tick(); }};
};

SaveDialogUser::SaveDialogUser(std::string title, std::optional<std::string> typed)
    : native_(std::make_unique<Native>(std::move(title), std::move(typed))) {
    native_->timer.start(0);
}

SaveDialogUser::~SaveDialogUser() = default;

bool SaveDialogUser::answered() const {
    const Native& n = *native_;
    return (n.step == Native::Step::saving || n.step == Native::Step::cancelling) &&
           n.dialog_gone();
}

std::string SaveDialogUser::proposed() const {
    return native_->proposed;
}

std::string SaveDialogUser::file_type() const {
    return native_->file_type;
}

std::string SaveDialogUser::question() const {
    return native_->question;
}

}  // namespace facade_driver
