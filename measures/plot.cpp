#include "measures/plot.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <queue>

#include "measures/store.h"

namespace measures::plot {
namespace {

// Columns are dropped in batches of this many beyond those kept.
constexpr std::size_t column_slack = 256;

}  // namespace

void MouseSpan::clear() {
    // One chunk is kept for the reports to come.
    if (!spare_ && !chunks_.empty())
        spare_ = std::move(chunks_.front());
    chunks_.clear();
    head_ = 0;
    size_ = 0;
    added_ = 0;
    ++revision_;
}

void MouseSpan::drop_oldest() {
    ++head_;
    --size_;
    if (head_ == chunk_reports || size_ == 0) {
        spare_ = std::move(chunks_.front());
        chunks_.pop_front();
        head_ = 0;
    }
}

void MouseSpan::rebase(std::int64_t time_us) {
    // Times are kept as 32-bit offsets: the base moves up to the oldest
    // report kept, which the span's 30 s keeps well within range.
    const std::int64_t base = size_ > 0 ? time_us_of_oldest() : time_us;
    const auto shift = static_cast<std::int32_t>(base - base_us_);
    for (std::size_t i = 0; i < size_; ++i)
        packed_at(i).time -= shift;
    base_us_ = base;
}

void MouseSpan::push(const Packed& packed, std::uint8_t flags) {
    if (size_ == max_reports)
        drop_oldest();
    if (head_ + size_ == chunks_.size() * chunk_reports)
        chunks_.push_back(spare_ ? std::move(spare_) : std::make_unique<Chunk>());
    ++size_;
    packed_at(size_ - 1) = packed;
    flags_at(size_ - 1) = flags;
    ++added_;
}

void MouseSpan::add(std::int64_t time_us, bool same_report, const movement::Motion& motion,
                    grid::Mark grid, float speed_cpms, std::size_t saturated_field) {
    if (size_ > 0 && time_us < this->time_us(size_ - 1))
        clear();  // a stamp went back: the span starts again from it
    if (size_ == 0)
        base_us_ = time_us;
    // Reports older than the span leave it (the newest stays).
    while (size_ > 0 && time_us - time_us_of_oldest() > span_us)
        drop_oldest();
    if (time_us - base_us_ > std::numeric_limits<std::int32_t>::max() / 2)
        rebase(time_us);
    std::uint8_t flags = 0;
    if (same_report)
        flags |= same;
    if (motion.absolute)
        flags |= absolute;
    if (grid == grid::Mark::on)
        flags |= on_grid;
    if (grid == grid::Mark::off)
        flags |= off_grid;
    if (saturated_field < 3)
        flags |= static_cast<std::uint8_t>((saturated_field + 1) << field_shift);
    push({static_cast<std::int32_t>(time_us - base_us_), motion.dx, motion.dy, speed_cpms}, flags);
}

void MouseSpan::mark_spinout(std::int64_t time_us) {
    const std::size_t i = first_at_or_after(time_us);
    if (i >= size_)
        return;
    flags_at(i) |= spun_out;
    ++revision_;
}

std::size_t MouseSpan::first_at_or_after(std::int64_t time_us) const {
    std::size_t low = 0;
    std::size_t high = size_;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (this->time_us(middle) < time_us)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

Report MouseSpan::operator[](std::size_t i) const {
    const Packed& p = at(i);
    const std::uint8_t f = flags_at(i);
    Report r;
    r.time_us = base_us_ + p.time;
    r.dx = p.dx;
    r.dy = p.dy;
    r.same_report = (f & same) != 0;
    r.absolute = (f & absolute) != 0;
    r.grid = (f & on_grid) != 0    ? grid::Mark::on
             : (f & off_grid) != 0 ? grid::Mark::off
                                   : grid::Mark::unknown;
    if (!std::isnan(p.speed))
        r.speed_cpms = p.speed;
    const std::size_t field = (f >> field_shift) & 3;
    r.saturated = field != 0 && field - 1 == field_;
    r.spinout = (f & spun_out) != 0;
    if (!r.same_report) {
        // From the report before: the first packet of the frame before.
        for (std::size_t j = i; j > 0; --j) {
            if ((flags_at(j - 1) & same) == 0) {
                r.interval_us = p.time - at(j - 1).time;
                break;
            }
        }
    }
    return r;
}

std::size_t MouseSpan::memory_bytes() const {
    return sizeof(*this) + (chunks_.size() + (spare_ ? 1 : 0)) * sizeof(Chunk) +
           chunks_.size() * sizeof(std::unique_ptr<Chunk>);
}

std::int64_t MouseSpan::time_us_of_oldest() const {
    return base_us_ + at(0).time;
}

void Plot::add(const Mouse& mouse, std::int64_t time_us, bool same_report,
               const movement::Motion& motion) {
    MouseSpan& span = span_of(mouse.handle);
    const timing::RecentReports& recent = mouse.timing.recent();
    const grid::Mark mark =
        !same_report && recent.size() > 0 ? recent[recent.size() - 1].grid : grid::Mark::unknown;
    // Only a relative packet that moved was read a speed.
    const bool moved = !motion.absolute && (motion.dx != 0 || motion.dy != 0);
    const tracking::MouseTracking& tracking = mouse.tracking;
    span.add(time_us, same_report, motion, mark,
             moved ? tracking.last_speed_cpms() : std::numeric_limits<float>::quiet_NaN(),
             moved ? tracking.last_saturated_field() : tracking::MouseTracking::no_field);
    span.set_field(tracking.field());
    // A spin-out is found up to 20 ms after it collapsed: marked back there.
    if (tracking.spinouts() > span.spinouts_seen_)
        span.mark_spinout(tracking.last_spinout_us());
    span.spinouts_seen_ = tracking.spinouts();
    ++generation_;
}

MouseSpan& Plot::span_of(Handle handle) {
    if (last_ < spans_.size() && spans_[last_]->handle() == handle)
        return *spans_[last_];
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        if (spans_[i]->handle() == handle) {
            last_ = i;
            return *spans_[i];
        }
    }
    spans_.push_back(std::make_unique<MouseSpan>(handle));
    last_ = spans_.size() - 1;
    return *spans_.back();
}

void Plot::clear() {
    for (const auto& span : spans_)
        span->clear();
    ++generation_;
}

const MouseSpan* Plot::find(Handle handle) const {
    for (const auto& span : spans_) {
        if (span->handle() == handle)
            return span.get();
    }
    return nullptr;
}

std::size_t Plot::memory_bytes() const {
    std::size_t bytes = sizeof(*this);
    for (const auto& span : spans_)
        bytes += span->memory_bytes();
    return bytes;
}

namespace {

// Appends `value` in decimal.
template <class T>
void append_number(std::string& line, T value) {
    std::array<char, 32> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    line.append(text.data(), end);
}

// Appends `value` with `decimals` decimals and '.', whatever the locale.
void append_fixed(std::string& line, double value, int decimals) {
    std::array<char, 64> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value,
                                            std::chars_format::fixed, decimals);
    line.append(text.data(), end);
}

}  // namespace

