#include "platform/input/replay.h"

#include <QTimer>

#include <time.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace input {

namespace {

// Work done per turn of the event loop before yielding, so the window stays live.
constexpr int packets_per_turn = 256;
constexpr int events_per_turn = 8192;

std::int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// One mouse recording being played: its events become packets one frame at a
// time, each with the time of the SYN_REPORT that ended its frame.
class Source {
  public:
    Source(const Recording& recording, std::size_t position)
        : stream_(std::in_place, recording),
          handle_(replay_handle(position)),
          first_us_(recording.first_event_us()) {}

    bool opened() const { return stream_ && stream_->error().empty(); }
    const std::string& error() const { return stream_->error(); }

    // Reads until a packet is ready or the file ends, spending at most
    // `budget` events; false when the budget ran out first.
    bool fill(int& budget) {
        while (next_ == count_ && stream_) {
            if (budget <= 0)
                return false;
            --budget;
            input_event event;
            if (!stream_->next(event)) {
                close();
                break;
            }
            const int made = assembler_.feed(event, packets_);
            if (made > 0) {
                count_ = made;
                next_ = 0;
                time_ns_ = (event_time_us(event) - first_us_) * 1000;
            }
        }
        return true;
    }

    bool ready() const { return next_ < count_; }
    std::int64_t time_ns() const { return time_ns_; }
    HANDLE handle() const { return handle_; }
    const RAWMOUSE& current() const { return packets_[next_]; }
    void pop() { ++next_; }
    std::uint64_t ignored() const { return assembler_.ignored(); }

  private:
    void close() {
        if (!stream_->error().empty()) {
            std::fprintf(stderr, "replay: %s; the rest of its events are skipped\n",
                         stream_->error().c_str());
        }
        assembler_.drop_frame();  // a last frame with no SYN_REPORT counts as ignored
        stream_.reset();
    }

    std::optional<EventStream> stream_;
    FrameAssembler assembler_;
    HANDLE handle_;
    std::int64_t first_us_;
    RAWMOUSE packets_[2] = {};
    int count_ = 0;
    int next_ = 0;
    std::int64_t time_ns_ = 0;
};

}  // namespace

// Plays the mouse recordings on the event loop: at speed N a packet is due at
// start + t / N; at max speed packets go in chunks, yielding between them.
class ReplayProvider::Playback {
  public:
    Playback(const std::vector<Recording>& recordings, double speed, PacketSink& sink)
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
                             source->error().c_str());
                continue;
            }
            ++files_opened_;
            sources_.push_back(std::move(source));
        }
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { pump(); });
        start_ns_ = monotonic_ns();
        timer_.start(0);
    }

    std::size_t files_opened() const { return files_opened_; }
    std::uint64_t packets_sent() const { return sent_; }
    bool finished() const { return finished_; }
    std::uint64_t ignored() const {
        std::uint64_t total = 0;
        for (const auto& source : sources_)
            total += source->ignored();
        return total;
    }

  private:
    void pump() {
        int budget = events_per_turn;
        for (const auto& source : sources_) {
            if (!source->fill(budget))
                return arm(0);
        }
        const bool as_fast_as_possible = std::isinf(speed_);
        std::int64_t now = monotonic_ns();
        for (int pushed = 0; pushed < packets_per_turn; ++pushed) {
            // Earliest packet first; on equal times the earlier file on the command line.
            Source* next = nullptr;
            for (const auto& source : sources_) {
                if (source->ready() && (next == nullptr || source->time_ns() < next->time_ns())) {
                    next = source.get();
                }
            }
            if (next == nullptr)
                return finish();

            Packet packet;
            if (as_fast_as_possible) {
                packet.time_ns = monotonic_ns();
            } else {
                const std::int64_t due = due_ns(next->time_ns());
                if (due > now) {
                    now = monotonic_ns();
                    if (due > now)
                        return arm(due - now);
                }
                packet.time_ns = due;
            }
            packet.device = next->handle();
            packet.mouse = next->current();
            next->pop();
            ++sent_;
            sink_.push(packet);
            if (!next->fill(budget))
                return arm(0);
        }
        arm(0);
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
    QTimer timer_;
    std::int64_t start_ns_ = 0;
    std::size_t files_opened_ = 0;
    std::uint64_t sent_ = 0;
    bool finished_ = false;
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
        playback_ = std::make_unique<Playback>(recordings_, speed_, sink);
    return ERROR_SUCCESS;
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
