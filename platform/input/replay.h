// The replay provider: evemu recordings, one device per file, played together
// and merged by time as if the devices were plugged in.
#pragma once

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
    // ahead; calls sink.source_finished() after the last packet.
    DWORD start(PacketSink& sink) override;

    double speed() const { return speed_; }
    // Files opened for their events: the mouse recordings that have events.
    std::size_t files_opened() const;
    std::uint64_t packets_sent() const;
    // Events read that made no packet (keys, repeats, other codes, dropped frames).
    std::uint64_t ignored_events() const;
    bool finished() const;

  private:
    class Playback;

    std::vector<Recording> recordings_;
    double speed_;
    std::unique_ptr<Playback> playback_;
};

// The handle of the recording at `position` on the command line.
HANDLE replay_handle(std::size_t position);

// "max" or a number > 0, as --replay-speed takes it; nullopt when it is neither.
std::optional<double> parse_replay_speed(std::string_view text);

}  // namespace input
