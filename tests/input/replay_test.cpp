// The replay provider on the event loop: listing, merging by time, pacing,
// full speed, and the packets of the public mouse recordings.
#include <gtest/gtest.h>
#include <time.h>

#include <QLoggingCategory>
#include <QTimer>

#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/input/clock.h"
#include "platform/input/replay.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"

namespace {

using input::Packet;
using input::Recording;
using input::ReplayProvider;
using testsupport::description;
using testsupport::event_text;
using testsupport::TempDir;

std::int64_t now_ns() {
    return input::monotonic_ns();
}

class CollectingSink : public input::PacketSink {
  public:
    void push(const Packet& packet) override {
        pushed_at.push_back(now_ns());
        packets.push_back(packet);
        if (finished > 0)
            pushed_after_finish = true;
    }
    void source_finished() override { ++finished; }

    std::vector<Packet> packets;
    std::vector<std::int64_t> pushed_at;
    int finished = 0;
    bool pushed_after_finish = false;
};

const std::string mouse_desc =
    description("Mouse", {REL_X, REL_Y, REL_WHEEL}, {{BTN_LEFT, BTN_TASK}});
const std::string keyboard_desc = description("Keyboard", {}, {{KEY_ESC, KEY_KPDOT}});
const std::string touchpad_desc = description("Touchpad", {}, {{BTN_LEFT, BTN_LEFT}});

// A frame of motion: REL_X `x` at `us`, ended by a SYN_REPORT at `syn_us`.
std::string motion(std::int64_t us, int x, std::int64_t syn_us = -1) {
    return event_text(us, EV_REL, REL_X, x) +
           event_text(syn_us < 0 ? us : syn_us, EV_SYN, SYN_REPORT, 0);
}

Recording load(const TempDir& dir, const std::string& name, const std::string& text) {
    const auto path = dir / name;
    testsupport::write_file(path, text);
    input::LoadResult result = Recording::load(path.string());
    if (!result)
        throw std::runtime_error(result.error.to_string());
    return std::move(*result.recording);
}

// `frames` frames of motion 100 us apart from 1 s, frame i moving by i % cycle + 1.
Recording many_frames(const TempDir& dir, int frames, int cycle) {
    std::string text = mouse_desc;
    for (int i = 0; i < frames; ++i)
        text += motion(1'000000 + i * 100, (i % cycle) + 1);
    return load(dir, "many.evemu", text);
}

// A full-speed replay of many_frames(frames, cycle), started on its sink.
struct FullSpeedReplay {
    FullSpeedReplay(int frames, int cycle)
        : frames(frames),
          cycle(cycle),
          provider({many_frames(dir, frames, cycle)}, ReplayProvider::max_speed) {
        EXPECT_EQ(provider.start(sink), ERROR_SUCCESS);
    }
    // Whether every frame made its packet, in order.
    ::testing::AssertionResult all_delivered() const {
        if (sink.packets.size() != static_cast<std::size_t>(frames))
            return ::testing::AssertionFailure() << sink.packets.size() << " packets";
        for (int i = 0; i < frames; ++i) {
            if (sink.packets[i].mouse.lLastX != (i % cycle) + 1)
                return ::testing::AssertionFailure() << "packet " << i << " moved wrong";
        }
        return ::testing::AssertionSuccess();
    }

    const int frames;
    const int cycle;
    TempDir dir;
    CollectingSink sink;
    ReplayProvider provider;
};

// Plays to the end on the event loop, its window active throughout; false if
// it did not finish in time.
bool play(ReplayProvider& provider, CollectingSink& sink) {
    EXPECT_EQ(provider.start(sink), ERROR_SUCCESS);
    provider.window_active(true);
    return testsupport::wait_until([&] { return sink.finished > 0; }, std::chrono::seconds(60));
}

std::vector<int> xs(const CollectingSink& sink) {
    std::vector<int> values;
    for (const Packet& packet : sink.packets)
        values.push_back(packet.mouse.lLastX);
    return values;
}

HANDLE handle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// The replay's debug lines (category rawmice.replay) while it lives. They come
// from the reader thread.
class DebugLog {
  public:
    DebugLog() {
        {
            std::lock_guard lock(mutex_);
            lines_.clear();
        }
        QLoggingCategory::setFilterRules("rawmice.replay.debug=true");
        previous_ = qInstallMessageHandler(&DebugLog::keep);
    }
    ~DebugLog() {
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules("");
    }
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The events that made no packet, over every recording said so far.
    std::uint64_t ignored() const {
        std::uint64_t total = 0;
        for (const std::string& line : lines()) {
            const auto end = line.rfind(" events made no packet");
            const auto start = line.rfind(": ", end);
            if (end != std::string::npos && start != std::string::npos)
                total += std::stoull(line.substr(start + 2, end - start - 2));
        }
        return total;
    }

  private:
    static void keep(QtMsgType, const QMessageLogContext& context, const QString& message) {
        if (context.category == nullptr || std::string(context.category) != "rawmice.replay")
            return;
        std::lock_guard lock(mutex_);
        lines_.push_back(message.toStdString());
    }

    static inline std::mutex mutex_;
    static inline std::vector<std::string> lines_;
    QtMessageHandler previous_ = nullptr;
};

TEST(ReplayDevices, MiceFirstThenKeyboardsThenOthersWithHandlesFromTheirPosition) {
    TempDir dir;
    std::vector<Recording> recordings;
    recordings.push_back(load(dir, "kbd.evemu", keyboard_desc));
    recordings.push_back(load(dir, "a.evemu", mouse_desc + motion(1000, 1)));
    recordings.push_back(load(dir, "pad.evemu", touchpad_desc));
    recordings.push_back(load(dir, "b.evemu", mouse_desc));
    ReplayProvider provider(std::move(recordings), 1.0);
    EXPECT_STREQ(provider.name(), "replay");
    const std::vector<input::Device> devices = provider.devices();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].handle, handle(65538));
    EXPECT_EQ(devices[0].type, RIM_TYPEMOUSE);
    EXPECT_EQ(devices[0].name, "Mouse");
    EXPECT_EQ(devices[0].path, (dir / "a.evemu").string());
    EXPECT_EQ(devices[1].handle, handle(65540));
    EXPECT_EQ(devices[1].type, RIM_TYPEMOUSE);
    EXPECT_EQ(devices[2].handle, handle(65537));
    EXPECT_EQ(devices[2].type, RIM_TYPEKEYBOARD);
    EXPECT_EQ(devices[2].name, "Keyboard");
    EXPECT_EQ(devices[3].handle, handle(65539));
    EXPECT_EQ(devices[3].type, RIM_TYPEHID);
}

