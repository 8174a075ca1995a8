#include "app/form_windows.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QObject>
#include <QWindow>

#include <type_traits>
#include <utility>

#include "platform/vcl/vcl.h"

namespace app {
namespace {

// The facade's window types are the Windows-shaped surface's, so handles and
// messages pass between the service and the forms unconverted.
static_assert(std::is_same_v<vcl::WindowHandle, HWND> && std::is_same_v<vcl::KeyCode, WORD>);
static_assert(std::is_same_v<vcl::MessageId, UINT> && std::is_same_v<vcl::WordParam, WPARAM> &&
              std::is_same_v<vcl::LongParam, LPARAM> && std::is_same_v<vcl::LongResult, LRESULT>);

// Deleting it disconnects the watch and drops the calls it has queued.
struct ActivationWatch final : input::ProgramWindows::Watch {
    QObject context;
};

}  // namespace

HWND FormWindows::active() const {
    const vcl::TForm* form = vcl::TForm::active();
    return form != nullptr ? form->Handle.get() : nullptr;
}

bool FormWindows::is_window(HWND window) const {
    return vcl::TForm::from_handle(window) != nullptr;
}

void FormWindows::send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    vcl::TForm* form = vcl::TForm::from_handle(window);
    if (form == nullptr)
        return;
    vcl::TMessage dispatched{message, wparam, lparam, 0};
    vcl::guard([&] { form->Dispatch(&dispatched); }, vcl::OtherExceptions::by_what);
}

std::unique_ptr<input::ProgramWindows::Watch> FormWindows::watch_activation(
    std::function<void()> changed) {
    auto watch = std::make_unique<ActivationWatch>();
    // Activation moves with the focus window; the active form is looked at
    // once the toolkit has settled the change.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QObject* context = &watch->context;
        QObject::connect(gui, &QGuiApplication::focusWindowChanged, context,
                         [context, changed = std::move(changed)] {
                             QMetaObject::invokeMethod(context, changed, Qt::QueuedConnection);
                         });
    }
    return watch;
}

}  // namespace app