std::uint64_t write_csv(std::ostream& out, const Plot& plot, const std::vector<CsvMouse>& mice) {
    out << "mouse,handle,time_us,dx,dy,interval_us,speed_cpms,speed_mps\n";
    // The next report of each mouse, the earliest first (a tie: the mouse
    // listed first).
    struct Next {
        std::int64_t time_us;
        std::size_t mouse;
        std::size_t index;
        bool operator>(const Next& o) const {
            return time_us != o.time_us ? time_us > o.time_us
                   : mouse != o.mouse   ? mouse > o.mouse
                                        : index > o.index;
        }
    };
    std::vector<const MouseSpan*> spans(mice.size(), nullptr);
    std::priority_queue<Next, std::vector<Next>, std::greater<>> queue;
    for (std::size_t m = 0; m < mice.size(); ++m) {
        spans[m] = plot.find(mice[m].handle);
        if (spans[m] != nullptr && !spans[m]->empty())
            queue.push({spans[m]->time_us(0), m, 0});
    }
    std::uint64_t lines = 0;
    std::string line;
    while (!queue.empty()) {
        const Next next = queue.top();
        queue.pop();
        const MouseSpan& span = *spans[next.mouse];
        const CsvMouse& mouse = mice[next.mouse];
        const Report r = span[next.index];
        line.clear();
        if (mouse.number >= 0)
            append_number(line, mouse.number);
        line += ',';
        append_number(line, mouse.log_handle);
        line += ',';
        append_number(line, r.time_us);
        line += ',';
        append_number(line, r.dx);
        line += ',';
        append_number(line, r.dy);
        line += ',';
        if (r.interval_us)
            append_number(line, *r.interval_us);
        line += ',';
        if (r.speed_cpms)
            append_fixed(line, *r.speed_cpms, 3);
        line += ',';
        if (r.speed_cpms && mouse.cpi)
            append_fixed(line, tracking::metres_per_second(*r.speed_cpms, *mouse.cpi), 4);
        line += '\n';
        out << line;
        ++lines;
        if (next.index + 1 < span.size())
            queue.push({span.time_us(next.index + 1), next.mouse, next.index + 1});
    }
    return lines;
}

