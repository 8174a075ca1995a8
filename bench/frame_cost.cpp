// What the program's frames cost, as a count of instructions rather than a
// time: the real windows, offscreen, on a frame grid of FPS frames a second
// whose clock the bench steps itself, fed by one mouse (mouse 2: its report
// lines fill the memo, its cursor and trail move on the canvas, Label1 and
// Label4 change) sending RATE packets a second, moves of up to six counts
// either way as a hand makes them, for FRAMES frames. At each boundary the
// packets of the frame before come in one burst at the frame's start, as the
// x11 input reads them, then every window's updates run
// (vcl::FramePacer::flush_all) and their paint events are sent. Only the
// frames after the first WARM_UP ones are
// counted, between CALLGRIND_START_INSTRUMENTATION and STOP:
//
//   valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=/dev/null
//       build/default/bench/frame_cost 300 250 60 [--window=timing|buttons|movement|plot|check]
//
// callgrind's "Collected" over FRAMES is one frame's instructions (its
// packets' handling included); times FPS, a second's. `--window` opens a
// measures window too, as its key would, and gives the focus back to the
// main window. It prints the frames counted, the packets and the frames in
// which a window drew.
#include <QCoreApplication>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "app/form_windows.h"
#include "app/providers.h"
#include "measures/feed.h"
#include "platform/frames/frames.h"
#include "platform/input/device.h"
#include "platform/input/service.h"
#include "platform/vcl/vcl.h"
#include "ui/frmButtons.h"
#include "ui/frmCheck.h"
#include "ui/frmDatos.h"
#include "ui/frmMovement.h"
#include "ui/frmPlot.h"
#include "ui/frmTiming.h"
#include "ui/measures_window.h"
#include "ui/principal.h"

namespace {

constexpr int warm_up = 30;

// Three mice and a keyboard; the packets are the bench's to push.
class BenchMice final : public input::Provider {
  public:
    const char* name() const override { return "evdev"; }
    std::vector<input::Device> devices() override {
        return {{input::device_handle(1), RIM_TYPEMOUSE, "Bench Mouse 0", "bench 0"},
                {input::device_handle(2), RIM_TYPEMOUSE, "Bench Mouse 1", "bench 1"},
                {input::device_handle(3), RIM_TYPEMOUSE, "Bench Mouse 2", "bench 2"},
                {input::device_handle(4), RIM_TYPEKEYBOARD, "Bench Keyboard", "bench 3"}};
    }
    DWORD start(input::PacketSink& sink) override {
        sink_ = &sink;
        return ERROR_SUCCESS;
    }
    input::PacketSink* sink() const { return sink_; }

  private:
    input::PacketSink* sink_ = nullptr;
};

// A hand's moves: up to six counts either way, turned back at the edges of
// a box 24 counts either side of where it started (as bench/paced_pointer).
class Hand {
  public:
    std::pair<int, int> next() { return {within_box(x_, step()), within_box(y_, step())}; }

  private:
    int step() {
        seed_ = seed_ * 1103515245u + 12345u;
        return static_cast<int>((seed_ >> 16) % 13) - 6;
    }
    static int within_box(int& at, int delta) {
        if (at + delta > 24 || at + delta < -24)
            delta = -delta;
        at += delta;
        return delta;
    }
    std::uint32_t seed_ = 1;
    int x_ = 0;
    int y_ = 0;
};

// Handles what the event loop has until `done`, for at most ten seconds.
template <class Done>
bool settle(Done&& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents();
    }
    return done();
}

int usage() {
    std::fprintf(
        stderr,
        "usage: frame_cost FRAMES RATE_HZ FPS [--window=timing|buttons|movement|plot|check]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5)
        return usage();
    const long frames_counted = std::atol(argv[1]);
    const double rate = std::atof(argv[2]);
    const int fps = std::atoi(argv[3]);
    const std::string window = argc == 5 ? argv[4] : "";
    if (frames_counted <= 0 || rate <= 0 || fps < frames::min_rate || fps > frames::max_rate)
        return usage();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    std::int64_t now_us = 1'000'000;
    frames::set_clock([&now_us] { return now_us; });
    frames::fix_rate(fps);

    vcl::TApplication application(argc, argv);
    app::FormWindows windows;
    auto provider = std::make_unique<BenchMice>();
    BenchMice& mice = *provider;
    input::Service service(std::move(provider), windows);
    service.install();
    const app::MeasuredInput measured(service.provider());
    measures::feed().start(measured);
    service.on_packet_handled = [](const input::Packet& packet, WPARAM code, std::int64_t) {
        measures::feed().packet(app::to_measures(packet, code));
    };
    service.on_batch_handled = [] {
        flush_log();
        measures::feed().batch_handled();
    };

    vcl::Application->Initialize();
    vcl::Application->CreateForm(&Form1);
    vcl::Application->CreateForm(&Form2);
    Form1->Show();
    MeasuresWindow* opened = nullptr;
    if (window == "--window=timing") {
        show_measures_window(Form3);
        opened = Form3;
    } else if (window == "--window=buttons") {
        show_measures_window(Form4);
        opened = Form4;
    } else if (window == "--window=movement") {
        show_measures_window(Form5);
        opened = Form5;
    } else if (window == "--window=plot") {
        show_measures_window(Form6);
        opened = Form6;
    } else if (window == "--window=check") {
        show_measures_window(Form7);
        opened = Form7;
    } else if (!window.empty()) {
        return usage();
    }
    // The window opened takes the focus as it first shows; then the main one.
    if (opened != nullptr)
        settle([opened] { return vcl::TForm::active() == opened; });
    Form1->SetFocus();
    if (!settle([] { return vcl::TForm::active() == Form1; }) || mice.sink() == nullptr) {
        std::fprintf(stderr, "frame_cost: the main window did not become active\n");
        return 1;
    }

    Hand hand;
    const HANDLE mouse = input::device_handle(3);
    std::int64_t sent = 0;
    std::uint64_t drawn_at_start = 0;
    for (long f = 0; f < warm_up + frames_counted; ++f) {
        if (f == warm_up) {
            drawn_at_start = frames::frames_drawn();
            CALLGRIND_START_INSTRUMENTATION;
        }
        // The boundary: the packets that came in the frame before, read in one
        // burst at its start as the x11 input reads them, then every window's
        // updates, then their paint events.
        const std::int64_t start_us = now_us;
        frames::FrameStart read([&] {
            mice.sink()->burst_begin();
            for (;;) {
                const auto due_us =
                    static_cast<std::int64_t>(static_cast<double>(sent) * 1e6 / rate);
                if (1'000'000 + due_us >= start_us)
                    break;
                input::Packet packet{mouse, {}, (1'000'000 + due_us) * 1000};
                const auto [dx, dy] = hand.next();
                packet.mouse.lLastX = dx;
                packet.mouse.lLastY = dy;
                mice.sink()->push(packet);
                ++sent;
            }
            mice.sink()->burst_end();
            service.drain();
        });
        read.request();
        vcl::FramePacer::flush_all();
        QCoreApplication::sendPostedEvents();
        now_us = frames::grid().start_of(frames::frame_at(now_us) + 1);
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    std::printf("%ld frames at %d a second, %lld packets at %.0f Hz, %llu frames drawn\n",
                frames_counted, fps, static_cast<long long>(sent), rate,
                static_cast<unsigned long long>(frames::frames_drawn() - drawn_at_start));
    // The window closed as its user would, the log closed with it.
    Form1->Close();
    vcl::Application->destroy_forms();
    return 0;
}
