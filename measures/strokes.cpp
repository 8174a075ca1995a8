#include "measures/strokes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "measures/timing.h"

namespace measures::strokes {
namespace {

// The strokes figures() reads at most: the kept ones and the open one.
constexpr std::size_t most_read = kept + 1;
// A stroke is settled once no spin-out found later can be near it: one
// collapsing up to near_spinout_us after its end is found up to that much
// later again, when the stroke it was in goes on.
constexpr std::int64_t settle_us = 2 * near_spinout_us;

// The median of the first `n` of `values`, which it reorders.
template <std::size_t N>
double median(std::array<double, N>& values, std::size_t n) {
    std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double report_length(std::int32_t dx, std::int32_t dy) {
    const double x = dx;
    const double y = dy;
    return std::sqrt(x * x + y * y);
}

std::string decimals(double value, int places, bool sign = false) {
    char text[32];
    std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", places, value);
    std::string s = text;
    // A figure that rounds to zero reads as zero, with no sign.
    if (s.find_first_not_of("+-0.") == std::string::npos)
        s.erase(0, s.front() == '+' || s.front() == '-' ? 1 : 0);
    return s;
}

}  // namespace

Figures figures(std::span<const Stroke> all, int field) {
    if (all.size() > most_read)
        all = all.last(most_read);
    const std::size_t n = all.size();
    Figures f;
    // Straight, and usable: it tracked, and its speed is known.
    std::array<bool, most_read> straight{};
    std::array<bool, most_read> usable{};
    std::array<std::size_t, most_read> by_peak{};
    std::size_t usable_count = 0;
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Stroke& s = all[i];
        straight[i] = s.length > 0 && s.length >= straight_share * s.path;
        usable[i] = straight[i] && !std::isnan(s.peak_cpms) && !s.near_spinout &&
                    !(field >= 0 && s.saturated_field == field);
        if (usable[i]) {
            by_peak[usable_count++] = i;
            total += s.length;
        }
    }
    if (usable_count == 0)
        return f;

    // The slower half, counted in length, and its strokes of a quarter of
    // its longest at least: the reference length is their median.
    std::sort(by_peak.begin(), by_peak.begin() + static_cast<std::ptrdiff_t>(usable_count),
              [&](std::size_t a, std::size_t b) {
                  return all[a].peak_cpms != all[b].peak_cpms ? all[a].peak_cpms < all[b].peak_cpms
                                                              : a < b;
              });
    std::size_t half = 0;
    double slower = 0;
    double longest = 0;
    while (half < usable_count && slower < total / 2) {
        const double length = all[by_peak[half++]].length;
        slower += length;
        longest = std::max(longest, length);
    }
    std::array<double, most_read> lengths{};
    std::size_t long_ones = 0;
    for (std::size_t k = 0; k < half; ++k) {
        const double length = all[by_peak[k]].length;
        if (length >= longest / 4)
            lengths[long_ones++] = length;
    }
    const double reference = median(lengths, long_ones);
    f.reference_counts = reference;

    const auto in_band = [&](std::size_t i) {
        return straight[i] && std::abs(all[i].length - reference) <= band_share * reference;
    };
    const auto opposite = [&](std::size_t i, std::size_t j) {
        const Stroke& a = all[i];
        const Stroke& b = all[j];
        const double dot = static_cast<double>(a.x) * static_cast<double>(b.x) +
                           static_cast<double>(a.y) * static_cast<double>(b.y);
        return dot <= opposite_cosine * a.length * b.length;
    };
    // The nearest stroke of a quarter of the reference length at least, from
    // `i` on in steps of `step`; n when there is none.
    const auto neighbour = [&](std::size_t i, int step) {
        for (auto j = static_cast<std::ptrdiff_t>(i) + step;
             j >= 0 && j < static_cast<std::ptrdiff_t>(n); j += step) {
            if (all[static_cast<std::size_t>(j)].length >= reference / 4)
                return static_cast<std::size_t>(j);
        }
        return n;
    };
    std::array<std::size_t, most_read> between{};
    float fastest = 0;
    float slowest = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        if (!usable[i] || !in_band(i))
            continue;
        const std::size_t before = neighbour(i, -1);
        const std::size_t after = neighbour(i, 1);
        if ((before < n && in_band(before) && opposite(i, before)) ||
            (after < n && in_band(after) && opposite(i, after))) {
            between[f.between++] = i;
            fastest = std::max(fastest, all[i].peak_cpms);
            slowest = std::min(slowest, all[i].peak_cpms);
        }
    }
    if (f.between == 0)
        return f;

