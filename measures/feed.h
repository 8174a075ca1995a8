// The process's measures and their one way in. The program feeds them once
// per packet: on Linux after the engine has handled it, on Windows in
// TForm1::WMInput as it is read. The timing, buttons and movement windows read
// them once a frame, --stats at exit.
//
//   measures::feed().start(input, chatter_window_us);  // Linux, at start: on the input's clock
//   measures::feed().packet({measures::handle_of(device), stamp_us, same_report, background,
//                            usButtonFlags, {lLastX, lLastY, absolute}});
//   measures::feed().batch_handled();  // after each batch: the overflows counted since
//   measures::feed().set_cpi(handle, 1600);  // the CPI a mouse's speeds are read at
//
//   const measures::Store& store = measures::feed().store();  // to read
//
// Not thread-safe: feed and read from the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measures/check.h"
#include "measures/clock.h"
#include "measures/plot.h"
#include "measures/store.h"

namespace measures {

// What the measures ask of the input that feeds them, besides its packets
// (on Linux the program answers for its provider).
class Input {
  public:
    virtual ~Input() = default;
    // Its name, which says its clock (see input_clock).
    virtual std::string_view name() const = 0;
    // The polling interval `mouse` declares, as the text of its USB
    // endpoint's sysfs `interval` file ("1ms", "125us"); empty when none.
    virtual std::string declared_interval(Handle mouse) const = 0;
    // How many overflows of its kernel buffers it has counted in all, cheap
    // to ask after every batch; and how many each mouse had.
    virtual std::uint64_t overflows() const = 0;
    virtual std::vector<std::pair<Handle, std::uint64_t>> overflows_by_mouse() const = 0;
};

// One packet as the measures take it.
struct Packet {
    Handle mouse;
    std::int64_t stamp_us;  // on its input's clock
    // It belongs to the report of the packet before it (the second packet of
    // a frame that turns both wheels, the packets of a resync after an
    // overflow): not a report of its own.
    bool same_report = false;
    // It came while no window of the program was active (RIM_INPUTSINK).
    bool background = false;
    // Its usButtonFlags: the buttons it presses and releases.
    std::uint16_t button_flags = 0;
    // Its lLastX and lLastY, and whether they are a position (usFlags
    // MOUSE_MOVE_ABSOLUTE).
    movement::Motion motion = {};
};

class Feed {
  public:
    // On the clock of this system's own input (Windows: the receipt time).
    Feed();
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    // Starts the measures afresh on `options`, with no input to ask.
    void reset(const Options& options);
    // Starts the measures afresh on the clock of `input`, which is then asked
    // for the interval each mouse declares and, after each batch, for its
    // overflows; it must outlive the feeding, up to the next start or reset.
    // A press less than `chatter_window_us` after its button's release is chatter.
    void start(const Input& input,
               std::int64_t chatter_window_us = buttons::default_chatter_ms * 1000);
    // Every mouse's button figures start afresh (the buttons window's Reset).
    void reset_buttons();
    // Every mouse's movement and strokes start afresh (the movement window's
    // Reset); each keeps its CPI for speed.
    void reset_movement();
    // Every mouse's speeds, saturated reports and spin-outs start afresh,
    // each mouse keeping its CPI, and so does the plot's span (the plot
    // window's Reset).
    void reset_tracking();
    // Every measure of every mouse starts afresh (the check window's Reset):
    // its timing, buttons, movement and strokes, tracking, the plot's span and
    // the pairs found together. Each mouse keeps its CPI for speed and its
    // setting, the distance stays.
    void reset_all();
    // Compares the mice in pairs on their packets' own time from now on, for
    // the check (the check window, --check, --report), which asks for it
    // first; once asked, it stays. The pairs found; null until then.
    void start_check();
    const check::Pairs* pairs() const { return pairs_.get(); }
    // Compares now each pair either of which moved since it was compared, so
    // that a report holds every packet handled (at exit, Save report).
    void compare_pairs();
    // The CPI `mouse` is set to (its driver's or its switch's setting), for
    // the check to hold its CPI against: the check window's box sets it, the
    // latest setting winning over --cpi (`cpi_source`); nothing while neither
    // says. A start or reset forgets what was set, reset_all() keeps it.
    void set_cpi_setting(Handle mouse, std::optional<double> cpi);
    std::optional<double> cpi_setting(Handle mouse) const;
    // The input the measures are fed from (its clock, what its report says
    // of it); the native one until a start names another.
    const InputClock& input() const { return *input_clock_; }
    // Keeps every packet from now on for the plot window, which asks for it
    // when first opened: its memory is not taken before. Once asked, it stays.
    void start_plot();
    // The plot's spans; null until start_plot.
    const plot::Plot* plot() const { return plot_.get(); }
    // The CPI each mouse's speeds are read at from its first packet on
    // (--cpi): `source` answers it, or nothing where unknown. A start or
    // reset keeps it.
    void set_cpi_source(std::function<std::optional<double>(Handle)> source) {
        cpi_source_ = std::move(source);
    }
    // `mouse`'s CPI for speed from now on (the movement window's Enter): the
    // latest setting wins. So does a CPI the strokes between two stops give
    // (strokes::MouseStrokes::held_slow_counts, over distance_mm()): a mouse's
    // speeds are read at it from the packet that gave it, and at each newer one.
    void set_cpi(Handle mouse, double cpi);
    // The distance in mm the mice were moved, which their CPI is counted
    // over (--distance-mm, or typed in the movement window): between two
    // stops, D, the mouse's travel (the gap less its own length); nothing
    // while none is given. A start or reset keeps it.
    std::optional<double> distance_mm() const { return distance_mm_; }
    void set_distance_mm(std::optional<double> distance_mm);
    // How many times the measures were started afresh.
    std::uint64_t resets() const { return resets_; }

    // One packet: every measure of its mouse takes it, and a mouse's first
    // packet gives it the interval its device declares. The listener hears
    // of it, to draw what changed at its next frame.
    void packet(const Packet& packet);
    // After each batch of packets: the overflows the input counted since.
    void batch_handled();

    const Store& store() const { return store_; }

    // Who hears of each change: each measures window while it exists. A
    // listener is added under its owner, and removed by it.
    void add_listener(const void* owner, std::function<void()> listener);
    void remove_listener(const void* owner);
    // Where the mice's names come from: `lookup` answers a mouse's name, or
    // "" when it has none. Unset, every mouse is unnamed.
    void set_names(std::function<std::string(Handle)> lookup) { names_ = std::move(lookup); }
    // The name of `mouse`; "" when unknown.
    std::string name_of(Handle mouse) const { return names_ ? names_(mouse) : std::string(); }

  private:
    // The measures of `handle`; a mouse first seen is given what its input
    // declares and its CPI for speed.
    Mouse& measured(Handle handle);
    void changed() {
        for (const auto& [owner, listener] : listeners_)
            listener();
    }

    Store store_;
    std::unique_ptr<plot::Plot> plot_;
    std::unique_ptr<check::Pairs> pairs_;
    const Input* input_ = nullptr;
    const InputClock* input_clock_;
    std::vector<std::pair<Handle, std::optional<double>>> cpi_settings_;
    std::uint64_t overflows_ = 0;  // as the input counted them at the last batch
    std::uint64_t resets_ = 0;
    std::optional<double> distance_mm_;
    std::vector<std::pair<const void*, std::function<void()>>> listeners_;
    std::function<std::string(Handle)> names_;
    std::function<std::optional<double>(Handle)> cpi_source_;
};

// The process's measures.
Feed& feed();

}  // namespace measures
