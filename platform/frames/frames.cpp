#include "platform/frames/frames.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

namespace frames {
namespace {

constexpr std::int64_t us_per_second = 1'000'000;

struct State {
    Grid grid;
    Source source = Source::unknown;
    bool set = false;    // a rate was published or fixed
    bool fixed = false;  // by the command line
    int changes = 0;
    std::int64_t last_drawn = -1;
    std::uint64_t drawn = 0;
};

State& state() {
    static State s;
    return s;
}

std::function<std::int64_t()>& stepped_clock() {
    static std::function<std::int64_t()> clock;
    return clock;
}

std::function<void()>& waker() {
    static std::function<void()> wake;
    return wake;
}

// The frame starts asked for, in the order they were; and those alive.
std::vector<FrameStart*>& starts() {
    static std::vector<FrameStart*> asked;
    return asked;
}
std::vector<FrameStart*>& alive_starts() {
    static std::vector<FrameStart*> alive;
    return alive;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Takes `rate` from `source`: a new grid from the next boundary when the rate
// is another one; the first rate set is where the run starts, not a change.
void take(int rate, Source source, std::int64_t now_us) {
    State& s = state();
    if (rate != s.grid.rate) {
        s.grid = s.grid.rebased(rate, now_us);
        if (s.set)
            ++s.changes;
    }
    s.source = source;
    s.set = true;
}

}  // namespace

std::optional<int> rate_of_display(double hz) {
    if (!(hz > 1.0) || !std::isfinite(hz))
        return std::nullopt;
    const double whole = std::round(hz);
    if (whole <= min_rate)
        return min_rate;
    if (whole >= max_rate)
        return max_rate;
    return static_cast<int>(whole);
}

void set_clock(std::function<std::int64_t()> clock) {
    stepped_clock() = std::move(clock);
}

std::int64_t clock_us() {
    if (stepped_clock())
        return stepped_clock()();
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

std::int64_t Grid::frame_at(std::int64_t us) const {
    if (us < origin_us)
        return first - 1;
    // Frame first + k starts at ceil(k * 10^6 / rate): k is the greatest with
    // k * 10^6 <= (us - origin) * rate.
    return first + (us - origin_us) * rate / us_per_second;
}

std::int64_t Grid::start_of(std::int64_t frame) const {
    const std::int64_t k = frame - first;
    return origin_us - floor_div(-k * us_per_second, rate);
}

std::int64_t Grid::until_next_frame(std::int64_t us) const {
    if (us < origin_us)
        return origin_us - us;
    return start_of(frame_at(us) + 1) - us;
}

Grid Grid::rebased(int new_rate, std::int64_t us) const {
    const std::int64_t next = frame_at(us) + 1;
    return Grid{new_rate, us < origin_us ? origin_us : start_of(next),
                us < origin_us ? first : next};
}

const Grid& grid() {
    return state().grid;
}

int rate() {
    return state().grid.rate;
}

Source source() {
    return state().source;
}

int rate_changes() {
    return state().changes;
}

void set_display_rate(double hz, std::int64_t now_us) {
    if (state().fixed)
        return;
    const std::optional<int> rate = rate_of_display(hz);
    take(rate.value_or(unknown_rate), rate ? Source::display : Source::unknown, now_us);
}

void set_display_rate(double hz) {
    set_display_rate(hz, clock_us());
}

void fix_rate(int rate, std::int64_t now_us) {
    take(rate < min_rate ? min_rate : rate > max_rate ? max_rate : rate, Source::option, now_us);
    state().fixed = true;
}

void fix_rate(int rate) {
    fix_rate(rate, clock_us());
}

void reset() {
    state() = State{};
}

std::int64_t frame_at(std::int64_t us) {
    return state().grid.frame_at(us);
}

int until_next_frame_ms(std::int64_t us) {
    return static_cast<int>((state().grid.until_next_frame(us) + 999) / 1000);
}

std::int64_t current_frame() {
    return frame_at(clock_us());
}

int until_next_frame_ms() {
    return until_next_frame_ms(clock_us());
}

void drew(std::int64_t frame) {
    State& s = state();
    if (frame == s.last_drawn)
        return;
    s.last_drawn = frame;
    ++s.drawn;
}

std::uint64_t frames_drawn() {
    return state().drawn;
}

FrameStart::FrameStart(std::function<void()> run) : run_(std::move(run)) {
    alive_starts().push_back(this);
}

FrameStart::~FrameStart() {
    cancel();
    std::erase(alive_starts(), this);
}

void FrameStart::request() {
    if (pending_)
        return;
    pending_ = true;
    starts().push_back(this);
    if (waker())
        waker()();
}

void FrameStart::cancel() {
    if (!pending_)
        return;
    pending_ = false;
    std::erase(starts(), this);
}

void set_waker(std::function<void()> wake) {
    waker() = std::move(wake);
}

bool has_waker() {
    return static_cast<bool>(waker());
}

void run_frame_starts() {
    std::vector<FrameStart*> due;
    due.swap(starts());
    for (FrameStart* start : due)
        start->pending_ = false;
    // A start may end or ask others (or itself, for the next frame): each is
    // looked at again before it runs.
    for (FrameStart* start : due) {
        const auto& alive = alive_starts();
        if (std::find(alive.begin(), alive.end(), start) == alive.end())
            continue;
        const std::function<void()> run = start->run_;
        run();
    }
}

bool frame_starts_pending() {
    return !starts().empty();
}

}  // namespace frames