    // Slow and fast, and the last of each, newest first.
    const bool one_pace = fastest < 3 * slowest;
    std::array<double, last_strokes> slow_lengths{};
    std::array<double, last_strokes> slow_peaks{};
    std::array<double, last_strokes> fast_lengths{};
    std::array<double, last_strokes> fast_peaks{};
    std::size_t slow_taken = 0;
    std::size_t fast_taken = 0;
    for (std::size_t k = f.between; k-- > 0;) {
        const Stroke& s = all[between[k]];
        if (one_pace || s.peak_cpms <= fastest / 3) {
            ++f.slow;
            if (slow_taken < last_strokes) {
                slow_lengths[slow_taken] = s.length;
                slow_peaks[slow_taken++] = s.peak_cpms;
            }
        } else if (s.peak_cpms >= 2 * fastest / 3) {
            ++f.fast;
            if (fast_taken < last_strokes) {
                fast_lengths[fast_taken] = s.length;
                fast_peaks[fast_taken++] = s.peak_cpms;
            }
        }
    }
    if (slow_taken < min_slow)
        return f;
    f.cpi_strokes = slow_taken;
    const auto [shortest, longest_slow] =
        std::minmax_element(slow_lengths.begin(), slow_lengths.begin() + slow_taken);
    const double spread = *longest_slow - *shortest;
    const double slow_median = median(slow_lengths, slow_taken);
    f.slow_counts = slow_median;
    f.spread_pct = 100 * spread / slow_median;
    f.slow_cpms = median(slow_peaks, slow_taken);
    f.cpi_valid = *f.spread_pct <= max_spread_pct;
    if (!f.cpi_valid || fast_taken < min_fast)
        return f;
    f.variation_strokes = fast_taken;
    f.fast_cpms = median(fast_peaks, fast_taken);
    f.variation_pct = 100 * (median(fast_lengths, fast_taken) / slow_median - 1);
    return f;
}

void MouseStrokes::reset() {
    const std::uint64_t generation = generation_;
    const std::uint64_t cpi_generation = cpi_generation_;
    const std::uint64_t spinouts_seen = spinouts_seen_;  // the tracking's, which goes on
    *this = MouseStrokes();
    generation_ = generation + 1;
    cpi_generation_ = cpi_generation + 1;
    spinouts_seen_ = spinouts_seen;
}

void MouseStrokes::add_report(std::int64_t time_us, std::int32_t dx, std::int32_t dy,
                              const tracking::MouseTracking& tracking) {
    ++generation_;
    const std::size_t saturated = tracking.last_saturated_field();
    const Most here{tracking.last_speed_cpms(),
                    static_cast<std::int8_t>(saturated == tracking::MouseTracking::no_field
                                                 ? -1
                                                 : static_cast<int>(saturated))};
    field_ = tracking.field();
    // A spin-out found now (the tracking's count moved on; a reset of it
    // counts from 0 again).
    if (tracking.spinouts() != spinouts_seen_) [[unlikely]] {
        if (tracking.spinouts() > spinouts_seen_)
            spun_out(tracking.last_spinout_us());
        spinouts_seen_ = tracking.spinouts();
    }

    // A pause, or a stamp going back, ends the stroke at its last report.
    const std::int64_t interval_us = time_us - at_.us;
    if (!open_ || interval_us < 0 || interval_us >= timing::pause_us) [[unlikely]] {
        start(time_us, dx, dy, here);
    } else {
        // The tracking's speed over the report's interval: its movement over
        // the last 4 ms, spread over it. Before the speed is known (the first
        // 4 ms of a stroke, which start and end slowly), the report's own
        // length.
        advance(time_us, dx, dy,
                !std::isnan(here.peak)
                    ? static_cast<double>(here.peak) * static_cast<double>(interval_us) * 1e-3
                    : report_length(dx, dy));
        // Squared in double: no overflow, however far one stroke goes.
        const auto ex = static_cast<double>(at_.x - start_.x);
        const auto ey = static_cast<double>(at_.y - start_.y);
        const double d2 = ex * ex + ey * ey;
        if (d2 > far_d2_) {
            to_far_.take(since_far_);
            to_far_.take(here);
            since_far_ = Most{};
            far_ = at_;
            far_d2_ = d2;
            set_turn_limit();
        } else {
            since_far_.take(here);
            if (d2 <= turn_d2_) [[unlikely]]
                turn();
        }
    }
    if (time_us > settles_after_us_) [[unlikely]]
        settle(time_us);
}

void MouseStrokes::start(std::int64_t time_us, std::int32_t dx, std::int32_t dy, const Most& here) {
    if (open_)
        finish(at_, whole());
    // The stroke starts from rest where the mouse was: its first report
    // carries counts of an unknown span before its stamp.
    Point from = at_;
    from.us = time_us;
    begin(from);
    if (latest_spin_us_ >= time_us - near_spinout_us)
        first_spin_us_ = last_spin_us_ = latest_spin_us_;
    advance(time_us, dx, dy, report_length(dx, dy));
    to_far_.take(here);  // begin() emptied it
    far_ = at_;
    far_d2_ = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
    set_turn_limit();
}

