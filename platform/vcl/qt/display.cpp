// The display the main form is on, for the frame grid's rate: Qt's
// QScreen::refreshRate(), read again when the form's window goes to another
// screen and when its screen's rate changes.
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "platform/vcl/qt/backend.h"
#include "platform/vcl/qt/native.h"

namespace vcl {

double system_display_rate() {
    QScreen* screen = nullptr;
    if (Application != nullptr && Application->MainForm() != nullptr)
        screen = qt::widget(Application->MainForm())->screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->refreshRate() : 0.0;
}

namespace qt {
namespace {

// The window followed and its screen's notice of a new rate.
struct Followed {
    QPointer<QWindow> window;
    QMetaObject::Connection screen_changed;
    QMetaObject::Connection rate_changed;
};

Followed& followed() {
    static Followed f;
    return f;
}

void watch_screen(QScreen* screen) {
    Followed& f = followed();
    QObject::disconnect(f.rate_changed);
    if (screen != nullptr) {
        f.rate_changed = QObject::connect(screen, &QScreen::refreshRateChanged, f.window,
                                          [] { display_rate_changed(); });
    }
}

}  // namespace

void follow_display(QWidget& window) {
    Followed& f = followed();
    QWindow* handle = window.windowHandle();
    if (handle == nullptr || handle == f.window)
        return;
    QObject::disconnect(f.screen_changed);
    f.window = handle;
    f.screen_changed =
        QObject::connect(handle, &QWindow::screenChanged, handle, [](QScreen* screen) {
            watch_screen(screen);
            display_rate_changed();
        });
    watch_screen(handle->screen());
    display_rate_changed();
}

}  // namespace qt
}  // namespace vcl
