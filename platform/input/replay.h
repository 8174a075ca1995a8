// The replay provider: evemu recordings (one device a file) and the devices
// of libinput record files, played together and merged by time as if the
// devices were plugged in.
#pragma once

#include <QTimer>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/input/device.h"
#include "platform/input/handoff_queue.h"
#include "platform/input/recording.h"

namespace input {

class ReplayProvider final : public Provider {
  public:
    // As fast as the program can handle the packets.
    static constexpr double max_speed = std::numeric_limits<double>::infinity();

    // `recordings` in command-line order (a file's devices in its order);
    // `speed` > 0 multiplies the recorded
    // pace (1: as recorded), or max_speed. Throws std::invalid_argument otherwise.
    ReplayProvider(std::vector<Recording> recordings, double speed);
    ~ReplayProvider() override;

    const char* name() const override { return "replay"; }
    // Mice, keyboards, others; handle 65537 + the device's position in
    // `recordings`.
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
    // Each mouse recording is recorded again as evemu, from its description
    // (as libevemu reads it) and every event read, times counted from the
    // run's start as they were from the file's first event.
    bool record_into(std::shared_ptr<Recorder> recorder) override;

    // How long the replay waits for its first activation before saying so on
    // standard error, once.
    void set_wait_notice_delay(std::chrono::milliseconds delay) { notice_delay_ = delay; }

    // Whether the clock runs now (a window is active and packets are left).
    bool playing() const { return sink_ != nullptr && !paused_ && !finished_; }
    // Whether it has said that it waits for the window.
    bool said_waiting() const { return said_waiting_; }

  private:
    class Source;
    // What the reader hands the event loop: a packet of the recording at
    // `source`, or the end of that recording.
    struct Item {
        // Of the SYN_REPORT that ended its frame, from the file's first event.
        std::int64_t time_ns;
        RAWMOUSE mouse;
        std::uint32_t source;
        bool ended;
        bool same_report;  // the second packet of its frame
    };
    using Queue = HandoffQueue<std::vector<Item>>;

    // Runs the clock from where it stopped, or stops it.
    void set_active(bool active);
    void read_ahead_of_loop();
    bool hand_over(std::vector<Item>& chunk);
    const Item* next_item();
    void pump();
    std::int64_t due_ns(std::int64_t time_ns) const;
    void arm(std::int64_t wait_ns);
    void finish();

    std::vector<Recording> recordings_;
    double speed_;
    std::chrono::milliseconds notice_delay_{3000};
    std::shared_ptr<Recorder> recorder_;
    PacketSink* sink_ = nullptr;                    // set by start()
    std::vector<std::unique_ptr<Source>> sources_;  // read by the reader thread only
    QTimer timer_;
    QTimer notice_;
    // The clock, on the GUI thread: running from start_ns_, or paused after
    // paused_at_ns_ of playing (before the first activation: 0).
    bool active_ = false;  // as last told, before start() too
    bool paused_ = true;
    bool ever_active_ = false;
    bool said_waiting_ = false;
    std::int64_t start_ns_ = 0;
    std::int64_t paused_at_ns_ = 0;
    std::size_t ended_ = 0;  // recordings played to their end
    bool finished_ = false;

    Queue queue_;
    // Chunks taken from the queue, sent from item next_ of chunk chunk_ on.
    std::vector<std::vector<Item>> taken_;
    std::size_t chunk_ = 0;
    std::size_t next_ = 0;
    std::thread reader_;
};

// "max" or a number > 0, as --replay-speed takes it; nullopt when it is neither.
std::optional<double> parse_replay_speed(std::string_view text);

}  // namespace input
