#include "measures/movement.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>

namespace measures::movement {
namespace {

constexpr std::int64_t ring_size = static_cast<std::int64_t>(bins);
constexpr std::int64_t max_lag_bins = max_lag_us / bin_us;
// Speeds are compared over windows of 4 ms (or the slower mouse's median
// interval, when longer), one window every ms: the coarse search's steps.
constexpr std::int64_t window_bins = 4000 / bin_us;
constexpr std::int64_t step_bins = 1000 / bin_us;
constexpr std::int64_t max_lag_steps = max_lag_us / (step_bins * bin_us);
// The lag found a step at a time is refined to a bin within this many bins
// either side: the step, and half again for a coarse best one step off.
constexpr std::int64_t refine_bins = step_bins + step_bins / 2;
// Gaps between a mouse's moving bins longer than this are pauses, not its
// packet interval.
constexpr std::int64_t max_interval_bins = 64;

std::size_t slot(std::int64_t bin) {
    return static_cast<std::size_t>(bin - floor_div(bin, ring_size) * ring_size);
}

std::int16_t saturated(std::int32_t value) {
    return static_cast<std::int16_t>(std::clamp<std::int32_t>(
        value, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

std::string fixed(double value, int decimals) {
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (ec != std::errc())
        return "-";
    std::string s(text, end);
    // A figure that rounds to zero reads as zero, never "-0.0".
    if (s.front() == '-' && s.find_first_not_of("-0.") == std::string::npos)
        s.erase(0, 1);
    return s;
}

// A mouse's speeds, one a step, with what every correlation of them needs at
// hand: the sums of the values and of their squares, and the range where
// they are not zero.
struct Speeds {
    std::vector<float> speed;
    double sum = 0;
    double squares = 0;
    std::int64_t moving_from = 0;  // the first speed that is not zero
    std::int64_t moving_to = 0;    // past the last one

    void index() {
        // Four sums each, so that no addition waits for the one before it;
        // zeros add nothing, so no test for them.
        const std::size_t n = speed.size();
        double s[4] = {};
        double q[4] = {};
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            for (std::size_t k = 0; k < 4; ++k) {
                const double v = speed[i + k];
                s[k] += v;
                q[k] += v * v;
            }
        }
        for (; i < n; ++i) {
            const double v = speed[i];
            s[0] += v;
            q[0] += v * v;
        }
        sum = (s[0] + s[1]) + (s[2] + s[3]);
        squares = (q[0] + q[1]) + (q[2] + q[3]);
        const auto moving = [](float v) { return v != 0; };
        const auto first = std::find_if(speed.begin(), speed.end(), moving);
        const auto last = std::find_if(speed.rbegin(), speed.rend(), moving);
        moving_from = first - speed.begin();
        moving_to = speed.rend() - last;
        if (moving_to <= moving_from)
            moving_from = moving_to = 0;
    }
    // The sums of the values and of their squares over [from, to): the
    // whole's less what lies outside, which is short (a lag's length).
    std::pair<double, double> sums(std::int64_t from, std::int64_t to) const {
        double s = sum;
        double q = squares;
        const auto take = [&](std::int64_t lo, std::int64_t hi) {
            for (std::int64_t i = std::max(lo, moving_from); i < std::min(hi, moving_to); ++i) {
                const double v = speed[static_cast<std::size_t>(i)];
                s -= v;
                q -= v * v;
            }
        };
        take(0, from);
        take(to, static_cast<std::int64_t>(speed.size()));
        return {s, q};
    }
};

// One mouse's movement over the compared span: its cumulative counts, each
// packet's spread over the poll interval before it, and its intervals.
struct Series {
    // The counts before each bin, and at the end: bins + 1 of them.
    std::vector<double> x;
    std::vector<double> y;
    std::int64_t interval = 1;  // the median gap between moving bins
    bool moving = false;
    // The counts are the first ones before moves_from and the last ones
    // from moves_to on.
    std::int64_t moves_from = 0;
    std::int64_t moves_to = 0;
};

// The bins of a poll period: none when it is not known.
std::int64_t poll_bins(const std::optional<std::int64_t>& period_us) {
    return period_us ? std::max<std::int64_t>(1, *period_us / bin_us) : 1;
}

// Fills `s` (its buffers reused) from a mouse's bins over the span, each
// packet's counts spread over `poll` bins before it.
void series_of(const std::vector<MouseMovement::Bin>& binned, std::int64_t poll, Series& s) {
    // The gaps between bins that moved (pauses left out).
    std::array<std::uint32_t, max_interval_bins + 1> gaps{};
    std::uint32_t gap_count = 0;
    std::int64_t previous = -max_interval_bins - 1;
    bool moving = false;  // a local, not stored at every bin
    // A steady mouse makes the same gap again and again: counted in a run
    // kept in a register, not by incrementing one counter in memory at every
    // bin, which would wait each time for the increment before it.
    std::int64_t run_gap = 0;
    std::uint32_t run = 0;
    for (std::int64_t i = 0; i < ring_size; ++i) {
        const MouseMovement::Bin& bin = binned[static_cast<std::size_t>(i)];
        if (bin.dx != 0 || bin.dy != 0) {
            moving = true;
            const std::int64_t gap = i - previous;
            if (gap <= max_interval_bins) {
                if (gap != run_gap) {
                    gaps[static_cast<std::size_t>(run_gap)] += run;
                    run_gap = gap;
                    run = 0;
                }
                ++run;
                ++gap_count;
            }
            previous = i;
        }
    }
    gaps[static_cast<std::size_t>(run_gap)] += run;
    s.moving = moving;
    s.interval = 1;
    for (std::uint32_t seen = 0; gap_count > 0; ++s.interval) {
        seen += gaps[static_cast<std::size_t>(s.interval)];
        if (2 * seen >= gap_count)
            break;
    }

    s.x.resize(bins + 1);
    s.y.resize(bins + 1);
    double x = 0;
    double y = 0;
    for (std::size_t i = 0; i < bins; ++i) {
        s.x[i] = x;
        s.y[i] = y;
        x += binned[i].dx;
        y += binned[i].dy;
    }
    s.x[bins] = x;
    s.y[bins] = y;
    if (poll > 1) {
        // A packet reports the movement since the poll before it: spread
        // over that poll period, the counts before bin i are the mean of
        // the unspread ones before bins i to i + poll - 1 (the last bin's
        // standing for those past the span).
        const auto spread = [poll](std::vector<double>& c) {
            const auto n = static_cast<std::int64_t>(bins);
            const auto at = [](std::int64_t i) { return static_cast<std::size_t>(i); };
            double sum = 0;
            for (std::int64_t k = 0; k < poll; ++k)
                sum += c[at(std::min(k, n))];
            for (std::int64_t i = 0; i <= n; ++i) {
                const double unspread = c[at(i)];
                c[at(i)] = sum / static_cast<double>(poll);
                sum += c[at(std::min(i + poll, n))] - unspread;
            }
        };
        spread(s.x);
        spread(s.y);
    }
    const auto n = static_cast<std::int64_t>(bins) + 1;
    const auto differs = [&s](std::int64_t i, std::int64_t j) {
        const auto at = [](std::int64_t k) { return static_cast<std::size_t>(k); };
        return s.x[at(i)] != s.x[at(j)] || s.y[at(i)] != s.y[at(j)];
    };
    s.moves_from = 0;
    while (s.moves_from < n && !differs(s.moves_from, 0))
        ++s.moves_from;
    s.moves_to = n;
    while (s.moves_to > 0 && !differs(s.moves_to - 1, n - 1))
        --s.moves_to;
}

// A mouse's speeds: the lengths of its movement over windows of `window`
// bins, the first from bin `first`, then one every step_bins.
void speeds_of(const Series& s, std::int64_t window, std::int64_t first, Speeds& out) {
    const auto n = static_cast<std::int64_t>(bins);
    out.speed.resize(bins / step_bins);
    for (std::size_t j = 0; j < out.speed.size(); ++j) {
        const auto from =
            static_cast<std::size_t>(std::min(first + static_cast<std::int64_t>(j) * step_bins, n));
        const auto to =
            static_cast<std::size_t>(std::min(static_cast<std::int64_t>(from) + window, n));
        const double dx = s.x[to] - s.x[from];
        const double dy = s.y[to] - s.y[from];
        out.speed[j] = static_cast<float>(std::sqrt(dx * dx + dy * dy));
    }
    out.index();
}

// The sum of x[i] * y[i] for i below n, in four independent sums so that
// the additions need not wait for each other.
double dot(const float* x, const float* y, std::int64_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += static_cast<double>(x[i]) * y[i];
        s1 += static_cast<double>(x[i + 1]) * y[i + 1];
        s2 += static_cast<double>(x[i + 2]) * y[i + 2];
        s3 += static_cast<double>(x[i + 3]) * y[i + 3];
    }
    for (; i < n; ++i)
        s0 += static_cast<double>(x[i]) * y[i];
    return (s0 + s1) + (s2 + s3);
}

// Pearson's correlation of a[i] with b[i + lag] over the bins both cover;
// nothing when either is flat there. The products are taken only where both
// move.
std::optional<double> correlation(const Speeds& a, const Speeds& b, std::int64_t lag) {
    const auto n = static_cast<std::int64_t>(a.speed.size());
    const std::int64_t from = std::max<std::int64_t>(0, -lag);
    const std::int64_t to = std::min<std::int64_t>(n, n - lag);
    if (to - from < 2)
        return std::nullopt;
    const auto at = [](std::int64_t i) { return static_cast<std::size_t>(i); };
    const auto [sa, saa] = a.sums(from, to);
    const auto [sb, sbb] = b.sums(from + lag, to + lag);
    const std::int64_t lo = std::max({from, a.moving_from, b.moving_from - lag});
    const std::int64_t hi = std::min({to, a.moving_to, b.moving_to - lag});
    const double sab = hi > lo ? dot(&a.speed[at(lo)], &b.speed[at(lo + lag)], hi - lo) : 0.0;
    const auto count = static_cast<double>(to - from);
    const double va = saa - sa * sa / count;
    const double vb = sbb - sb * sb / count;
    // Flat, up to the rounding of the sums.
    if (va <= 1e-9 * saa || vb <= 1e-9 * sbb)
        return std::nullopt;
    return (sab - sa * sb / count) / std::sqrt(va * vb);
}

// The sum over i in [lo, hi) of B's counts before bin i + lag times the
// conjugate of A's before bin i, the counts as x + iy: its real part and its
// imaginary part. Each product of a coordinate by a coordinate in four sums
// side by side, which the compiler does two or four at a time.
std::pair<double, double> cross(const Series& a, const Series& b, std::int64_t lo, std::int64_t hi,
                                std::int64_t lag) {
    const double* ax = a.x.data();
    const double* ay = a.y.data();
    const double* bx = b.x.data() + lag;
    const double* by = b.y.data() + lag;
    double xx[4] = {}, yy[4] = {}, xy[4] = {}, yx[4] = {};
    std::int64_t i = lo;
    for (; i + 4 <= hi; i += 4) {
        for (std::int64_t k = 0; k < 4; ++k) {
            xx[k] += ax[i + k] * bx[i + k];
            yy[k] += ay[i + k] * by[i + k];
            xy[k] += ax[i + k] * by[i + k];
            yx[k] += ay[i + k] * bx[i + k];
        }
    }
    for (; i < hi; ++i) {
        xx[0] += ax[i] * bx[i];
        yy[0] += ay[i] * by[i];
        xy[0] += ax[i] * by[i];
        yx[0] += ay[i] * bx[i];
    }
    const auto total = [](const double(&s)[4]) { return (s[0] + s[1]) + (s[2] + s[3]); };
    return {total(xx) + total(yy), total(xy) - total(yx)};
}

// Where B's cumulative counts follow A's best, to a bin: the lag in [from,
// to] bins at which B's counts are closest to a scaled and turned copy of A's
// (least squares over x + iy, so that a mouse taped on askew pairs too), and
// that scale: B's movement over A's. The fit changes smoothly with the lag:
// it is tried 8 bins apart, then at halving steps around the best.
struct Fit {
    std::int64_t lag = 0;
    double ratio = 0;
    // The covariance's size squared over B's variance: A's variance (the
    // same at every lag) times the share of B's that A's explains.
    double score = -1;
};
Fit fit(const Series& a, const Series& b, std::int64_t from, std::int64_t to) {
    const auto n = static_cast<std::int64_t>(a.x.size());
    // The bins of A that B has counts for at every lag tried.
    const std::int64_t lo = std::max<std::int64_t>(0, -from);
    const std::int64_t hi = std::min(n, n - to);
    const auto m = static_cast<double>(hi - lo);
    struct Sums {
        double x = 0, y = 0, squares = 0;
    };
    const auto add = [](const Series& s, std::int64_t i, double sign, Sums& sums) {
        const double x = s.x[static_cast<std::size_t>(i)];
        const double y = s.y[static_cast<std::size_t>(i)];
        sums.x += sign * x;
        sums.y += sign * y;
        sums.squares += sign * (x * x + y * y);
    };
    Sums sa;
    Sums sb_from;  // B's over [lo + from, hi + from)
    for (std::int64_t i = lo; i < hi; ++i) {
        add(a, i, 1, sa);
        add(b, i + from, 1, sb_from);
    }
    const double va = sa.squares - (sa.x * sa.x + sa.y * sa.y) / m;
    // Where B stands still at every lag tried, before its movement and after
    // it, A's counts meet the same B counts at every lag: their products are
    // summed once, from A's sums there, and only the bins between are
    // multiplied again at each lag.
    const std::int64_t moving_lo = std::clamp(b.moves_from - to, lo, hi);
    const std::int64_t moving_hi = std::clamp(b.moves_to - from, moving_lo, hi);
    Sums before;
    Sums after;
    for (std::int64_t i = lo; i < moving_lo; ++i)
        add(a, i, 1, before);
    for (std::int64_t i = moving_hi; i < hi; ++i)
        add(a, i, 1, after);
    const double first_x = b.x.front(), first_y = b.y.front();
    const double last_x = b.x.back(), last_y = b.y.back();
    const double still_re =
        before.x * first_x + before.y * first_y + after.x * last_x + after.y * last_y;
    const double still_im =
        before.x * first_y - before.y * first_x + after.x * last_y - after.y * last_x;
    Fit best;
    const auto try_lag = [&](std::int64_t lag) {
        // B's sums over [lo + lag, hi + lag): those at `from`, moved along.
        Sums sb = sb_from;
        for (std::int64_t i = from; i < lag; ++i) {
            add(b, hi + i, 1, sb);
            add(b, lo + i, -1, sb);
        }
        const auto [re, im] = cross(a, b, moving_lo, moving_hi, lag);
        const double cre = still_re + re - (sa.x * sb.x + sa.y * sb.y) / m;
        const double cim = still_im + im - (sa.x * sb.y - sa.y * sb.x) / m;
        const double covariance = cre * cre + cim * cim;  // its size squared
        const double vb = sb.squares - (sb.x * sb.x + sb.y * sb.y) / m;
        if (vb > 0 && covariance / vb > best.score) {
            best.score = covariance / vb;
            best.lag = lag;
            best.ratio = va > 0 ? std::sqrt(covariance) / va : 0;
        }
    };
    std::int64_t step = 8;
    for (std::int64_t lag = from; lag <= to; lag += step)
        try_lag(lag);
    while (step > 1) {
        step /= 2;
        const std::int64_t around = best.lag;
        for (const std::int64_t lag : {around - step, around + step}) {
            if (lag >= from && lag <= to)
                try_lag(lag);
        }
    }
    return best;
}

}  // namespace

std::optional<double> parse_distance_mm(std::string_view text) {
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || !digits(whole) || !digits(fraction) ||
        (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !(value > 0) ||
        value > max_distance_mm)
        return std::nullopt;
    return value;
}

std::string format_distance_mm(double distance_mm) {
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, distance_mm, std::chars_format::fixed);
    return ec == std::errc() ? std::string(text, end) : std::string("-");
}

MouseMovement::MouseMovement() : ring_(bins) {}

void MouseMovement::add_counts(std::int64_t time_us, std::int32_t dx, std::int32_t dy) {
    summary_.counts_x += dx;
    summary_.counts_y += dy;
    // Counts are far below where squaring in double loses precision: no
    // need for hypot's care, which costs more than the rest of the packet.
    const double x = dx;
    const double y = dy;
    summary_.path += std::sqrt(x * x + y * y);
    ++summary_.relative;
    ++generation_;

    const std::int64_t number = floor_div(time_us, bin_us);
    std::size_t at = last_slot_;  // the slot of bin `number`, found below
    if (!last_bin_ || number <= *last_bin_ - ring_size) {
        // The first movement, or a clock that went back past the ring: it
        // starts afresh.
        if (last_bin_)
            std::fill(ring_.begin(), ring_.end(), Bin{});
        last_bin_ = number;
        at = last_slot_ = slot(number);
    } else if (number > *last_bin_) {
        // The bins passed since the last movement are empty. Within the
        // ring, walked from the last one's slot, not each found by a
        // division; after a pause longer than the ring, all of it, and the
        // new bin in its own slot (a walk of a ring's length would end where
        // it began).
        const std::int64_t passed = number - *last_bin_;
        if (passed >= ring_size) {
            std::fill(ring_.begin(), ring_.end(), Bin{});
            at = slot(number);
        } else {
            for (std::int64_t k = 0; k < passed; ++k) {
                at = at + 1 == ring_.size() ? 0 : at + 1;
                ring_[at] = Bin{};
            }
        }
        last_bin_ = number;
        last_slot_ = at;
    } else if (number < *last_bin_) {
        at = slot(number);  // a late packet, within the ring
    }
    Bin& b = ring_[at];
    b.dx = saturated(b.dx + dx);
    b.dy = saturated(b.dy + dy);
}

void MouseMovement::copy_bins(std::int64_t first, std::vector<Bin>& out) const {
    std::fill(out.begin(), out.end(), Bin{});
    if (!last_bin_)
        return;
    // The bins the ring holds, [last - ring + 1, last], within the span asked
    // for: at most two runs of the ring, before and after its end.
    std::int64_t from = std::max(first, *last_bin_ - ring_size + 1);
    const std::int64_t to = std::min(first + static_cast<std::int64_t>(out.size()), *last_bin_ + 1);
    while (from < to) {
        const std::size_t at = slot(from);
        const auto run =
            std::min<std::int64_t>(to - from, ring_size - static_cast<std::int64_t>(at));
        std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(at), run,
                    out.begin() + static_cast<std::ptrdiff_t>(from - first));
        from += run;
    }
}