void MouseStrokes::turn() {
    // It ends at its greatest distance, and the next begins there with the
    // counts after it, whose own greatest distance from there is where the
    // mouse is now.
    const Point far = far_;
    const Most after = since_far_;
    const std::int64_t first_spin = first_spin_us_;
    const std::int64_t last_spin = last_spin_us_;
    finish(far_, to_far_);
    begin(far);
    if (last_spin >= far.us - near_spinout_us) {
        first_spin_us_ = first_spin >= far.us - near_spinout_us ? first_spin : last_spin;
        last_spin_us_ = last_spin;
    }
    const auto fx = static_cast<double>(at_.x - far.x);
    const auto fy = static_cast<double>(at_.y - far.y);
    to_far_ = after;
    far_ = at_;
    far_d2_ = fx * fx + fy * fy;
    set_turn_limit();
}

void MouseStrokes::begin(const Point& at) {
    open_ = true;
    start_ = far_ = at;
    far_d2_ = 0;
    turn_d2_ = -1;
    to_far_ = since_far_ = Most{};
    first_spin_us_ = last_spin_us_ = no_spin;
}

inline void MouseStrokes::set_turn_limit() {
    // Turned back once the distance d from the start is at most
    // far - max(turn_share * far, turn_min_counts): compared squared, as
    // (0.95 far)² beyond 80 counts, where no square root is needed.
    constexpr double keep = 1 - turn_share;
    constexpr double long_from = turn_min_counts / turn_share;
    const double far2 = far_d2_;
    if (far2 >= long_from * long_from) [[likely]] {
        turn_d2_ = keep * keep * far2;
    } else {
        const double back = std::sqrt(far2) - turn_min_counts;
        turn_d2_ = back > 0 ? back * back : -1;
    }
}

Stroke MouseStrokes::stroke_to(const Point& end, const Most& most, bool near_spinout) const {
    Stroke s;
    s.start_us = start_.us;
    s.end_us = end.us;
    s.x = end.x - start_.x;
    s.y = end.y - start_.y;
    s.length = std::hypot(static_cast<double>(s.x), static_cast<double>(s.y));
    s.path = end.path - start_.path;
    s.peak_cpms = most.peak >= 0 ? most.peak : std::numeric_limits<float>::quiet_NaN();
    s.saturated_field = most.field;
    s.near_spinout = near_spinout;
    return s;
}

void MouseStrokes::finish(const Point& end, const Most& most) {
    const Stroke& s = ring_[next_] = stroke_to(
        end, most, first_spin_us_ != no_spin && first_spin_us_ <= end.us + near_spinout_us);
    next_ = (next_ + 1) % kept;
    count_ = std::min(count_ + 1, kept);
    unsettled_ = std::min(unsettled_ + 1, count_);
    settles_after_us_ = std::min(settles_after_us_, s.end_us + settle_us);
    ++strokes_;
    lengths_ += s.length;
    open_ = false;
}

void MouseStrokes::spun_out(std::int64_t collapse_us) {
    latest_spin_us_ = std::max(latest_spin_us_, collapse_us);
    if (open_ && collapse_us >= start_.us - near_spinout_us) {
        first_spin_us_ =
            first_spin_us_ == no_spin ? collapse_us : std::min(first_spin_us_, collapse_us);
        last_spin_us_ = std::max(last_spin_us_, collapse_us);
    }
    // The strokes that ended within reach of it, newest first: none of them
    // settled yet.
    for (std::size_t k = 0; k < count_; ++k) {
        Stroke& s = ring_[(next_ + kept - 1 - k) % kept];
        if (s.end_us + near_spinout_us < collapse_us)
            break;
        if (s.start_us - near_spinout_us <= collapse_us)
            s.near_spinout = true;
    }
}

void MouseStrokes::settle(std::int64_t now_us) {
    const std::size_t before = unsettled_;
    while (unsettled_ > 0 && ring_[(next_ + kept - unsettled_) % kept].end_us + settle_us < now_us)
        --unsettled_;
    settles_after_us_ = unsettled_ > 0
                            ? ring_[(next_ + kept - unsettled_) % kept].end_us + settle_us
                            : std::numeric_limits<std::int64_t>::max();
    if (unsettled_ == before)
        return;
    // The settled strokes' figures: the last valid ones are held.
    std::array<Stroke, kept + 1> strokes;
    const std::size_t n = copy_kept(strokes, false) - unsettled_;
    const Figures f = figures(std::span<const Stroke>(strokes.data(), n), field());
    if (f.cpi_valid) {
        if (held_cpi_.slow_counts != f.slow_counts)
            ++cpi_generation_;
        held_cpi_ = f;
    }
    if (f.variation_pct)
        held_variation_ = f;
}

