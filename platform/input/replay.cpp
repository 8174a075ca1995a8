#include "platform/input/replay.h"

#include <QLoggingCategory>
#include <QTimer>

#include <time.h>

#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/input/clock.h"
#include "platform/input/handoff_queue.h"
#include "platform/input/recorder.h"
#include "platform/input/recording_stderr.h"

namespace input {

namespace {

Q_LOGGING_CATEGORY(replay_log, "rawmice.replay", QtInfoMsg)

// The handle of the first replayed device (the first file's first); the others follow.
constexpr std::uintptr_t first_handle = 65537;

// Packets pushed per turn of the event loop before yielding, so the window stays live.
constexpr int packets_per_turn = 256;
// Packets read ahead of the playback: enough to keep the loop fed while the
// reader waits, few enough that memory stays the same whatever the files' length.
// They are handed over in chunks, so the threads meet once per chunk.
constexpr std::size_t read_ahead = 4096;
constexpr std::size_t chunk_size = 256;
// NOTE: the thread itself keeps libevemu's parsing (0.65 s of CPU per million
// packets) off the GUI thread, which handles them in 0.7 s: on it, full speed
// would take both. For make bench's million packets at full speed (load 4 to
// 6), chunks of one packet cost 0.1 s more CPU (2.0 s) than chunks of 16 to
// 1024, which measure alike (1.9 s); so do turns of 64 to 1024 packets and
// read-ahead of 1024 to 16384 packets (16384 adds 0.8 MB). The values are the
// middle of those flat ranges.
// One mouse recording being played, read on the reader thread: its events
// become packets a frame at a time, and its next packet waits here until the
// merge takes it.
}  // namespace

class ReplayProvider::Source {
  public:
    Source(const Recording& recording, std::size_t position)
        : stream_(std::in_place, recording),
          assembler_(recording.capabilities()),
          path_(recording.path()),
          handle_(device_handle(first_handle + position)),
          first_us_(recording.first_event_us()) {}

    bool opened() const { return stream_ && stream_->error().empty(); }
    const std::string& open_error() const { return stream_->error(); }
    HANDLE handle() const { return handle_; }

    // Reads until a packet waits; false once the recording has ended.
    bool fill() {
        while (next_ == count_) {
            if (!stream_)
                return false;
            input_event event;
            if (!stream_->next(event)) {
                close();
                return false;
            }
            const std::int64_t us = event_time_us(event) - first_us_;
            if (recorder_ != nullptr) {
                // Rebased on the run's start, as every recording of the run is.
                input_event rebased = event;
                rebased.input_event_sec = (recorder_->start_us() + us) / 1'000'000;
                rebased.input_event_usec = (recorder_->start_us() + us) % 1'000'000;
                recorder_->write(recording_, rebased);
            }
            next_ = 0;
            count_ = assembler_.feed(event, packets_);
            time_ns_ = us * 1000;
            if (event.type == EV_SYN && event.code == SYN_DROPPED) {
                dropped_us_ = us;
            } else if (count_ > 0) {
                // What a reader made of the device's state after an overflow,
                // recorded as a frame stamped with it, is not a report of its own.
                resync_ = dropped_us_ == us;
                dropped_us_ = -1;
            }
        }
        return true;
    }
    std::int64_t time_ns() const { return time_ns_; }
    const RAWMOUSE& front() const { return packets_[next_]; }
    // The packet in front is not a report of its own: its frame's second, or a resync's.
    bool front_same_report() const { return next_ > 0 || resync_; }

    // Writes every event read from now on into `recorder` as recording `id`.
    void record_into(Recorder* recorder, Recorder::Id id) {
        recorder_ = recorder;
        recording_ = id;
    }
    void pop() { ++next_; }

    // Why the file stopped early, empty when it was read to its end; valid once ended.
    const std::string& error() const { return error_; }

  private:
    void close() {
        error_ = stream_->error();
        assembler_.drop_frame();  // a last frame with no SYN_REPORT counts as ignored
        stream_.reset();
        qCDebug(replay_log, "replay: %s: %llu events made no packet", path_.c_str(),
                static_cast<unsigned long long>(assembler_.ignored()));
    }