void MouseMovement::reset() {
    summary_ = Summary{};
    std::fill(ring_.begin(), ring_.end(), Bin{});
    last_bin_.reset();
    last_slot_ = 0;
    ++generation_;
}

struct Comparison::State {
    std::vector<MouseMovement::Bin> bins_a = std::vector<MouseMovement::Bin>(bins);
    std::vector<MouseMovement::Bin> bins_b = std::vector<MouseMovement::Bin>(bins);
    Series a;
    Series b;
    Speeds speeds_a;
    Speeds speeds_b;
    std::int64_t poll_a = 1;  // each mouse's poll period, in bins
    std::int64_t poll_b = 1;
    std::int64_t window = window_bins;  // the speeds' window, in bins
    std::int64_t coarse_lag = 0;        // the best a step at a time, in steps
    double coarse_correlation = 0;      // there
};

Comparison::Comparison() : state_(std::make_unique<State>()) {}

Comparison::~Comparison() = default;

void Comparison::begin(const MouseMovement& a, const MouseMovement& b, const Polls& polls) {
    pair_ = Pair{};
    stage_ = 0;
    state_->poll_a = poll_bins(polls.a_us);
    state_->poll_b = poll_bins(polls.b_us);
    if (!a.last_bin() || !b.last_bin())
        return;
    const std::int64_t first = std::max(*a.last_bin(), *b.last_bin()) - ring_size + 1;
    a.copy_bins(first, state_->bins_a);
    b.copy_bins(first, state_->bins_b);
    stage_ = 1;
}

