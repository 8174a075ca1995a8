#include "platform/input/replay.h"

#include <QTimer>

#include <time.h>

#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/input/clock.h"

namespace input {

namespace {

// Packets pushed per turn of the event loop before yielding, so the window stays live.
constexpr int packets_per_turn = 256;
// Packets read ahead per mouse: enough to keep the loop fed while the reader
// sleeps, few enough that memory stays the same whatever the file's length.
constexpr std::size_t read_ahead = 4096;
// Events the reader takes from one file before turning to the next.
constexpr int events_per_batch = 1024;
// When paced, the reader stays only this far ahead of the playback (at speed 1):
// a file is read near the time its packets are due, so a change made to it while
// it plays shows then.
constexpr std::int64_t paced_look_ahead_ns = 50'000'000;
constexpr auto paced_reader_tick = std::chrono::milliseconds(10);

struct TimedPacket {
    std::int64_t time_ns;  // of the SYN_REPORT that ended its frame, from the file's first event
    RAWMOUSE mouse;
};

// Packets from the reader thread (its only writer) to the event loop (its only
// reader), in order, without locks. Sequentially consistent, so that each side's
// "moved the ring, then looked whether the other waits" cannot miss the other's
// "said it waits, then looked at the ring".
class PacketRing {
  public:
    std::size_t size() const { return tail_.load() - head_.load(); }
    bool empty() const { return size() == 0; }
    std::size_t space() const { return read_ahead - size(); }

    void push(const TimedPacket& packet) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        slots_[tail % read_ahead] = packet;
        tail_.store(tail + 1);
    }
    const TimedPacket& front() const {
        return slots_[head_.load(std::memory_order_relaxed) % read_ahead];
    }
    void pop() { head_.store(head_.load(std::memory_order_relaxed) + 1); }

  private:
    std::array<TimedPacket, read_ahead> slots_{};
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
};

// One mouse recording being played. The reader thread turns its events into
// packets, a frame at a time; the event loop takes them from the ring.
class Source {
  public:
    Source(const Recording& recording, std::size_t position)
        : stream_(std::in_place, recording),
          assembler_(recording.capabilities()),
          handle_(replay_handle(position)),
          first_us_(recording.first_event_us()) {}

    bool opened() const { return stream_ && stream_->error().empty(); }
    const std::string& open_error() const { return stream_->error(); }
    HANDLE handle() const { return handle_; }

    // Reader thread: reads up to `events` events while the ring has room for a
    // frame's packets and the newest packet is not past `horizon_ns`. Returns
    // whether it made packets or reached the end.
    bool read(int events, std::int64_t horizon_ns) {
        bool progressed = false;
        while (events-- > 0 && ring_.space() >= 2 && newest_ns_ <= horizon_ns && !done()) {
            input_event event;
            if (!stream_->next(event)) {
                close();
                return true;
            }
            RAWMOUSE packets[2];
            const int made = assembler_.feed(event, packets);
            const std::int64_t time_ns = (event_time_us(event) - first_us_) * 1000;
            for (int i = 0; i < made; ++i)
                ring_.push({time_ns, packets[i]});
            if (made > 0) {
                newest_ns_ = time_ns;
                progressed = true;
            }
        }
        ignored_.store(assembler_.ignored(), std::memory_order_relaxed);
        return progressed;
    }
    bool done() const { return done_.load(); }
    // Reader thread: whether read() would make progress now.
    bool wants_reading(std::int64_t horizon_ns) const {
        return !done() && ring_.size() <= read_ahead / 2 && newest_ns_ <= horizon_ns;
    }
    // Why the file stopped early, empty when it was read to its end; valid once done().
    const std::string& error() const { return error_; }

    PacketRing& ring() { return ring_; }
    std::uint64_t ignored() const { return ignored_.load(std::memory_order_relaxed); }

