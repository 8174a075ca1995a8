// The process's one frame grid, at the display's refresh rate. The windows
// repaint on it (vcl::FramePacer), the pointer over a window is read on it and
// the x11 input reads a busy connection as a frame starts, so that all of them
// take one wake-up a frame. The toolkit's backend publishes the rate of the
// display the main window is on (set_display_rate); the command line may fix
// one instead (fix_rate). Pure C++, built on both systems, beside the toolkit
// and the input layer, which both use it; used on the GUI thread only.
//
// The grid is exact in microseconds of the monotonic clock: at R frames a
// second, frame `first + k` of a grid that starts at `origin` begins at
// origin + ceil(k * 1,000,000 / R) µs. A new rate starts a new grid at the next
// boundary of the old one, and frame numbers go on counting from there, so a
// frame number names one stretch of time whatever the rate: a frame is never
// lost or had twice across a change.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace frames {

constexpr int min_rate = 30;
constexpr int max_rate = 240;
// The rate where the display does not say.
constexpr int unknown_rate = 60;

// Where the grid's rate came from.
enum class Source {
    display,  // the display's refresh rate
    option,   // fixed by the command line (--frame-rate)
    unknown,  // the display does not say: unknown_rate
};

// The grid's rate for a display that reports `hz`: rounded to whole Hz
// (59.94 is 60) and held within min_rate..max_rate; none where the report
// says nothing (0 or 1, which Windows gives for the hardware's default, a
// negative or not-a-number rate).
std::optional<int> rate_of_display(double hz);

// The grid's clock in microseconds: std::chrono::steady_clock, which is
// CLOCK_MONOTONIC on Linux and QueryPerformanceCounter on Windows, and never
// jumps with the wall clock; or the clock of a benchmark that steps time
// itself (an empty one gives the steady clock back).
std::int64_t clock_us();
void set_clock(std::function<std::int64_t()> clock);

// One grid: `rate` frames a second from `origin_us`, frame `first` starting there.
struct Grid {
    int rate = unknown_rate;
    std::int64_t origin_us = 0;
    std::int64_t first = 0;

    // The frame microsecond `us` falls in; a time before the origin belongs
    // to the frame before `first` (the last one of the grid it followed).
    std::int64_t frame_at(std::int64_t us) const;
    // Where frame `frame` (first or later) starts.
    std::int64_t start_of(std::int64_t frame) const;
    // Microseconds from `us` to the next frame boundary: 1 up to a frame.
    std::int64_t until_next_frame(std::int64_t us) const;
    // The grid that runs at `rate` from the first boundary after `us`, its
    // frames numbered on from this one's.
    Grid rebased(int new_rate, std::int64_t us) const;
};

// The process's grid now (unknown_rate from the start of the clock, until
// a rate is published or fixed).
const Grid& grid();
int rate();
Source source();
// Times the grid's rate has changed since the first one was set.
int rate_changes();

// The backend's report of the display's rate (`hz`, 0 where the system does
// not say): the grid takes it from its next boundary on, unless fix_rate
// fixed one. `now_us` is the grid clock's time of the change.
void set_display_rate(double hz, std::int64_t now_us);
void set_display_rate(double hz);
// The command line's rate (min_rate..max_rate), which no display changes.
void fix_rate(int rate, std::int64_t now_us);
void fix_rate(int rate);
// Back to the state at start (for tests): unknown_rate, nothing fixed or counted.
void reset();

// The frame `us` falls in, and milliseconds from it to the next boundary,
// rounded up (1 up to a frame's whole milliseconds, plus one): a timer of the
// message loop started with it fires in the next frame, never before it.
std::int64_t frame_at(std::int64_t us);
int until_next_frame_ms(std::int64_t us);
std::int64_t current_frame();
int until_next_frame_ms();

// A window drew in frame `frame`; the frames in which any did.
void drew(std::int64_t frame);
std::uint64_t frames_drawn();

// Work at the start of the next frame, before the windows draw: the read of
// an input that paces itself on the grid (the x11 connection, the pointer
// over a window), so that what it reads is drawn in the same frame, and all
// of it takes one wake-up. The toolkit's frame timer runs them
// (run_frame_starts) at the boundaries: it registers itself as the waker,
// which is told when a start is asked for. Without one (an input used on
// its own), nothing runs them: see has_waker.
class FrameStart {
  public:
    explicit FrameStart(std::function<void()> run);
    ~FrameStart();
    FrameStart(const FrameStart&) = delete;
    FrameStart& operator=(const FrameStart&) = delete;
    // Runs at the next frame's start (once, however often it is asked).
    void request();
    void cancel();
    bool pending() const { return pending_; }

  private:
    friend void run_frame_starts();
    std::function<void()> run_;
    bool pending_ = false;
};

// The toolkit's frame timer: `wake` is called when a frame start is asked
// for, and must run run_frame_starts at the next boundary (empty: none).
void set_waker(std::function<void()> wake);
bool has_waker();
// Runs the frame starts asked for before it began (those they ask for wait
// for the next frame); whether any is asked for now.
void run_frame_starts();
bool frame_starts_pending();

}  // namespace frames