bool Comparison::step() {
    switch (stage_) {
        case 1:
            series_of(state_->bins_a, state_->poll_a, state_->a);
            stage_ = 2;
            return false;
        case 2:
            series_of(state_->bins_b, state_->poll_b, state_->b);
            stage_ = 3;
            return false;
        case 3:
            // Mice that did not both move, or whose speeds are flat, pair
            // with nothing.
            stage_ = coarse_search() ? 4 : 0;
            return stage_ == 0;
        case 4:
            pair_ = refine();
            stage_ = 0;
            return true;
        default:
            return true;
    }
}

bool Comparison::coarse_search() {
    State& s = *state_;
    if (!s.a.moving || !s.b.moving)
        return false;
    // Speeds over 4 ms hold several counts even where each packet holds one;
    // over the slower mouse's interval when that is longer, so that each
    // window holds a packet of it.
    s.window = std::max({window_bins, s.a.interval, s.b.interval});
    speeds_of(s.a, s.window, 0, s.speeds_a);
    speeds_of(s.b, s.window, 0, s.speeds_b);
    double best = -2;
    for (std::int64_t lag = -max_lag_steps; lag <= max_lag_steps; ++lag) {
        const std::optional<double> r = correlation(s.speeds_a, s.speeds_b, lag);
        if (r && *r > best) {
            best = *r;
            s.coarse_lag = lag;
        }
    }
    s.coarse_correlation = best;
    return best >= -1;
}

