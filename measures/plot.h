// What the plot window draws and saves: each mouse's reports over its last
// 30 s of the packets' own time (since the window's Reset), packed small,
// and the pixel columns they are drawn from. Pure C++, built into both
// programs.
//
// The feed keeps a Plot only once the plot window asked for it (its memory
// is not taken before), and adds every packet to it after the mouse's
// measures took it, with what they read of it:
//
//   measures::feed().start_plot();              // the window, when first opened
//   const measures::plot::Plot* plot = measures::feed().plot();
//   const measures::plot::MouseSpan* span = plot->find(handle);
//   columns.fold(*span);                        // the reports drawn since, by column
//   measures::plot::write_csv(out, *plot, mice);  // Save data
//
// A report costs 17 bytes, in chunks of 4096: a mouse at 8 kHz holds
// 240,000 of them in 30 s, 4.2 MB; one at 1 kHz 0.5 MB. Not thread-safe: feed and read from one
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "measures/movement.h"
#include "measures/poll_grid.h"

namespace measures {
class Mouse;
using Handle = std::uintptr_t;
}  // namespace measures

namespace measures::plot {

// The span kept: the last 30 s of each mouse's own time, and at most that
// at 8 kHz (a faster mouse keeps its last 240,000 reports).
constexpr std::int64_t span_us = 30'000'000;
constexpr std::size_t max_reports = 240'000;

// One packet as the span keeps it.
struct Report {
    std::int64_t time_us;
    std::int32_t dx;
    std::int32_t dy;
    // The interval since the mouse's report before; none for a frame's
    // second packet and for the first report of the span.
    std::optional<std::int32_t> interval_us;
    // The speed it was read at (counts/ms); none while unknown, and for a
    // packet that did not move.
    std::optional<float> speed_cpms;
    bool same_report = false;
    bool absolute = false;
    grid::Mark grid = grid::Mark::unknown;
    // Counted saturated at its field (see MouseSpan::saturated), and where
    // a spin-out collapsed.
    bool saturated = false;
    bool spinout = false;
};

// One mouse's reports over the span, oldest first.
class MouseSpan {
  public:
    explicit MouseSpan(Handle handle) : handle_(handle) {}

    // One packet stamped `time_us`, after the mouse's measures took it:
    // what its tracking read of it. A stamp earlier than the one before
    // starts the span afresh (the times would no longer order the reports).
    void add(std::int64_t time_us, bool same_report, const movement::Motion& motion,
             grid::Mark grid, float speed_cpms, std::size_t saturated_field);
    // The spin-out that collapsed at `time_us` is marked on the report
    // there (the first at or after it).
    void mark_spinout(std::int64_t time_us);
    // The field the mouse's reports are saturated at now: a report counted
    // at another one is not shown as saturated.
    void set_field(std::size_t field) {
        if (field != field_) {
            field_ = field;
            ++revision_;
        }
    }
    void clear();

    Handle handle() const { return handle_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The reports ever added (since the last clear): report i of the span is
    // the (added() - size() + i)-th.
    std::uint64_t added() const { return added_; }
    std::uint64_t first_number() const { return added_ - size_; }
    // Changes when a report gains a mark after it was added, or the span is
    // cleared or started afresh: columns folded before must be folded again.
    std::uint64_t revision() const { return revision_; }
    Report operator[](std::size_t i) const;
    std::int64_t time_us(std::size_t i) const { return base_us_ + at(i).time; }
    // The index of the first report stamped at or after `time_us`.
    std::size_t first_at_or_after(std::int64_t time_us) const;
    std::size_t memory_bytes() const;
    // What a report costs.
    static constexpr std::size_t report_bytes = 17;

  private:
    struct Packed {
        std::int32_t time;  // µs after base_us_
        std::int32_t dx;
        std::int32_t dy;
        float speed;  // NaN: unknown
    };
    static_assert(sizeof(Packed) == 16);
    enum Flag : std::uint8_t {
        same = 1,
        absolute = 2,
        on_grid = 4,
        off_grid = 8,
        spun_out = 16,
        field_shift = 5,  // 2 bits: the saturated field + 1, 0 when not
    };

    // The reports sit in chunks of a fixed size, oldest first: a span grows
    // and moves on a chunk at a time, and a chunk that leaves is kept for the
    // next one, so the heap is never left holding a buffer outgrown.
    static constexpr std::size_t chunk_reports = 4096;
    struct Chunk {
        std::array<Packed, chunk_reports> packed;
        std::array<std::uint8_t, chunk_reports> flags;
    };
    Packed& packed_at(std::size_t i) const {
        const std::size_t j = head_ + i;
        return chunks_[j / chunk_reports]->packed[j % chunk_reports];
    }
    std::uint8_t& flags_at(std::size_t i) const {
        const std::size_t j = head_ + i;
        return chunks_[j / chunk_reports]->flags[j % chunk_reports];
    }
    const Packed& at(std::size_t i) const { return packed_at(i); }
    void push(const Packed& packed, std::uint8_t flags);
    void drop_oldest();
    void rebase(std::int64_t time_us);
    std::int64_t time_us_of_oldest() const;
    friend class Plot;

    Handle handle_;
    std::deque<std::unique_ptr<Chunk>> chunks_;
    std::unique_ptr<Chunk> spare_;
    std::size_t head_ = 0;  // the oldest report's place in the first chunk
    std::size_t size_ = 0;
    std::uint64_t added_ = 0;
    std::uint64_t revision_ = 0;
    std::int64_t base_us_ = 0;
    std::size_t field_ = 3;
    std::uint64_t spinouts_seen_ = 0;  // the mouse's spin-outs marked
};

// Every mouse's span, in the order the mice sent their first packet.
class Plot {
  public:
    // One packet of `mouse`, after its measures took it.
    void add(const Mouse& mouse, std::int64_t time_us, bool same_report,
             const movement::Motion& motion);
    // Every span starts afresh (the plot window's Reset, a new start).
    void clear();
    const MouseSpan* find(Handle handle) const;
    std::size_t size() const { return spans_.size(); }
    const MouseSpan& operator[](std::size_t i) const { return *spans_[i]; }
    // Changes with every packet and clear.
    std::uint64_t generation() const { return generation_; }
    std::size_t memory_bytes() const;