    std::optional<EventStream> stream_;
    FrameAssembler assembler_;
    std::string path_;
    HANDLE handle_;
    std::int64_t first_us_;
    RAWMOUSE packets_[2]{};
    int count_ = 0;
    int next_ = 0;
    std::int64_t time_ns_ = 0;
    std::int64_t dropped_us_ = -1;  // the time of the last SYN_DROPPED, until a frame follows
    bool resync_ = false;
    std::string error_;
    Recorder* recorder_ = nullptr;
    Recorder::Id recording_ = 0;
};

ReplayProvider::ReplayProvider(std::vector<Recording> recordings, double speed)
    : recordings_(std::move(recordings)), speed_(speed), queue_(read_ahead / chunk_size) {
    if (!(speed > 0))
        throw std::invalid_argument("replay speed must be greater than 0");
}

ReplayProvider::~ReplayProvider() {
    queue_.close();  // the reader stops at its next hand-over, or wakes to it
    if (reader_.joinable())
        reader_.join();
}

std::vector<Device> ReplayProvider::devices() {
    std::vector<Device> list;
    list.reserve(recordings_.size());
    for (std::size_t position = 0; position < recordings_.size(); ++position) {
        const Recording& recording = recordings_[position];
        list.push_back(Device{device_handle(first_handle + position),
                              classify(recording.capabilities()), recording.name(),
                              recording.path()});
    }
    order_for_listing(list);
    return list;
}

// Plays the mouse recordings: a reader thread parses the files (libevemu's
// line parsing is the costliest part of a packet) and merges their packets by
// time, at most read_ahead packets ahead of the event loop, which sends them:
// at speed N a packet is due at start + t / N; at max speed packets go in
// chunks, yielding between them. The clock runs only while a window of the
// program is active: it starts at the first activation, and a pause moves the
// start on by its length.
DWORD ReplayProvider::start(PacketSink& sink) {
    if (sink_ != nullptr)
        return ERROR_SUCCESS;
    sink_ = &sink;
    // Every mouse is recorded, those that send nothing too, so that replaying
    // the files numbers the mice as this run did.
    std::vector<std::optional<Recorder::Id>> ids(recordings_.size());
    if (recorder_) {
        const std::vector<Device> listing = devices();
        for (std::size_t index = 0; index < listing.size(); ++index) {
            const Device& device = listing[index];
            if (device.type != RIM_TYPEMOUSE)
                continue;
            const auto position = reinterpret_cast<std::uintptr_t>(device.handle) - first_handle;
            // libevemu reads the description again, and would warn again of what
            // loading said in its own words already.
            const Description description = [&] {
                const StderrCapture libevemu_said;
                return describe_recording(recordings_[position]);
            }();
            if (!description) {
                std::fprintf(stderr, "replay: cannot record %s: libevemu cannot read it again\n",
                             device.path.c_str());
                continue;
            }
            ids[position] =
                recorder_->add(static_cast<int>(index), device.handle, device.name, *description);
        }
    }
    for (std::size_t position = 0; position < recordings_.size(); ++position) {
        const Recording& recording = recordings_[position];
        if (classify(recording.capabilities()) != RIM_TYPEMOUSE || recording.event_count() == 0)
            continue;  // never read
        auto source = std::make_unique<Source>(recording, position);
        if (!source->opened()) {
            std::fprintf(stderr, "replay: %s; its mouse sends nothing\n",
                         source->open_error().c_str());
            continue;
        }
        if (ids[position])
            source->record_into(recorder_.get(), *ids[position]);
        sources_.push_back(std::move(source));
    }
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { pump(); });
    if (!sources_.empty())
        reader_ = std::thread([this] { read_ahead_of_loop(); });
    if (active_) {
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
        notice_.start(static_cast<int>(notice_delay_.count()));
    }
    return ERROR_SUCCESS;
}

bool ReplayProvider::record_into(std::shared_ptr<Recorder> recorder) {
    recorder_ = std::move(recorder);
    return true;
}

void ReplayProvider::window_active(bool active) {
    active_ = active;
    if (sink_ != nullptr)
        set_active(active);
}

void ReplayProvider::set_active(bool active) {
    if (active != paused_)
        return;
    const std::int64_t now = monotonic_ns();
    if (active) {
        ever_active_ = true;
        notice_.stop();
        start_ns_ = now - paused_at_ns_;
        paused_ = false;
        arm(0);
    } else {
        paused_at_ns_ = now - start_ns_;
        paused_ = true;
        timer_.stop();
    }
}