  private:
    void close() {
        error_ = stream_->error();
        assembler_.drop_frame();  // a last frame with no SYN_REPORT counts as ignored
        ignored_.store(assembler_.ignored(), std::memory_order_relaxed);
        stream_.reset();
        done_.store(true);
    }

    std::optional<EventStream> stream_;
    FrameAssembler assembler_;
    HANDLE handle_;
    std::int64_t first_us_;
    std::int64_t newest_ns_ = std::numeric_limits<std::int64_t>::min();  // reader only
    PacketRing ring_;
    std::atomic<bool> done_{false};
    std::atomic<std::uint64_t> ignored_{0};
    std::string error_;
};

}  // namespace

// Plays the mouse recordings: a reader thread parses the files (libevemu's
// line parsing is the costliest part of a packet) a little ahead, and the
// event loop merges and sends their packets: at speed N a packet is due at
// start + t / N; at max speed packets go in chunks, yielding between them.
// The clock runs only while a window of the program is active: it starts at
// the first activation, and a pause moves the start on by its length.
class ReplayProvider::Playback {
  public:
    Playback(const std::vector<Recording>& recordings, double speed, PacketSink& sink, bool active,
             std::chrono::milliseconds notice_delay)
        : speed_(speed), sink_(sink) {
        for (std::size_t position = 0; position < recordings.size(); ++position) {
            const Recording& recording = recordings[position];
            if (classify(recording.capabilities()) != RIM_TYPEMOUSE)
                continue;  // never read
            if (recording.event_count() == 0)
                continue;
            auto source = std::make_unique<Source>(recording, position);
            if (!source->opened()) {
                std::fprintf(stderr, "replay: %s; its mouse sends nothing\n",
                             source->open_error().c_str());
                continue;
            }
            ++files_opened_;
            sources_.push_back(std::move(source));
        }
        for (const auto& source : sources_)
            live_.push_back(source.get());
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { pump(); });
        if (!sources_.empty())
            reader_ = std::thread([this] { read_ahead_of_loop(); });
        if (active) {
            set_active(true);
        } else {
            notice_.setSingleShot(true);
            QObject::connect(&notice_, &QTimer::timeout, [this] {
                if (!ever_active_ && !finished_) {
                    said_waiting_ = true;
                    std::fprintf(stderr,
                                 "replay: waiting for the rawmice window to be active; the "
                                 "recordings play while it is\n");
                }
            });
            notice_.start(static_cast<int>(notice_delay.count()));
        }
    }

    ~Playback() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_.store(true);
        }
        room_.notify_one();
        if (reader_.joinable())
            reader_.join();
    }

    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    std::size_t files_opened() const { return files_opened_; }
    std::uint64_t packets_sent() const { return sent_; }
    bool finished() const { return finished_; }
    bool playing() const { return !paused_ && !finished_; }
    bool said_waiting() const { return said_waiting_; }

    // Runs the clock from where it stopped, or stops it.
    void set_active(bool active) {
        if (active != paused_)
            return;
        const std::int64_t now = monotonic_ns();
        if (active) {
            ever_active_ = true;
            notice_.stop();
            start_ns_ = now - paused_at_ns_;
            paused_ = false;
            // The start first: the reader that sees the clock running sees its start.
            reader_start_ns_.store(start_ns_);
            reader_paused_at_ns_.store(-1);
            arm(0);
        } else {
            paused_at_ns_ = now - start_ns_;
            paused_ = true;
            reader_paused_at_ns_.store(paused_at_ns_);
            timer_.stop();
        }
    }
    std::uint64_t ignored() const {
        std::uint64_t total = 0;
        for (const auto& source : sources_)
            total += source->ignored();
        return total;
    }

  private:
    // The reader thread: fills every ring, then sleeps until one is half empty
    // (paced: until the playback has moved on).
    void read_ahead_of_loop() {
        const bool paced = !std::isinf(speed_);
        while (!stop_.load()) {
            bool progressed = false;
            bool all_done = true;
            const std::int64_t horizon = horizon_ns();
            for (const auto& source : sources_) {
                if (source->done())
                    continue;
                progressed = source->read(events_per_batch, horizon) || progressed;
                all_done = all_done && source->done();
            }
            if (progressed && loop_waiting_.exchange(false)) {
                // The loop found a ring empty and waits for this.
                QMetaObject::invokeMethod(
                    &timer_, [this] { pump(); }, Qt::QueuedConnection);
            }
            if (all_done)
                return;
            if (progressed)
                continue;
            std::unique_lock<std::mutex> lock(mutex_);
            reader_waiting_.store(true);
            const auto wanted = [this] { return stop_.load() || wants_reading(); };
            if (paced) {
                room_.wait_for(lock, paced_reader_tick, wanted);
            } else {
                room_.wait(lock, wanted);
            }
            reader_waiting_.store(false);
        }
    }

    // How far into the recordings the reader may read now, in recorded nanoseconds.
    std::int64_t horizon_ns() const {
        if (std::isinf(speed_))
            return std::numeric_limits<std::int64_t>::max();
        const std::int64_t paused_at = reader_paused_at_ns_.load();
        const std::int64_t played =
            paused_at >= 0 ? paused_at : monotonic_ns() - reader_start_ns_.load();
        const double ahead = static_cast<double>(played + paced_look_ahead_ns) * speed_;
        constexpr double far_future = 4e18;
        return ahead >= far_future ? static_cast<std::int64_t>(far_future)
                                   : static_cast<std::int64_t>(ahead);
    }

    bool wants_reading() const {
        const std::int64_t horizon = horizon_ns();
        for (const auto& source : sources_) {
            if (source->wants_reading(horizon))
                return true;
        }
        return false;
    }

    void pump() {
        if (paused_)
            return;  // set_active(true) pumps again
        const bool as_fast_as_possible = std::isinf(speed_);
        std::int64_t now = monotonic_ns();
        for (int pushed = 0; pushed < packets_per_turn; ++pushed) {
            // Earliest packet first; on equal times the earlier file on the command line.
            Source* next = nullptr;
            for (auto it = live_.begin(); it != live_.end();) {
                Source* source = *it;
                if (source->ring().empty()) {
                    if (!source->done())
                        return wait_for_reader(*source);
                    if (source->ring().empty()) {
                        retire(*source);
                        it = live_.erase(it);
                        continue;
                    }
                }
                if (next == nullptr ||
                    source->ring().front().time_ns < next->ring().front().time_ns)
                    next = source;
                ++it;
            }
            if (next == nullptr)
                return finish();

            const TimedPacket& timed = next->ring().front();
            Packet packet;
            if (as_fast_as_possible) {
                packet.time_ns = monotonic_ns();
            } else {
                const std::int64_t due = due_ns(timed.time_ns);
                if (due > now) {
                    now = monotonic_ns();
                    if (due > now)
                        return arm(due - now);
                }
                packet.time_ns = due;
            }
            packet.device = next->handle();
            packet.mouse = timed.mouse;
            packet.recorded_ns = timed.time_ns;
            next->ring().pop();
            // At max speed the reader sleeps until a ring is half empty; paced, it
            // wakes on its own tick.
            if (as_fast_as_possible && reader_waiting_.load() &&
                next->ring().size() <= read_ahead / 2) {
                std::lock_guard<std::mutex> lock(mutex_);
                room_.notify_one();
            }
            ++sent_;
            sink_.push(packet);
        }
        arm(0);
    }

    // The loop needs `source`'s next packet before it can merge: the reader
    // calls pump again once it has made packets (checked again here, since it
    // may have made them just now).
    void wait_for_reader(Source& source) {
        loop_waiting_.store(true);
        if (!source.ring().empty() || source.done()) {
            loop_waiting_.store(false);
            arm(0);
        }
    }

    void retire(const Source& source) {
        if (!source.error().empty()) {
            std::fprintf(stderr, "replay: %s; the rest of its events are skipped\n",
                         source.error().c_str());
        }
    }

    std::int64_t due_ns(std::int64_t time_ns) const {
        if (speed_ == 1.0)
            return start_ns_ + time_ns;
        const double scaled = static_cast<double>(time_ns) / speed_;
        constexpr double far_future = 4e18;  // keeps start + t within 64 bits
        return start_ns_ + (scaled >= far_future ? static_cast<std::int64_t>(far_future)
                                                 : std::llround(scaled));
    }

    void arm(std::int64_t wait_ns) {
        const std::int64_t ms = (wait_ns + 999'999) / 1'000'000;
        timer_.start(static_cast<int>(std::min<std::int64_t>(ms, INT_MAX)));
    }

    void finish() {
        if (finished_)
            return;
        finished_ = true;
        sink_.source_finished();
    }

    double speed_;
    PacketSink& sink_;
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<Source*> live_;  // still sending, in command-line order
    QTimer timer_;
    QTimer notice_;
    // The clock, on the GUI thread: running from start_ns_, or paused after
    // paused_at_ns_ of playing (before the first activation: 0).
    bool paused_ = true;
    bool ever_active_ = false;
    bool said_waiting_ = false;
    std::int64_t start_ns_ = 0;
    std::int64_t paused_at_ns_ = 0;
    // The same for the reader thread: paused_at is -1 while the clock runs.
    std::atomic<std::int64_t> reader_start_ns_{0};
    std::atomic<std::int64_t> reader_paused_at_ns_{0};
    std::size_t files_opened_ = 0;
    std::uint64_t sent_ = 0;
    bool finished_ = false;

    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::atomic<bool> stop_{false};            // set under mutex_, for the reader's wait
    std::atomic<bool> reader_waiting_{false};  // the reader sleeps until a ring has room
    std::atomic<bool> loop_waiting_{false};    // the loop waits for a ring to fill
};

