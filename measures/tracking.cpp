#include "measures/tracking.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "measures/timing.h"

namespace measures::tracking {
namespace {

// The report fields a mouse's counts may be sent in: 8, 12 and 16 bits, each
// with its largest value; the field holds -limit - 1 too.
constexpr std::array<std::int32_t, 3> field_limits = {127, 2047, 32767};
constexpr std::size_t no_field = field_limits.size();

// The narrowest field that holds `value`; no_field when none does.
std::size_t field_of(std::int32_t value) {
    for (std::size_t f = 0; f < field_limits.size(); ++f) {
        if (value <= field_limits[f] && value >= -field_limits[f] - 1)
            return f;
    }
    return no_field;
}

// The field whose limit `value` is (127, -127 or -128 for 8 bits ...);
// no_field when it is none's.
std::size_t limit_of(std::int32_t value) {
    for (std::size_t f = 0; f < field_limits.size(); ++f) {
        const std::int32_t limit = field_limits[f];
        if (value == limit || value == -limit || value == -limit - 1)
            return f;
    }
    return no_field;
}

// A value at a field's limit is saturated when the report before it in the
// stroke went the same way at a quarter of that limit or more: the counts
// rose towards it, as a hand speeding up makes them, rather than jumping there.
bool rose_towards(std::int32_t value, std::int32_t before, std::size_t field) {
    const std::int32_t quarter = field_limits[field] / 4;
    return value > 0 ? before >= quarter : before <= -quarter;
}

// Counts short of every field's limits: the usual report.
bool inside_every_field(std::int32_t dx, std::int32_t dy) {
    return dx > -field_limits[0] && dx < field_limits[0] && dy > -field_limits[0] &&
           dy < field_limits[0];
}

constexpr float unknown = std::numeric_limits<float>::quiet_NaN();

std::string two_decimals(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

MouseTracking::MouseTracking(Clock clock, bool device_counts)
    : clock_(clock), device_counts_(device_counts) {}

void MouseTracking::set_cpi(std::optional<double> cpi) {
    if (cpi && !(*cpi > 0))
        cpi.reset();
    if (cpi_ != cpi) {
        cpi_ = cpi;
        set_threshold();
        ++generation_;
    }
}

void MouseTracking::reset() {
    const std::optional<double> cpi = cpi_;
    const std::uint64_t generation = generation_;
    *this = MouseTracking(clock_, device_counts_);
    cpi_ = cpi;
    set_threshold();
    generation_ = generation + 1;
}

void MouseTracking::set_threshold() {
    // 1 m/s is 1000 / 25.4 inches a second: cpi / 25.4 counts a millisecond.
    threshold_cpms_ = cpi_ ? spin_mps * *cpi_ / 25.4 : spin_cpms;
}

inline std::uint64_t MouseTracking::oldest() const {
    return next_ - stroke_first_ > ring_size ? next_ - ring_size : stroke_first_;
}

inline std::uint64_t MouseTracking::follow(std::uint64_t& cursor, std::int64_t time_us) const {
    // A window's start moves on with each report, but for a window that
    // widened: a step or two at most, either way.
    const std::uint64_t first = oldest();
    std::uint64_t c = std::max(cursor, first);
    while (c < next_ && at(c).time_us <= time_us)
        ++c;
    while (c > first && at(c - 1).time_us > time_us)
        --c;
    cursor = c;
    return c;
}

std::uint64_t MouseTracking::first_after(std::int64_t time_us) const {
    // The stroke's stamps never go back: a stamp that does starts a new one.
    std::uint64_t low = oldest();
    std::uint64_t high = next_;
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (at(middle).time_us > time_us)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

void MouseTracking::start_stroke(std::int64_t time_us, std::int32_t dx, std::int32_t dy) {
    stroke_first_ = next_;
    ring_[next_ % ring_size] = {time_us, dx, dy, unknown, unknown, unknown, 0, 0};
    ++next_;
    speed_cpms_ = -1;
    speed_cursor_ = short_cursor_ = stroke_first_;
    pending_ = false;
    went_on_us_ = last_fast_us_ = std::numeric_limits<std::int64_t>::min() / 2;
}

void MouseTracking::add_report(std::int64_t time_us, std::int32_t dx, std::int32_t dy,
                               std::optional<std::int64_t> poll_period_us) {
    ++moved_;
    ++generation_;
    last_saturated_ = no_field;
    last_speed_ = unknown_speed;
    const bool in_stroke = next_ > stroke_first_;
    if (!in_stroke || time_us < at(next_ - 1).time_us ||
        time_us - at(next_ - 1).time_us >= timing::pause_us) {
        start_stroke(time_us, dx, dy);
        if (!inside_every_field(dx, dy))
            saturation(dx, dy, -1);
    } else {
        const Entry& before = at(next_ - 1);
        Entry& e = ring_[next_ % ring_size];
        e = {time_us, before.sum_x + dx, before.sum_y + dy, unknown, unknown, unknown, 0, 0};
        ++next_;
        speed_at(e);
        if (e.speed > threshold_cpms_)
            last_fast_us_ = time_us;
        if (!inside_every_field(dx, dy))
            saturation(dx, dy, speed_cpms_);
        // A collapse is read from a report above the threshold, within the
        // time the stroke has to go on after it.
        if (pending_ || time_us - last_fast_us_ <= goes_on_within_us)
            spin_out(poll_period_us, dx, dy);
        if (!std::isnan(e.vx)) {
            last_speed_ = e.speed;
            speed_cpms_ = e.speed;
            peak_cpms_ = std::max(peak_cpms_, speed_cpms_);
        }
    }
    last_dx_ = dx;
    last_dy_ = dy;
}

void MouseTracking::speed_at(Entry& e) {
    const std::uint64_t n = next_ - 1;
    std::int64_t window =
        clock_ == Clock::milliseconds ? speed_window_ms_clock_us : speed_window_us;
    if (n >= stroke_first_ + 2)
        window = std::max(window, e.time_us - at(n - 2).time_us);
    // The reports after the last one at or before the window's start: their
    // counts cover the time from that one's stamp to this one's.
    const std::uint64_t first = follow(speed_cursor_, e.time_us - window);
    std::uint64_t from = first - 1;
    if (first == oldest()) {
        if (oldest() == stroke_first_)
            return;       // the stroke is younger than the window
        from = oldest();  // more reports than the ring holds: the span it holds
    }
    const Entry& start = at(from);
    const std::int64_t span_us = e.time_us - start.time_us;
    if (span_us <= 0)
        return;
    const auto mx = static_cast<double>(e.sum_x - start.sum_x);
    const auto my = static_cast<double>(e.sum_y - start.sum_y);
    const double per_ms = 1000.0 / static_cast<double>(span_us);
    const double length = std::sqrt(mx * mx + my * my);
    e.vx = static_cast<float>(mx * per_ms);
    e.vy = static_cast<float>(my * per_ms);
    e.speed = static_cast<float>(length * per_ms);
    e.reports = static_cast<std::uint32_t>(n - from);
    e.span_us = static_cast<std::int32_t>(std::min<std::int64_t>(span_us, INT32_MAX));
}

void MouseTracking::saturation(std::int32_t dx, std::int32_t dy, double speed_before) {
    field_ = std::max({field_, field_of(dx), field_of(dy)});
    if (!device_counts_)
        return;
    const bool rising = next_ - stroke_first_ >= 2;  // a report before it in the stroke
    std::size_t field = no_field;
    for (const auto& [value, before] : {std::pair{dx, last_dx_}, std::pair{dy, last_dy_}}) {
        const std::size_t f = limit_of(value);
        // Only while nothing beyond the field's limit was sent.
        if (f != no_field && f >= field_ && rising && rose_towards(value, before, f))
            field = std::min(field, f);
    }
    if (field == no_field)
        return;
    ++saturated_[field];
    last_saturated_ = field;
    if (!first_saturated_[field].seen) {
        const double speed = speed_before >= 0 ? speed_before : speed_cpms_;
        first_saturated_[field] = {next_ - 1, speed >= 0 ? static_cast<float>(speed) : unknown,
                                   true};
    }
}

bool MouseTracking::collapsed(std::uint64_t first, std::uint64_t last, std::int64_t end_us,
                              double threshold_cpms, double& speed_before,
                              std::int64_t& since_us) const {
    // The report at or before the window's start: the speed just before it.
    if (first == oldest())
        return false;
    const Entry& before = at(first - 1);
    const double speed = before.speed;
    if (!(speed > threshold_cpms))
        return false;
    const Entry& end = at(last);
    const auto along = (static_cast<double>(end.sum_x - before.sum_x) * before.vx +
                        static_cast<double>(end.sum_y - before.sum_y) * before.vy) /
                       speed;
    const double expected = speed * static_cast<double>(end_us - before.time_us) / 1000.0;
    speed_before = speed;
    since_us = before.time_us;
    return along < expected / 4;
}

void MouseTracking::spin_out(std::optional<std::int64_t> poll_period_us, std::int32_t dx,
                             std::int32_t dy) {
    const std::uint64_t n = next_ - 1;
    const Entry& e = at(n);
    const double threshold = threshold_cpms_;
    if (pending_ && e.time_us - pending_since_us_ > goes_on_within_us)
        pending_ = false;  // it did not go on: a hand stopping, not the sensor
    const std::int64_t window_us =
        poll_period_us ? std::max(short_window_us, 2 * *poll_period_us) : 0;
    if (!pending_) {
        double speed = 0;
        std::int64_t since = 0;
        std::int64_t end = e.time_us;
        bool found = false;
        if (poll_period_us) {
            const std::int64_t period = *poll_period_us;
            const std::int64_t interval = e.time_us - at(n - 1).time_us;
            found = collapsed(follow(short_cursor_, e.time_us - window_us), n, e.time_us, threshold,
                              speed, since);
            if (!found && interval * 2 >= 3 * period) {
                // Polls that brought no report moved nothing, unless this
                // report carries their movement (it came late): half of what
                // the speed before would have moved since the report before.
                end = e.time_us - period;
                found =
                    collapsed(first_after(end - window_us), n - 1, end, threshold, speed, since);
                const Entry& b = at(n - 1);
                const double along =
                    (dx * static_cast<double>(b.vx) + dy * static_cast<double>(b.vy)) / b.speed;
                found = found && !(along >= speed * static_cast<double>(interval) / 1000.0 / 2);
            }
        } else if (n >= stroke_first_ + 3) {
            // No poll grid: the last two reports against the counts a report
            // before them.
            const Entry& b = at(n - 2);
            speed = b.speed;
            if (speed > threshold) {
                const double along = (static_cast<double>(e.sum_x - b.sum_x) * b.vx +
                                      static_cast<double>(e.sum_y - b.sum_y) * b.vy) /
                                     speed;
                // The counts a report: the speed over the reports per ms.
                const double per_report = speed / b.reports_per_ms();
                found = along < 2.0 * per_report / 4;
                since = b.time_us;
                pending_per_report_ = per_report * threshold / speed;
            }
        }
        // A stroke that went on only later stopped first: a hand, not the
        // sensor. A collapse read from before the last spin-out went on is
        // that one.
        if (found && e.time_us - since <= goes_on_within_us && since >= went_on_us_) {
            pending_ = true;
            pending_report_ = n;
            pending_since_us_ = since;
            pending_end_us_ = end;
            pending_speed_ = speed;
            const Entry& before = at(first_after(since) - 1);
            pending_ux_ = before.vx / speed;
            pending_uy_ = before.vy / speed;
            return;
        }
    }
    if (!pending_)
        return;
    // Going on: along the stroke's way before the collapse, above the
    // threshold over the short window (the last two reports without a grid)
    // after it.
    const auto along = [&](const Entry& from) {
        return static_cast<double>(e.sum_x - from.sum_x) * pending_ux_ +
               static_cast<double>(e.sum_y - from.sum_y) * pending_uy_;
    };
    bool goes_on = false;
    if (poll_period_us) {
        if (e.time_us > pending_end_us_) {
            const std::uint64_t first = first_after(e.time_us - window_us);
            if (first > oldest()) {
                const Entry& from = at(first - 1);
                goes_on = along(from) * 1000.0 / static_cast<double>(e.time_us - from.time_us) >
                          threshold;
            }
        }
    } else if (n >= pending_report_ + 2) {
        goes_on = along(at(n - 2)) / 2 > pending_per_report_;
    }
    if (goes_on) {
        pending_ = false;
        went_on_us_ = e.time_us;
        ++spinouts_;
        last_spinout_us_ = pending_end_us_;
        if (!first_spinout_.seen)
            first_spinout_ = {pending_report_, static_cast<float>(pending_speed_), true};
    }
}

Summary MouseTracking::summary() const {
    Summary s;
    s.moved = moved_;
    s.cpi = cpi_;
    if (speed_cpms_ >= 0)
        s.speed_cpms = speed_cpms_;
    if (peak_cpms_ >= 0)
        s.peak_cpms = peak_cpms_;
    s.spinouts = spinouts_;
    if (device_counts_)
        s.saturated = field_ < no_field ? saturated_[field_] : 0;
    // The earlier of the first spin-out and the first saturated report of the
    // field the mouse has.
    const First* first = first_spinout_.seen ? &first_spinout_ : nullptr;
    if (device_counts_ && field_ < no_field && first_saturated_[field_].seen &&
        (first == nullptr || first_saturated_[field_].report < first->report))
        first = &first_saturated_[field_];
    if (first != nullptr && !std::isnan(first->speed_cpms))
        s.malfunction_cpms = first->speed_cpms;
    return s;
}

const Row& stats_titles() {
    static const Row titles = {"mouse",     "cpi",      "peak_cpms",        "peak_mps",
                               "saturated", "spinouts", "malfunction_cpms", "malfunction_mps",
                               "name"};
    return titles;
}

Row format_row(int mouse_number, std::string_view name, const Summary& s) {
    const auto speed = [](const std::optional<double>& cpms) {
        return cpms ? two_decimals(*cpms) : "-";
    };
    const auto mps = [&](const std::optional<double>& cpms) {
        return cpms && s.cpi ? two_decimals(metres_per_second(*cpms, *s.cpi)) : "-";
    };
    Row row;
    row[column::mouse] = std::to_string(mouse_number);
    row[column::cpi] = s.cpi ? std::to_string(std::lround(*s.cpi)) : "-";
    row[column::peak_cpms] = speed(s.peak_cpms);
    row[column::peak_mps] = mps(s.peak_cpms);
    row[column::saturated] = s.saturated ? std::to_string(*s.saturated) : "-";
    row[column::spinouts] = std::to_string(s.spinouts);
    row[column::malfunction_cpms] = speed(s.malfunction_cpms);
    row[column::malfunction_mps] = mps(s.malfunction_cpms);
    row[column::name] = name.empty() ? "-" : std::string(name);
    return row;
}

}  // namespace measures::tracking
