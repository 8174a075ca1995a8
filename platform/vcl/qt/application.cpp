// The application and its timers over Qt: the event loop, the fatal error
// shown on screen, precise single-shot timers, and the paint events timed
// for a form's frame cost.
#include <QApplication>
#include <QFont>
#include <QMessageBox>
#include <QTimer>

#include <iostream>

#include "platform/frames/frames.h"
#include "platform/vcl/qt/backend.h"

namespace vcl {

using qt::qstring;
using qt::string;

namespace qt {

PaintTiming& paint_timing() {
    static PaintTiming timing;
    return timing;
}

namespace {

// Every event passes here: while a form's window is brought up to date, its
// paint events (the window's and its controls', one after the other) are timed.
class Application final : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        PaintTiming& timing = paint_timing();
        if (event->type() != QEvent::Paint || !timing.active || timing.in_paint)
            return QApplication::notify(receiver, event);
        timing.in_paint = true;
        const std::int64_t began = cost_clock_ns();
        const bool handled = QApplication::notify(receiver, event);
        timing.painting_ns += cost_clock_ns() - began;
        timing.in_paint = false;
        return handled;
    }
};

}  // namespace
}  // namespace qt

struct Timer::Native {
    QTimer timer;
};

Timer::Timer(std::function<void()> fire) : native_(std::make_unique<Native>()) {
    native_->timer.setSingleShot(true);
    // Precise, so that every pacer of the process meets on the same frame boundary.
    native_->timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&native_->timer, &QTimer::timeout, &native_->timer, std::move(fire));
}

Timer::~Timer() = default;

void Timer::start(int ms) {
    native_->timer.start(ms);
}

void Timer::stop() {
    native_->timer.stop();
}

bool Timer::active() const {
    return native_->timer.isActive();
}

struct TApplication::Native {
    Native(int& argc, char** argv) : app(argc, argv) {}
    qt::Application app;
};

TApplication::TApplication(int& argc, char** argv)
    : native_(std::make_unique<Native>(argc, argv)), presenter_(present_on_screen) {
    // The main form alone ends the run, whatever other windows are left.
    native_->app.setQuitOnLastWindowClosed(false);
    Application = this;
    FramePacer::follow_frames();
}

TApplication::~TApplication() {
    destroy_forms();
    frames::set_waker({});
    if (Application == this)
        Application = nullptr;
}

void TApplication::Initialize() {
    // The layouts name the Windows font; Liberation Sans is the free face the
    // system has closest to it.
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
}

void TApplication::run_loop() {
    native_->app.exec();
}

void TApplication::quit_loop() {
    native_->app.exit(0);
}

void TApplication::present_on_screen(const String& message) {
    const QString name = QCoreApplication::applicationName();
    std::cerr << string(name) << ": " << message << std::endl;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    QMessageBox::critical(nullptr, name, qstring(message));
}

}  // namespace vcl
