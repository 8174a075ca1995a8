// The replay provider: evemu recordings, one device per file, played together
// and merged by time as if the devices were plugged in.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/input/device.h"
#include "platform/input/recording.h"

namespace input {

class ReplayProvider final : public Provider {
  public:
    // As fast as the program can handle the packets.
    static constexpr double max_speed = std::numeric_limits<double>::infinity();

    // `recordings` in command-line order; `speed` > 0 multiplies the recorded
    // pace (1: as recorded), or max_speed. Throws std::invalid_argument otherwise.
    ReplayProvider(std::vector<Recording> recordings, double speed);
    ~ReplayProvider() override;
    ReplayProvider(const ReplayProvider&) = delete;
    ReplayProvider& operator=(const ReplayProvider&) = delete;

    const char* name() const override { return "replay"; }
    // Mice, keyboards, others; handle 65537 + the file's position.
    std::vector<Device> devices() override;
    // Opens the mouse recordings (only those) and plays them from the GUI
    // thread's event loop, a thread of its own reading the files a little
    // ahead; calls sink.source_finished() after the last packet. How many
    // events of each recording made no packet is logged at the end of its
    // reading (category rawmice.replay, debug level).
    DWORD start(PacketSink& sink) override;

    // A recording plays into the window: its clock runs only while a window of
    // the program is active, from the first activation on, and pauses
    // (keeping the recording's own spacing) while none is. Nothing is dropped.
    bool follows_focus() const override { return false; }
    void window_active(bool active) override;
    // Each mouse recording is recorded again, from its description (as
    // libevemu reads it) and every event read, times counted from the run's
    // start as they were from the file's first event.
    bool record_into(std::shared_ptr<Recorder> recorder) override;

    // How long the replay waits for its first activation before saying so on
    // standard error, once.
    void set_wait_notice_delay(std::chrono::milliseconds delay) { notice_delay_ = delay; }

    // Whether the clock runs now (a window is active and packets are left).
    bool playing() const;
    // Whether it has said that it waits for the window.
    bool said_waiting() const;

  private:
    class Playback;

    std::vector<Recording> recordings_;
    double speed_;
    bool active_ = false;
    std::chrono::milliseconds notice_delay_{3000};
    std::shared_ptr<Recorder> recorder_;
    std::unique_ptr<Playback> playback_;
};

// "max" or a number > 0, as --replay-speed takes it; nullopt when it is neither.
std::optional<double> parse_replay_speed(std::string_view text);

}  // namespace input