void Columns::restart(std::int64_t column_us) {
    column_us_ = std::max<std::int64_t>(1, column_us);
    columns_.clear();
    folded_ = 0;
    revision_ = ~std::uint64_t{0};
}

std::int64_t Columns::column_of(std::int64_t time_us) const {
    return floor_div(time_us, column_us_);
}

Column& Columns::column(std::int64_t number) {
    if (columns_.empty()) {
        first_ = number;
        columns_.emplace_back();
        return columns_.back();
    }
    if (number < first_) {
        // Only after a restart within a span, whose reports come oldest first.
        columns_.insert(columns_.begin(), static_cast<std::size_t>(first_ - number), Column{});
        first_ = number;
    }
    const auto index = static_cast<std::size_t>(number - first_);
    if (index >= columns_.size())
        columns_.resize(index + 1);
    return columns_[index];
}

void Columns::fold(const MouseSpan& span, std::size_t keep) {
    if (span.revision() != revision_ || span.added() < folded_) {
        // Cleared, or a report gained a mark: every report is folded again.
        columns_.clear();
        folded_ = span.first_number();
        revision_ = span.revision();
    }
    changed_from_ = last() + 1;
    if (span.empty() || folded_ >= span.added())
        return;
    std::size_t i =
        static_cast<std::size_t>(std::max(folded_, span.first_number()) - span.first_number());
    bool first = true;
    for (; i < span.size(); ++i) {
        const Report r = span[i];
        const std::int64_t number = column_of(r.time_us);
        Column& c = column(number);
        if (first) {
            changed_from_ = std::min(changed_from_, number);
            first = false;
        }
        if (!r.absolute) {
            c.counts = true;
            c.min_dx = std::min(c.min_dx, r.dx);
            c.max_dx = std::max(c.max_dx, r.dx);
            c.min_dy = std::min(c.min_dy, r.dy);
            c.max_dy = std::max(c.max_dy, r.dy);
        }
        if (r.speed_cpms) {
            c.min_speed = std::min(c.min_speed, *r.speed_cpms);
            c.max_speed = std::max(c.max_speed, *r.speed_cpms);
        }
        if (r.interval_us) {
            if (r.grid == grid::Mark::off) {
                c.min_off = std::min(c.min_off, *r.interval_us);
                c.max_off = std::max(c.max_off, *r.interval_us);
            } else {
                c.min_on = std::min(c.min_on, *r.interval_us);
                c.max_on = std::max(c.max_on, *r.interval_us);
            }
        }
        c.saturated = c.saturated || r.saturated;
        c.spinout = c.spinout || r.spinout;
    }
    folded_ = span.added();
    if (columns_.size() > keep + column_slack) {
        const std::size_t drop = columns_.size() - keep;
        columns_.erase(columns_.begin(), columns_.begin() + static_cast<std::ptrdiff_t>(drop));
        first_ += static_cast<std::int64_t>(drop);
        changed_from_ = std::max(changed_from_, first_);
    }
}

}  // namespace measures::plot
