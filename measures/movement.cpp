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
// The ratio sums the net movement of 8 ms blocks.
constexpr std::int64_t ratio_block = 64;
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

// A series of speeds at one resolution, with what every correlation of it
// needs at hand: the sums of its values and of their squares, and the range
// where it is not zero.
struct Level {
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

// The speed pyramid's levels: bins, then 2, 4, ... 32 bins (4 ms) summed.
constexpr int levels = 6;

// One mouse's speeds over the compared span at every level, and its net movement.
struct Series {
    std::array<Level, levels> level;
    double moved = 0;  // the sum of the 8 ms blocks' net lengths
    bool moving = false;
};

// Fills `s` (its buffers reused) with the speeds of a mouse's bins over the
// span; `raw` is scratch of `bins` speeds.
void series_of(const std::vector<MouseMovement::Bin>& binned, std::vector<float>& raw, Series& s) {
    std::vector<float>& speed = s.level[0].speed;
    speed.resize(bins);
    // Each bin's net length: no branch, so that it runs a few bins at a time.
    for (std::size_t i = 0; i < bins; ++i) {
        const std::int32_t x = binned[i].dx;
        const std::int32_t y = binned[i].dy;
        speed[i] = std::sqrt(static_cast<float>(x * x + y * y));
    }
    // The median gap between bins that moved (pauses left out): the mouse's
    // packet interval in bins.
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
        if (speed[static_cast<std::size_t>(i)] != 0) {
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
    s.moved = 0;
    for (std::size_t block = 0; block < bins; block += ratio_block) {
        std::int32_t x = 0;
        std::int32_t y = 0;
        for (std::size_t i = block; i < block + ratio_block; ++i) {
            x += binned[i].dx;
            y += binned[i].dy;
        }
        s.moved += std::hypot(static_cast<double>(x), static_cast<double>(y));
    }
    std::int64_t interval = 1;
    for (std::uint32_t seen = 0; gap_count > 0; ++interval) {
        seen += gaps[static_cast<std::size_t>(interval)];
        if (2 * seen >= gap_count)
            break;
    }
    if (interval > 1) {
        // A packet reports the movement since the one before it: spread each
        // bin's speed back over the interval, a running sum over the next
        // `interval` bins.
        std::copy(speed.begin(), speed.end(), raw.begin());
        double sum = 0;
        for (std::int64_t i = ring_size - 1; i >= 0; --i) {
            sum += raw[static_cast<std::size_t>(i)];
            if (i + interval < ring_size)
                sum -= raw[static_cast<std::size_t>(i + interval)];
            speed[static_cast<std::size_t>(i)] =
                static_cast<float>(sum / static_cast<double>(interval));
        }
    }
    s.level[0].index();
    for (std::size_t k = 1; k < levels; ++k) {
        const std::vector<float>& finer = s.level[k - 1].speed;
        std::vector<float>& coarser = s.level[k].speed;
        coarser.resize(finer.size() / 2);
        for (std::size_t i = 0; i < coarser.size(); ++i)
            coarser[i] = finer[2 * i] + finer[2 * i + 1];
        s.level[k].index();
    }
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
std::optional<double> correlation(const Level& a, const Level& b, std::int64_t lag) {
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
        // The bins passed since the last movement are empty; at most the
        // whole ring, once, after a pause. Walked from the last one's slot,
        // not each found by a division.
        const std::int64_t passed = std::min(number - *last_bin_, ring_size);
        for (std::int64_t k = 0; k < passed; ++k) {
            at = at + 1 == ring_.size() ? 0 : at + 1;
            ring_[at] = Bin{};
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
    std::vector<float> raw = std::vector<float>(bins);
    Series a;
    Series b;
};

Comparison::Comparison() : state_(std::make_unique<State>()) {}

Comparison::~Comparison() = default;

void Comparison::begin(const MouseMovement& a, const MouseMovement& b) {
    pair_ = Pair{};
    stage_ = 0;
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
            series_of(state_->bins_a, state_->raw, state_->a);
            stage_ = 2;
            return false;
        case 2:
            series_of(state_->bins_b, state_->raw, state_->b);
            stage_ = 3;
            return false;
        case 3:
            pair_ = search();
            stage_ = 0;
            return true;
        default:
            return true;
    }
}

Pair Comparison::search() const {
    Pair pair;
    const Series& sa = state_->a;
    const Series& sb = state_->b;
    if (!sa.moving || !sb.moving)
        return pair;

    // Coarse to fine: every lag of the ±50 ms at 4 ms, then at each finer
    // level the lags around twice the best one, down to a bin.
    double best = -2;
    std::int64_t best_lag = 0;
    const auto search_level = [&](std::size_t k, std::int64_t from, std::int64_t to) {
        const std::int64_t reach = (max_lag_bins + (std::int64_t{1} << k) - 1) >> k;
        best = -2;
        for (std::int64_t lag = std::max(from, -reach); lag <= std::min(to, reach); ++lag) {
            const std::optional<double> r = correlation(sa.level[k], sb.level[k], lag);
            if (r && *r > best) {
                best = *r;
                best_lag = lag;
            }
        }
    };
    search_level(levels - 1, -max_lag_bins, max_lag_bins);
    for (std::size_t k = levels - 1; k-- > 0 && best >= -1;) {
        // A level's best lag is within a step of the true one at the level above.
        const std::int64_t radius = k == 0 ? 1 : 2;
        search_level(k, 2 * best_lag - radius, 2 * best_lag + radius);
    }
    if (best < -1)
        return pair;
    pair.correlation = best;
    pair.lag_us = best_lag * bin_us;
    pair.ratio = sa.moved > 0 ? sb.moved / sa.moved : 0;
    pair.together = pair.correlation >= together_correlation;
    return pair;
}

Pair compare(const MouseMovement& a, const MouseMovement& b) {
    // Its buffers kept from one comparison to the next: allocating them
    // afresh for each is an mmap and its page faults every time.
    static Comparison comparison;
    comparison.begin(a, b);
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