ReplayProvider::ReplayProvider(std::vector<Recording> recordings, double speed)
    : recordings_(std::move(recordings)), speed_(speed) {
    if (!(speed > 0))
        throw std::invalid_argument("replay speed must be greater than 0");
}

ReplayProvider::~ReplayProvider() = default;

std::vector<Device> ReplayProvider::devices() {
    std::vector<Device> list;
    list.reserve(recordings_.size());
    for (std::size_t position = 0; position < recordings_.size(); ++position) {
        const Recording& recording = recordings_[position];
        list.push_back(Device{replay_handle(position), classify(recording.capabilities()),
                              recording.name(), recording.path()});
    }
    order_for_listing(list);
    return list;
}

DWORD ReplayProvider::start(PacketSink& sink) {
    if (!playback_)
        playback_ = std::make_unique<Playback>(recordings_, speed_, sink, active_, notice_delay_);
    return ERROR_SUCCESS;
}

void ReplayProvider::window_active(bool active) {
    active_ = active;
    if (playback_)
        playback_->set_active(active);
}

bool ReplayProvider::playing() const {
    return playback_ && playback_->playing();
}

bool ReplayProvider::said_waiting() const {
    return playback_ && playback_->said_waiting();
}

std::size_t ReplayProvider::files_opened() const {
    return playback_ ? playback_->files_opened() : 0;
}

std::uint64_t ReplayProvider::packets_sent() const {
    return playback_ ? playback_->packets_sent() : 0;
}

std::uint64_t ReplayProvider::ignored_events() const {
    return playback_ ? playback_->ignored() : 0;
}

bool ReplayProvider::finished() const {
    return playback_ && playback_->finished();
}

HANDLE replay_handle(std::size_t position) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(65537 + position));
}

std::optional<double> parse_replay_speed(std::string_view text) {
    if (text == "max")
        return ReplayProvider::max_speed;
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value) || !(value > 0)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace input