Pair Comparison::refine() {
    State& s = *state_;
    // Smoothed speeds correlate almost as well a bin either side of the best
    // lag: the bin comes from the cumulative counts, whose every count says
    // when it came.
    const std::int64_t around = s.coarse_lag * step_bins;
    const Fit found = fit(s.a, s.b, std::max(around - refine_bins, -max_lag_bins),
                          std::min(around + refine_bins, max_lag_bins));
    // The speeds' correlation at that lag: B's windows from that bin on.
    const std::int64_t steps = floor_div(found.lag, step_bins);
    speeds_of(s.b, s.window, found.lag - steps * step_bins, s.speeds_b);
    Pair pair;
    pair.correlation = correlation(s.speeds_a, s.speeds_b, steps).value_or(s.coarse_correlation);
    pair.lag_us = found.lag * bin_us;
    pair.ratio = found.ratio;
    pair.together = pair.correlation >= together_correlation;
    return pair;
}

Pair compare(const MouseMovement& a, const MouseMovement& b, const Polls& polls) {
    // Its buffers kept from one comparison to the next: allocating them
    // afresh for each is an mmap and its page faults every time.
    static Comparison comparison;
    comparison.begin(a, b, polls);
    while (!comparison.step()) {
    }
    return comparison.result();
}

const Row& column_titles() {
    static const Row titles = {"mouse", "counts x", "counts y", "path", "angle °", "CPI", "name"};
    return titles;
}

