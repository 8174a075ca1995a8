// What a frame costs the toolkit alone, before the program draws anything in
// it: a window of the main window's size (and a second one, when asked) on
// a grid of frames exact in µs (the timer re-armed for each boundary), each frame a small square of
// each window painted anew and flushed, as a frame that brings one change does. The CPU of the
// whole process (all its threads, the toolkit's event reader among them) over the run, a second
// after the windows are shown.
//   toolkit_frame FPS SECONDS WINDOWS
// prints "ms_per_second us_per_frame frames".
#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

namespace {

class Window : public QWidget {
  public:
    int frame = 0;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        painter.fillRect(event->rect(), (frame & 1) != 0 ? Qt::darkRed : Qt::darkBlue);
    }
};

std::int64_t clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double cpu_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int fps = argc > 1 ? std::atoi(argv[1]) : 0;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 0;
    const int count = argc > 3 ? std::atoi(argv[3]) : 0;
    if (fps < 1 || fps > 1000 || seconds < 1 || count < 1 || count > 4) {
        std::fprintf(stderr, "usage: toolkit_frame FPS SECONDS WINDOWS (1 to 4)\n");
        return 2;
    }
    std::vector<std::unique_ptr<Window>> windows;
    for (int i = 0; i < count; ++i) {
        windows.push_back(std::make_unique<Window>());
        windows.back()->setGeometry(40, 40 + i * 420, 696, 376);
        windows.back()->show();
    }
    // Frame k at origin + k / fps: the timer's whole milliseconds wait for
    // each boundary, so that the frames come at the rate asked for.
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    frames.setSingleShot(true);
    std::int64_t origin_us = 0;
    int drawn = 0;
    const auto arm = [&] {
        const std::int64_t next_us =
            origin_us + (std::int64_t{drawn + 1} * 1'000'000 + fps - 1) / fps;
        frames.start(
            static_cast<int>(std::max<std::int64_t>(0, (next_us - clock_us() + 999) / 1000)));
    };
    QObject::connect(&frames, &QTimer::timeout, [&] {
        ++drawn;
        for (const auto& window : windows) {
            ++window->frame;
            window->update(20, 20, 8, 8);
        }
        arm();
    });
    double started = 0;
    QTimer::singleShot(1000, [&] {
        started = cpu_ms();
        origin_us = clock_us();
        arm();
        QTimer::singleShot(seconds * 1000, [&] {
            const double used = cpu_ms() - started;
            std::printf("%.2f %.1f %d\n", used / seconds, drawn > 0 ? used * 1000 / drawn : 0.0,
                        drawn);
            app.quit();
        });
    });
    return app.exec();
}