// The reader thread: merges the recordings' packets by time (equal times:
// the earlier file on the command line) into chunks for the queue, which
// holds it back while full.
void ReplayProvider::read_ahead_of_loop() {
    std::vector<std::uint32_t> live(sources_.size());
    for (std::uint32_t i = 0; i < live.size(); ++i)
        live[i] = i;
    std::vector<Item> chunk;
    while (!live.empty()) {
        Source* next = nullptr;
        std::uint32_t next_index = 0;
        for (auto it = live.begin(); it != live.end();) {
            Source& source = *sources_[*it];
            if (!source.fill()) {
                chunk.push_back({0, {}, *it, true, false});
                it = live.erase(it);
                continue;
            }
            if (next == nullptr || source.time_ns() < next->time_ns()) {
                next = &source;
                next_index = *it;
            }
            ++it;
        }
        if (next == nullptr)
            break;
        chunk.push_back(
            {next->time_ns(), next->front(), next_index, false, next->front_same_report()});
        next->pop();
        if (chunk.size() >= chunk_size && !hand_over(chunk))
            return;
    }
    hand_over(chunk);
}

// Queues the chunk (when it holds anything) for the loop, and wakes the
// loop when the queue was empty: it has taken everything and waits for
// this. False once stopped.
bool ReplayProvider::hand_over(std::vector<Item>& chunk) {
    if (chunk.empty())
        return true;
    const auto pushed = queue_.push(std::move(chunk));
    chunk = {};
    chunk.reserve(chunk_size);
    if (pushed == Queue::Pushed::first) {
        QMetaObject::invokeMethod(
            &timer_, [this] { pump(); }, Qt::QueuedConnection);
    }
    return pushed != Queue::Pushed::closed;
}

// The loop's next item, taking more from the queue when it has sent all it
// took; null when the reader has queued nothing more yet.
const ReplayProvider::Item* ReplayProvider::next_item() {
    while (chunk_ < taken_.size() && next_ == taken_[chunk_].size()) {
        ++chunk_;
        next_ = 0;
    }
    if (chunk_ == taken_.size()) {
        chunk_ = 0;
        next_ = 0;
        if (queue_.take_all(taken_) == 0)
            return nullptr;
    }
    return &taken_[chunk_][next_];
}

void ReplayProvider::pump() {
    if (paused_ || finished_)
        return;  // set_active(true) pumps again
    const bool as_fast_as_possible = std::isinf(speed_);
    std::int64_t now = monotonic_ns();
    if (sources_.empty())
        return finish();
    for (int pushed = 0; pushed < packets_per_turn;) {
        const Item* next = next_item();
        if (next == nullptr)
            return;  // the reader calls pump again once it has queued more
        const Item& item = *next;
        const Source& source = *sources_[item.source];
        if (item.ended) {
            ++next_;
            if (!source.error().empty()) {
                std::fprintf(stderr, "replay: %s; the rest of its events are skipped\n",
                             source.error().c_str());
            }
            if (++ended_ == sources_.size())
                return finish();
            continue;
        }
        Packet packet;
        if (as_fast_as_possible) {
            packet.time_ns = monotonic_ns();
        } else {
            const std::int64_t due = due_ns(item.time_ns);
            if (due > now) {
                now = monotonic_ns();
                if (due > now)
                    return arm(due - now);
            }
            packet.time_ns = due;
        }
        packet.device = source.handle();
        packet.mouse = item.mouse;
        packet.own_stamp_ns = item.time_ns;
        packet.same_report = item.same_report;
        ++next_;
        ++pushed;
        sink_->push(packet);
    }
    arm(0);
}

std::int64_t ReplayProvider::due_ns(std::int64_t time_ns) const {
    if (speed_ == 1.0)
        return start_ns_ + time_ns;
    const double scaled = static_cast<double>(time_ns) / speed_;
    constexpr double far_future = 4e18;  // keeps start + t within 64 bits
    return start_ns_ +
           (scaled >= far_future ? static_cast<std::int64_t>(far_future) : std::llround(scaled));
}

void ReplayProvider::arm(std::int64_t wait_ns) {
    const std::int64_t ms = (wait_ns + 999'999) / 1'000'000;
    timer_.start(static_cast<int>(std::min<std::int64_t>(ms, INT_MAX)));
}

void ReplayProvider::finish() {
    if (finished_)
        return;
    finished_ = true;
    sink_->source_finished();
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