const Row& stats_titles() {
    static const Row titles = {"mouse", "counts_x", "counts_y", "path", "angle_deg", "cpi", "name"};
    return titles;
}

const PairRow& pair_titles() {
    static const PairRow titles = {"A", "B", "ratio", "lag ms", "correlation"};
    return titles;
}

const PairRow& stats_pair_titles() {
    static const PairRow titles = {"a", "b", "ratio", "lag_ms", "correlation"};
    return titles;
}

std::optional<double> angle_deg(const Summary& s) {
    if (s.counts_x == 0 && s.counts_y == 0)
        return std::nullopt;
    // Screen y grows downwards: up the screen is positive.
    const double degrees =
        std::atan2(static_cast<double>(-s.counts_y), static_cast<double>(s.counts_x)) * 180 /
        std::numbers::pi;
    return degrees <= -180 ? degrees + 360 : degrees;
}

double cpi(const Summary& s, double distance_mm) {
    return std::hypot(static_cast<double>(s.counts_x), static_cast<double>(s.counts_y)) * 25.4 /
           distance_mm;
}

Row format_row(int mouse_number, std::string_view name, const Summary& s,
               std::optional<double> distance_mm) {
    Row row;
    row.fill("-");
    row[column::mouse] = std::to_string(mouse_number);
    row[column::name] = name.empty() ? "-" : std::string(name);
    if (!s.counted())
        return row;
    row[column::counts_x] = std::to_string(s.counts_x);
    row[column::counts_y] = std::to_string(s.counts_y);
    row[column::path] = fixed(s.path, 1);
    if (const std::optional<double> angle = angle_deg(s)) {
        // Rounded to a tenth, -180.0 is the same direction as 180.0.
        const std::string text = fixed(*angle, 1);
        row[column::angle] = text == "-180.0" ? "180.0" : text;
    }
    if (distance_mm)
        row[column::cpi] = fixed(std::round(cpi(s, *distance_mm)), 0);
    return row;
}

PairRow format_pair(int mouse_a, int mouse_b, const Pair& pair, Clock clock) {
    PairRow row;
    row[pair_column::a] = std::to_string(mouse_a);
    row[pair_column::b] = std::to_string(mouse_b);
    row[pair_column::ratio] = fixed(pair.ratio, 3);
    // A ms clock's stamps are whole milliseconds: so is the lag found on them.
    const double lag_ms = clock == Clock::milliseconds
                              ? std::round(static_cast<double>(pair.lag_us) / 1000)
                              : static_cast<double>(pair.lag_us) / 1000;
    row[pair_column::lag] = fixed(lag_ms, 3);
    row[pair_column::correlation] = fixed(pair.correlation, 2);
    return row;
}

}  // namespace measures::movement