Stroke MouseStrokes::open_stroke() const {
    return stroke_to(at_, whole(), first_spin_us_ != no_spin);
}

std::size_t MouseStrokes::copy_kept(std::array<Stroke, kept + 1>& out, bool with_open) const {
    for (std::size_t i = 0; i < count_; ++i)
        out[i] = ring_[(next_ + kept - count_ + i) % kept];
    if (!with_open || !open_)
        return count_;
    out[count_] = open_stroke();
    return count_ + 1;
}

std::size_t MouseStrokes::size() const {
    return std::min(count_ + (open_ ? 1 : 0), kept);
}

Stroke MouseStrokes::operator[](std::size_t i) const {
    // With the open one, the oldest kept one is left out.
    const std::size_t first = count_ + (open_ ? 1 : 0) > kept ? 1 : 0;
    const std::size_t k = first + i;
    return k < count_ ? ring_[(next_ + kept - count_ + k) % kept] : open_stroke();
}

Summary MouseStrokes::summary(std::optional<double> distance_mm) const {
    std::array<Stroke, kept + 1> all;
    const std::size_t n = copy_kept(all, true);
    const std::size_t first = n > kept ? n - kept : 0;
    const Figures live = figures(std::span<const Stroke>(all.data() + first, n - first), field());
    Summary s;
    s.strokes = strokes_ + (open_ ? 1 : 0);
    s.kept = n - first;
    s.between = live.between;
    s.slow = live.slow;
    s.fast = live.fast;
    // The live figures where they are valid; else the last valid ones, held.
    s.cpi_held = !live.cpi_valid && held_cpi_.cpi_valid;
    const Figures& c = s.cpi_held ? held_cpi_ : live;
    s.cpi_strokes = c.cpi_strokes;
    s.slow_counts = c.slow_counts;
    s.spread_pct = c.spread_pct;
    s.distance_mm = distance_mm;
    if (c.cpi_valid && distance_mm && *distance_mm > 0)
        s.cpi = *c.slow_counts * 25.4 / *distance_mm;
    s.variation_held = !live.variation_pct.has_value() && held_variation_.variation_pct.has_value();
    const Figures& v = s.variation_held ? held_variation_ : live;
    s.variation_strokes = v.variation_strokes;
    s.variation_pct = v.variation_pct;
    s.fast_cpms = v.fast_cpms;
    s.slow_cpms = v.variation_pct ? v.slow_cpms : c.slow_cpms;
    const double travel = lengths_ + (open_ ? open_stroke().length : 0);
    s.one_way = travel > 0 &&
                std::hypot(static_cast<double>(at_.x), static_cast<double>(at_.y)) >= 0.9 * travel;
    return s;
}

const Row& column_titles() {
    static const Row titles = {"mouse",    "strokes",     "between",   "CPI",
                               "spread %", "slow c/ms",   "fast c/ms", "slow m/s",
                               "fast m/s", "variation %", "name"};
    return titles;
}

const Row& stats_titles() {
    static const Row titles = {"mouse",      "strokes",       "between",   "cpi",
                               "spread_pct", "slow_cpms",     "fast_cpms", "slow_mps",
                               "fast_mps",   "variation_pct", "name"};
    return titles;
}

Row format_row(int mouse_number, std::string_view name, const Summary& s,
               std::optional<double> speed_cpi) {
    Row row;
    row.fill("-");
    row[column::mouse] = std::to_string(mouse_number);
    row[column::strokes] = std::to_string(s.strokes);
    row[column::between] = std::to_string(s.between);
    if (s.cpi)
        row[column::cpi] = std::to_string(std::lround(*s.cpi));
    if (s.spread_pct)
        row[column::spread_pct] = decimals(*s.spread_pct, 1);
    const std::optional<double> cpi = s.cpi ? s.cpi : speed_cpi;
    const auto speed = [&](const std::optional<double>& cpms, std::size_t counts_column,
                           std::size_t mps_column) {
        if (!cpms)
            return;
        row[counts_column] = decimals(*cpms, 2);
        if (cpi && *cpi > 0)
            row[mps_column] = decimals(tracking::metres_per_second(*cpms, *cpi), 2);
    };
    speed(s.slow_cpms, column::slow_cpms, column::slow_mps);
    speed(s.fast_cpms, column::fast_cpms, column::fast_mps);
    if (s.variation_pct)
        row[column::variation_pct] = decimals(*s.variation_pct, 1, true);
    row[column::name] = name.empty() ? "-" : std::string(name);
    return row;
}

}  // namespace measures::strokes