  private:
    MouseSpan& span_of(Handle handle);

    std::vector<std::unique_ptr<MouseSpan>> spans_;
    std::size_t last_ = 0;
    std::uint64_t generation_ = 0;
};

// A mouse the CSV names: its number (-1: not numbered), handle as the log
// prints it, and the CPI its speeds are read at (none: unknown).
struct CsvMouse {
    Handle handle;
    int number;
    std::int32_t log_handle;
    std::optional<double> cpi;
};

// The reports of `mice` in `plot`, merged by time (a tie in the order of
// `mice`), as CSV: a header line, then a line a packet,
// "mouse,handle,time_us,dx,dy,interval_us,speed_cpms,speed_mps", the
// speeds to three and four decimals with '.', an empty cell where a figure
// is unknown, '\n' line ends. Returns the lines written after the header.
std::uint64_t write_csv(std::ostream& out, const Plot& plot, const std::vector<CsvMouse>& mice);

// The pixel columns of one mouse's reports: for each column of `column_us`
// of time, the least and greatest of each figure drawn, so a curve of any
// number of reports costs a fill per column. Columns are numbered by their
// time (time_us floor column_us), so a plot scrolls by whole columns.
struct Column {
    std::int32_t min_dx = std::numeric_limits<std::int32_t>::max();
    std::int32_t max_dx = std::numeric_limits<std::int32_t>::min();
    std::int32_t min_dy = std::numeric_limits<std::int32_t>::max();
    std::int32_t max_dy = std::numeric_limits<std::int32_t>::min();
    float min_speed = std::numeric_limits<float>::infinity();
    float max_speed = -std::numeric_limits<float>::infinity();
    // The intervals of reports on the poll grid or not yet placed on one,
    // and those off it.
    std::int32_t min_on = std::numeric_limits<std::int32_t>::max();
    std::int32_t max_on = 0;
    std::int32_t min_off = std::numeric_limits<std::int32_t>::max();
    std::int32_t max_off = 0;
    bool counts = false;  // a relative report is in it
    bool saturated = false;
    bool spinout = false;
    bool speed() const { return min_speed <= max_speed; }
    bool on() const { return max_on >= min_on; }
    bool off() const { return max_off >= min_off; }
};

class Columns {
  public:
    // Starts afresh with columns of `column_us` (the plot's width changed).
    void restart(std::int64_t column_us);
    // Takes the reports `span` added since the last fold; starts afresh when
    // the span was cleared or marked a report since. Keeps `keep` columns
    // up to the newest.
    void fold(const MouseSpan& span, std::size_t keep);
    std::int64_t column_us() const { return column_us_; }
    // The column numbers held: first() to last(), and the one of a time.
    std::int64_t first() const { return first_; }
    std::int64_t last() const { return first_ + static_cast<std::int64_t>(columns_.size()) - 1; }
    bool empty() const { return columns_.empty(); }
    const Column& at(std::int64_t number) const {
        return columns_[static_cast<std::size_t>(number - first_)];
    }
    std::int64_t column_of(std::int64_t time_us) const;
    // The lowest column changed by the last fold (last() + 1 when none).
    std::int64_t changed_from() const { return changed_from_; }

  private:
    Column& column(std::int64_t number);

    std::int64_t column_us_ = 1;
    std::vector<Column> columns_;  // first_ onwards
    std::int64_t first_ = 0;
    std::int64_t changed_from_ = 0;
    std::uint64_t folded_ = 0;  // the span's reports folded
    std::uint64_t revision_ = ~std::uint64_t{0};
};

}  // namespace measures::plot