TEST(ReplayMerge, PacketsComeInTimeOrderAcrossFilesCountedFromEachFilesFirstEvent) {
    TempDir dir;
    // First file starts at 1000 s, second at 5 s: only times within a file count.
    const std::string first =
        mouse_desc + motion(1000'000000, 1) + motion(1000'010000, 2) + motion(1000'020000, 3);
    // The second file's first event makes no packet; a frame counts at its SYN_REPORT.
    const std::string second = mouse_desc + event_text(5'000000, EV_MSC, MSC_SCAN, 1) +
                               event_text(5'000000, EV_SYN, SYN_REPORT, 0) +
                               motion(5'004000, 11, 5'005000) + motion(5'010000, 12) +
                               motion(5'030000, 13);
    const Recording a = load(dir, "a.evemu", first);
    const Recording b = load(dir, "b.evemu", second);

    CollectingSink sink;
    ReplayProvider provider({a, b}, ReplayProvider::max_speed);
    ASSERT_TRUE(play(provider, sink));
    EXPECT_EQ(xs(sink), (std::vector<int>{1, 11, 2, 12, 3, 13}));
    EXPECT_EQ(sink.packets[0].device, handle(65537));
    EXPECT_EQ(sink.packets[1].device, handle(65538));

    // Equal times go in command-line order.
    CollectingSink swapped;
    ReplayProvider reversed({b, a}, ReplayProvider::max_speed);
    ASSERT_TRUE(play(reversed, swapped));
    EXPECT_EQ(xs(swapped), (std::vector<int>{1, 11, 12, 2, 3, 13}));
    EXPECT_EQ(swapped.packets[0].device, handle(65538));
}

TEST(ReplayPace, PacketsAreDueAtStartPlusTimeOverSpeedAndNeverEarly) {
    TempDir dir;
    std::string text = mouse_desc;
    const std::vector<std::int64_t> times_us = {0, 1000, 250000, 250001, 1500000, 2999999};
    for (std::size_t i = 0; i < times_us.size(); ++i) {
        text += motion(7'000000 + times_us[i], static_cast<int>(i) + 1);
    }
    const Recording recording = load(dir, "paced.evemu", text);

    for (const double speed : {1000.0, 250.0}) {
        CollectingSink sink;
        ReplayProvider provider({recording}, speed);
        const std::int64_t before = now_ns();
        ASSERT_TRUE(play(provider, sink));
        ASSERT_EQ(sink.packets.size(), times_us.size());
        const std::int64_t start = sink.packets[0].time_ns;
        EXPECT_GE(start, before);
        for (std::size_t i = 0; i < times_us.size(); ++i) {
            const auto due = start + std::llround(static_cast<double>(times_us[i]) * 1000 / speed);
            EXPECT_EQ(sink.packets[i].time_ns, due) << "packet " << i << " at speed " << speed;
            EXPECT_GE(sink.pushed_at[i], sink.packets[i].time_ns) << "packet " << i << " early";
        }
    }
}

TEST(ReplayPace, RecordedSpeedKeepsTheRecordedGaps) {
    TempDir dir;
    const Recording recording =
        load(dir, "slow.evemu", mouse_desc + motion(3'000000, 1) + motion(3'020000, 2));
    CollectingSink sink;
    ReplayProvider provider({recording}, 1.0);
    ASSERT_TRUE(play(provider, sink));
    ASSERT_EQ(sink.packets.size(), 2u);
    EXPECT_EQ(sink.packets[1].time_ns - sink.packets[0].time_ns, 20'000'000);
    EXPECT_GE(sink.pushed_at[1], sink.packets[1].time_ns);
}

TEST(ReplayMaxSpeed, DeliversEverythingInChunksThenFinishesOnce) {
    constexpr int frames = 20000;
    FullSpeedReplay replay(frames, 5);
    CollectingSink& sink = replay.sink;
    ReplayProvider& provider = replay.provider;
    provider.window_active(true);
    // The loop keeps turning while the replay runs: a zero timer set now runs
    // long before the last packet.
    std::size_t seen_by_other_work = frames;
    QTimer::singleShot(0, [&] { seen_by_other_work = sink.packets.size(); });
    ASSERT_TRUE(testsupport::wait_until([&] { return sink.finished > 0; }));
    EXPECT_LT(seen_by_other_work, static_cast<std::size_t>(frames));

    ASSERT_TRUE(replay.all_delivered());
    for (int i = 0; i < frames; ++i) {
        ASSERT_GE(sink.pushed_at[i], sink.packets[i].time_ns);
        if (i > 0) {
            ASSERT_GE(sink.packets[i].time_ns, sink.packets[i - 1].time_ns);
        }
    }
    // Let the loop run on: nothing more comes and the end is not announced twice.
    testsupport::wait_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(sink.finished, 1);
    EXPECT_FALSE(sink.pushed_after_finish);
}

// Runs the event loop for `time` (to see that nothing happens meanwhile).
void run_loop_for(std::chrono::milliseconds time) {
    testsupport::wait_until([] { return false; }, time);
}

TEST(ReplayClock, NothingPlaysBeforeAWindowIsActiveAndTheClockStartsThen) {
    TempDir dir;
    const Recording recording =
        load(dir, "m.evemu", mouse_desc + motion(3'000000, 1) + motion(3'020000, 2));
    for (const double speed : {1.0, ReplayProvider::max_speed}) {
        CollectingSink sink;
        ReplayProvider provider({recording}, speed);
        ASSERT_EQ(provider.start(sink), ERROR_SUCCESS);
        run_loop_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(sink.packets.empty()) << "played at speed " << speed << " with no window";
        EXPECT_FALSE(provider.playing());

        const std::int64_t activated = now_ns();
        provider.window_active(true);
        ASSERT_TRUE(testsupport::wait_until([&] { return sink.finished > 0; }));
        ASSERT_EQ(xs(sink), (std::vector<int>{1, 2}));
        EXPECT_GE(sink.packets[0].time_ns, activated);
        if (speed == 1.0) {
            EXPECT_LT(sink.packets[0].time_ns, activated + 20'000'000)
                << "the clock did not start at the activation";
            EXPECT_EQ(sink.packets[1].time_ns - sink.packets[0].time_ns, 20'000'000);
        }
    }
}

TEST(ReplayClock, APauseHoldsTheClockAndTheRecordedSpacingResumesAfterIt) {
    TempDir dir;
    constexpr std::int64_t gap_ns = 500'000'000;
    const Recording recording =
        load(dir, "m.evemu",
             mouse_desc + motion(2'000000, 1) + motion(2'500000, 2) + motion(3'000000, 3));
    CollectingSink sink;
    ReplayProvider provider({recording}, 1.0);
    ASSERT_EQ(provider.start(sink), ERROR_SUCCESS);
    provider.window_active(true);
    ASSERT_TRUE(testsupport::wait_until([&] { return !sink.packets.empty(); }));
    const std::int64_t before_pause = now_ns();
    provider.window_active(false);
    const std::int64_t after_pause = now_ns();
    ASSERT_EQ(sink.packets.size(), 1u) << "the test was too slow to pause between packets";
    EXPECT_FALSE(provider.playing());

    // Longer than the gap: had the clock run on, the second packet would be out.
    run_loop_for(std::chrono::milliseconds(700));
    EXPECT_EQ(sink.packets.size(), 1u) << "a packet came while no window was active";

    const std::int64_t before_resume = now_ns();
    provider.window_active(true);
    const std::int64_t after_resume = now_ns();
    EXPECT_TRUE(provider.playing());
    ASSERT_TRUE(testsupport::wait_until([&] { return sink.finished > 0; }));
    ASSERT_EQ(xs(sink), (std::vector<int>{1, 2, 3}));
    // The pause adds its own length once; the recorded spacing holds around it.
    const std::int64_t second_gap = sink.packets[1].time_ns - sink.packets[0].time_ns;
    EXPECT_GE(second_gap, gap_ns + (before_resume - after_pause));
    EXPECT_LE(second_gap, gap_ns + (after_resume - before_pause));
    EXPECT_EQ(sink.packets[2].time_ns - sink.packets[1].time_ns, gap_ns);
    for (std::size_t i = 0; i < sink.packets.size(); ++i)
        EXPECT_GE(sink.pushed_at[i], sink.packets[i].time_ns) << "packet " << i << " early";
}

TEST(ReplayClock, AtFullSpeedAPauseStopsThePacketsAndLosesNone) {
    FullSpeedReplay replay(50000, 7);
    CollectingSink& sink = replay.sink;
    ReplayProvider& provider = replay.provider;
    int pauses = 0;
    // Toggled from the loop while it plays: every few hundred packets a pause.
    while (sink.finished == 0) {
        provider.window_active(true);
        const std::size_t resumed_at = sink.packets.size();
        ASSERT_TRUE(testsupport::wait_until(
            [&] { return sink.finished > 0 || sink.packets.size() > resumed_at + 300; }));
        provider.window_active(false);
        const std::size_t paused_at = sink.packets.size();
        run_loop_for(std::chrono::milliseconds(20));
        ASSERT_EQ(sink.packets.size(), paused_at) << "packets came while paused";
        ++pauses;
    }
    EXPECT_GT(pauses, 3);
    EXPECT_TRUE(replay.all_delivered());
    EXPECT_EQ(sink.finished, 1);
}

TEST(ReplayClock, SaysOnceWhenNoWindowBecomesActiveInTime) {
    TempDir dir;
    const Recording recording = load(dir, "m.evemu", mouse_desc + motion(3'000000, 1));
    const std::string notice = "replay: waiting for the rawmice window to be active";
    {
        CollectingSink sink;
        ReplayProvider provider({recording}, 1.0);
        provider.set_wait_notice_delay(std::chrono::milliseconds(50));
        testing::internal::CaptureStderr();
        ASSERT_EQ(provider.start(sink), ERROR_SUCCESS);
        const bool said = testsupport::wait_until([&] { return provider.said_waiting(); });
        // Waiting on: it is not said again.
        run_loop_for(std::chrono::milliseconds(200));
        provider.window_active(true);
        const bool played = testsupport::wait_until([&] { return sink.finished > 0; });
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(said);
        ASSERT_TRUE(played);
        const auto first = err.find(notice);
        EXPECT_NE(first, std::string::npos) << err;
        EXPECT_EQ(err.find(notice, first + 1), std::string::npos) << "said twice: " << err;
    }
    {
        // Active in time: nothing to say.
        CollectingSink sink;
        ReplayProvider provider({recording}, 1.0);
        provider.set_wait_notice_delay(std::chrono::milliseconds(200));
        testing::internal::CaptureStderr();
        ASSERT_EQ(provider.start(sink), ERROR_SUCCESS);
        provider.window_active(true);
        const bool played = testsupport::wait_until([&] { return sink.finished > 0; });
        run_loop_for(std::chrono::milliseconds(400));
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(played);
        EXPECT_FALSE(provider.said_waiting());
        EXPECT_EQ(err.find(notice), std::string::npos) << err;
    }
}

TEST(ReplayContent, ARecordingWithNoEventsIsListedAndSendsNothing) {
    TempDir dir;
    CollectingSink sink;
    ReplayProvider provider({load(dir, "quiet.evemu", mouse_desc)}, ReplayProvider::max_speed);
    ASSERT_EQ(provider.devices().size(), 1u);
    // Were it opened again for its events, it would say it cannot be.
    std::filesystem::remove(dir / "quiet.evemu");
    testing::internal::CaptureStderr();
    const bool played = play(provider, sink);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(played);
    EXPECT_TRUE(sink.packets.empty());
}

TEST(ReplayContent, KeyboardsAndOtherDevicesAreNeverRead) {
    TempDir dir;
    const std::string keys =
        event_text(1'000000, EV_KEY, KEY_A, 1) + event_text(1'000000, EV_SYN, SYN_REPORT, 0);
    std::vector<Recording> recordings;
    recordings.push_back(load(dir, "kbd.evemu", keyboard_desc + keys));
    recordings.push_back(load(dir, "pad.evemu",
                              touchpad_desc + event_text(1'000000, EV_KEY, BTN_LEFT, 1) +
                                  event_text(1'000000, EV_SYN, SYN_REPORT, 0)));
    recordings.push_back(load(dir, "mouse.evemu", mouse_desc + motion(1'000000, 4)));
    // Were they read, these files could no longer be opened.
    std::filesystem::remove(dir / "kbd.evemu");
    std::filesystem::remove(dir / "pad.evemu");

    CollectingSink sink;
    ReplayProvider provider(std::move(recordings), ReplayProvider::max_speed);
    testing::internal::CaptureStderr();
    const bool played = play(provider, sink);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(played);
    ASSERT_EQ(sink.packets.size(), 1u);
    EXPECT_EQ(sink.packets[0].device, handle(65539));
    EXPECT_EQ(sink.packets[0].mouse.lLastX, 4);
}

TEST(ReplayContent, KeysOfAMouseMakeNoPacketAndAreCounted) {
    TempDir dir;
    const std::string text = mouse_desc + event_text(1'000000, EV_MSC, MSC_SCAN, 7) +
                             event_text(1'000000, EV_KEY, BTN_TASK, 1) +
                             event_text(1'000000, EV_SYN, SYN_REPORT, 0) + motion(1'001000, 9) +
                             event_text(1'002000, EV_REL, REL_X, 5);  // frame never ended
    CollectingSink sink;
    ReplayProvider provider({load(dir, "m.evemu", text)}, ReplayProvider::max_speed);
    const DebugLog log;
    ASSERT_TRUE(play(provider, sink));
    EXPECT_EQ(xs(sink), std::vector<int>{9});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"replay: " + (dir / "m.evemu").string() +
                                                    ": 3 events made no packet"});
}

// What the packets of a recording must add up to, worked out from its event
// lines alone.
struct Expected {
    std::uint64_t packets = 0;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t wheel = 0;
    std::map<USHORT, int> flags;  // button flag -> times seen
    std::uint64_t keys = 0;       // key events that are not mouse buttons
};

Expected expected_from_lines(const std::vector<testsupport::EventLine>& lines) {
    Expected expected;
    bool motion = false, vwheel = false, hwheel = false, button = false;
    std::int64_t x = 0, y = 0, wheel = 0;
    std::map<USHORT, int> flags;
    static const std::map<unsigned, std::pair<USHORT, USHORT>> buttons = {
        {BTN_LEFT, {0x0001, 0x0002}},
        {BTN_RIGHT, {0x0004, 0x0008}},
        {BTN_MIDDLE, {0x0010, 0x0020}},
        {BTN_SIDE, {0x0040, 0x0080}},
        {BTN_EXTRA, {0x0100, 0x0200}}};
    for (const auto& line : lines) {
        if (line.type == EV_SYN && line.code == SYN_REPORT) {
            if (motion || vwheel || hwheel || button) {
                expected.packets += (vwheel && hwheel) ? 2 : 1;
                expected.x += x;
                expected.y += y;
                expected.wheel += wheel;
                for (const auto& [flag, count] : flags)
                    expected.flags[flag] += count;
            }
            motion = vwheel = hwheel = button = false;
            x = y = wheel = 0;
            flags.clear();
        } else if (line.type == EV_REL) {
            if (line.code == REL_X)
                x += line.value, motion = true;
            if (line.code == REL_Y)
                y += line.value, motion = true;
            if (line.code == REL_WHEEL)
                wheel += line.value * 120, vwheel = true;
            if (line.code == REL_HWHEEL)
                hwheel = true;
        } else if (line.type == EV_KEY) {
            const auto found = buttons.find(line.code);
            if (found == buttons.end()) {
                ++expected.keys;
            } else if (line.value == 0 || line.value == 1) {
                ++flags[line.value == 1 ? found->second.first : found->second.second];
                button = true;
            }
        }
    }
    return expected;
}

TEST(ReplayRealRecordings, EveryMouseRecordingGivesThePacketsItsLinesSay) {
    TempDir scratch;
    int mice_with_packets = 0;
    for (const std::string folder : {"mice", "trackpoints", "keyboards"}) {
        for (const auto& file : testsupport::files_in(folder)) {
            if (!testsupport::has_description(file) && testsupport::description_for(file).empty()) {
                continue;
            }
            const auto path = testsupport::whole_recording(file, scratch.path());
            input::LoadResult loaded = Recording::load(path.string());
            ASSERT_TRUE(loaded) << loaded.error.to_string();
            if (input::classify(loaded.recording->capabilities()) != RIM_TYPEMOUSE)
                continue;

            const Expected expected = expected_from_lines(testsupport::event_lines(path));
            CollectingSink sink;
            ReplayProvider provider({*loaded.recording}, ReplayProvider::max_speed);
            const DebugLog log;
            ASSERT_TRUE(play(provider, sink)) << file;
            Expected got;
            got.packets = sink.packets.size();
            for (const Packet& packet : sink.packets) {
                EXPECT_EQ(packet.device, handle(65537));
                got.x += packet.mouse.lLastX;
                got.y += packet.mouse.lLastY;
                if (packet.mouse.usButtonFlags & RI_MOUSE_WHEEL) {
                    got.wheel += static_cast<std::int16_t>(packet.mouse.usButtonData);
                }
                for (USHORT flag = 1; flag <= 0x0200; flag <<= 1) {
                    if (packet.mouse.usButtonFlags & flag)
                        ++got.flags[flag];
                }
            }
            EXPECT_EQ(got.packets, expected.packets) << file;
            EXPECT_EQ(got.x, expected.x) << file;
            EXPECT_EQ(got.y, expected.y) << file;
            EXPECT_EQ(got.wheel, expected.wheel) << file;
            EXPECT_EQ(got.flags, expected.flags) << file;
            EXPECT_GE(log.ignored(), expected.keys) << file;
            if (got.packets > 0)
                ++mice_with_packets;
        }
    }
    EXPECT_GE(mice_with_packets, 5);
}

TEST(ReplayRealRecordings, KeyEventsOfMiceWithKeysNeverMakePackets) {
    const auto k400 = testsupport::evemu_devices() / "keyboards" / "Logitech K400 Plus.events";
    const auto ultrathin = testsupport::evemu_devices() / "mice" / "Ultrathin Touch Mouse.events";
    for (const auto& file : {k400, ultrathin}) {
        input::LoadResult loaded = Recording::load(file.string());
        ASSERT_TRUE(loaded) << loaded.error.to_string();
        ASSERT_EQ(input::classify(loaded.recording->capabilities()), RIM_TYPEMOUSE) << file;
        const Expected expected = expected_from_lines(testsupport::event_lines(file));
        CollectingSink sink;
        ReplayProvider provider({*loaded.recording}, ReplayProvider::max_speed);
        const DebugLog log;
        ASSERT_TRUE(play(provider, sink));
        EXPECT_EQ(sink.packets.size(), expected.packets) << file;
        EXPECT_GE(log.ignored(), expected.keys) << file;
        for (const Packet& packet : sink.packets) {
            EXPECT_EQ(packet.mouse.usButtonFlags & ~0x0fffu, 0u) << file;
        }
    }
    // The K400's recording holds only keys (Enter, Ctrl with repeats, C).
    const Expected keys_only = expected_from_lines(testsupport::event_lines(k400));
    EXPECT_EQ(keys_only.packets, 0u);
    EXPECT_EQ(keys_only.keys, 6u);
}

TEST(ReplaySpeed, ParsesMaxOrAPositiveNumber) {
    EXPECT_EQ(input::parse_replay_speed("max"), ReplayProvider::max_speed);
    EXPECT_EQ(input::parse_replay_speed("1"), 1.0);
    EXPECT_EQ(input::parse_replay_speed("2.5"), 2.5);
    EXPECT_EQ(input::parse_replay_speed("0.25"), 0.25);
    for (const char* bad : {"0", "-1", "", "fast", "1x", "nan", "inf", "MAX", " 2"}) {
        EXPECT_EQ(input::parse_replay_speed(bad), std::nullopt) << bad;
    }
}

TEST(ReplaySpeed, RejectsASpeedThatIsNotPositive) {
    EXPECT_THROW(ReplayProvider({}, 0.0), std::invalid_argument);
    EXPECT_THROW(ReplayProvider({}, -2.0), std::invalid_argument);
    EXPECT_THROW(ReplayProvider({}, std::nan("")), std::invalid_argument);
}

}  // namespace
