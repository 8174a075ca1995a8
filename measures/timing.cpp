#include "measures/timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace measures::timing {
namespace {

// A ms clock's stamps are whole milliseconds: each may be off by up to one.
constexpr std::int64_t millisecond_tick_us = 1000;

// At most 999,999,999 of a unit: a microsecond count that fits with room to spare.
constexpr std::size_t max_interval_digits = 9;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string whole(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

std::string one_decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// A share in percent to one decimal, "-" while unknown.
std::string percent(const std::optional<double>& share) {
    return share ? one_decimal(*share * 100) : "-";
}

// A poll period's rate: whole Hz, to one decimal below 100 Hz (Bluetooth's
// 11.25 ms is 88.9 Hz).
std::string poll_rate(const std::optional<std::int64_t>& period_us) {
    if (!period_us)
        return "-";
    const double hz = 1e6 / static_cast<double>(*period_us);
    return hz < 100 ? one_decimal(hz) : whole(hz);
}

template <typename T>
std::string or_dash(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "-";
}

}  // namespace

std::optional<std::int64_t> parse_endpoint_interval(std::string_view text) {
    text = trimmed(text);
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > max_interval_digits)
        return std::nullopt;
    std::int64_t value = 0;
    for (std::size_t i = 0; i < digits; ++i)
        value = value * 10 + (text[i] - '0');
    const std::string_view unit = text.substr(digits);
    if (unit == "ms")
        value *= 1000;
    else if (unit != "us")
        return std::nullopt;
    if (value == 0)
        return std::nullopt;
    return value;
}

RecentReports::RecentReports(std::size_t capacity)
    : slots_(capacity > 0 ? std::make_unique<RecentReport[]>(capacity) : nullptr),
      capacity_(capacity) {}

void RecentReports::push(RecentReport report) {
    if (capacity_ == 0)
        return;
    if (size_ < capacity_) {
        slots_[(start_ + size_) % capacity_] = report;
        ++size_;
    } else {
        slots_[start_] = report;
        start_ = (start_ + 1) % capacity_;
    }
}

std::size_t RecentReports::first_within(std::int64_t span_us) const {
    if (size_ == 0)
        return 0;
    const std::int64_t newest = (*this)[size_ - 1].time_us;
    std::size_t first = size_ - 1;
    while (first > 0) {
        const std::int64_t time = (*this)[first - 1].time_us;
        // Unsigned: the distance between any two stamps, without overflow.
        if (time > newest || static_cast<std::uint64_t>(newest) - static_cast<std::uint64_t>(time) >
                                 static_cast<std::uint64_t>(span_us))
            break;
        --first;
    }
    return first;
}

MouseTiming::MouseTiming(Clock clock, bool counts_overflows, std::size_t recent_capacity)
    : clock_(clock),
      overflows_(counts_overflows ? std::optional<std::uint64_t>(0) : std::nullopt),
      grid_(clock),
      recent_(recent_capacity) {}

void MouseTiming::add(std::int64_t time_us, bool same_report, bool background) {
    // The packets after the first of a report change nothing measured. A
    // mouse's first packet starts a report, whatever it says.
    if (same_report && reports_ > 0)
        return;
    ++generation_;
    std::int32_t interval = no_interval;  // as the chart keeps it
    grid::Mark mark = grid::Mark::unknown;
    if (reports_ > 0) {
        if (time_us < last_time_us_) {
            ++steps_back_;
            end_spell();
        } else {
            // Unsigned: the distance between any two stamps, without overflow.
            const std::uint64_t gap =
                static_cast<std::uint64_t>(time_us) - static_cast<std::uint64_t>(last_time_us_);
            if (gap >= pause_us) {
                ++pauses_;
                end_spell();
                interval = static_cast<std::int32_t>(std::min<std::uint64_t>(gap, INT32_MAX));
            } else {
                interval = static_cast<std::int32_t>(gap);
                mark = grid_.add(interval);
                if (spell_intervals_ >= min_spell_intervals)
                    intervals_.add(interval);  // a spell that counts already: the usual case
                else
                    hold_interval(interval);
            }
        }
    }
    ++reports_;
    background_reports_ += background ? 1 : 0;
    last_time_us_ = time_us;
    recent_.push({time_us, interval, mark});
}

void MouseTiming::hold_interval(std::int64_t interval_us) {
    if (spell_intervals_ + 1 < min_spell_intervals) {
        held_[spell_intervals_++] = interval_us;
        return;
    }
    // The spell's eighth: it counts, with every interval held back.
    for (const std::int64_t held : held_)
        intervals_.add(held);
    intervals_.add(interval_us);
    spell_intervals_ = min_spell_intervals;
}

void MouseTiming::end_spell() {
    grid_.end_spell(spell_intervals_ >= min_spell_intervals);
    if (spell_intervals_ < min_spell_intervals)
        short_spell_intervals_ += spell_intervals_;
    spell_intervals_ = 0;
}

void MouseTiming::set_clock(Clock clock) {
    if (clock_ != clock) {
        clock_ = clock;
        grid_.set_clock(clock);
        ++generation_;
    }
}

void MouseTiming::set_declared_interval_us(std::optional<std::int64_t> interval_us) {
    if (interval_us && *interval_us <= 0)
        interval_us.reset();
    if (declared_interval_us_ != interval_us) {
        declared_interval_us_ = interval_us;
        ++generation_;
    }
}

void MouseTiming::add_overflows(std::uint64_t count) {
    overflows_ = overflows_.value_or(0) + count;
    ++generation_;
}

void MouseTiming::set_overflows(std::uint64_t count) {
    if (overflows_ != count) {
        overflows_ = count;
        ++generation_;
    }
}

void MouseTiming::reset() {
    reports_ = 0;
    last_time_us_ = 0;
    held_ = {};
    spell_intervals_ = 0;
    short_spell_intervals_ = 0;
    pauses_ = 0;
    steps_back_ = 0;
    background_reports_ = 0;
    overflows_before_ = overflows_.value_or(0);
    intervals_ = IntervalHistogram{};
    grid_ = grid::PollGrid(clock_);
    recent_.clear();
    ++generation_;
}

Summary MouseTiming::summary() const {
    Summary s;
    s.clock = clock_;
    s.reports = reports_;
    s.intervals = intervals_.count();
    s.spell_time_us = intervals_.sum();
    s.short_spell_intervals =
        short_spell_intervals_ + (spell_intervals_ < min_spell_intervals ? spell_intervals_ : 0);
    s.pauses = pauses_;
    s.steps_back = steps_back_;
    if (overflows_)
        s.overflows = *overflows_ - std::min(*overflows_, overflows_before_);
    s.declared_interval_us = declared_interval_us_;
    s.background_reports = background_reports_;
    if (reports_ > 0)
        s.background_share =
            static_cast<double>(background_reports_) / static_cast<double>(reports_);
    if (s.intervals == 0)
        return s;
    s.poll_period_us = grid_.period_us();
    const grid::Counts polls = grid_.counts(spell_intervals_ >= min_spell_intervals);
    if (s.poll_period_us && polls.polls > 0)
        s.skipped_share = static_cast<double>(polls.skipped) / static_cast<double>(polls.polls);
    if (s.poll_period_us && polls.on + polls.off > 0)
        s.off_grid_share =
            static_cast<double>(polls.off) / static_cast<double>(polls.on + polls.off);
    s.p1_us = intervals_.quantile(0.01);
    s.median_us = intervals_.quantile(0.5);
    s.p99_us = intervals_.quantile(0.99);
    s.max_us = intervals_.max();

    const double mean = static_cast<double>(s.spell_time_us) / static_cast<double>(s.intervals);
    const bool ms_clock = clock_ == Clock::milliseconds;
    const double reference =
        ms_clock || *s.median_us == 0 ? mean : static_cast<double>(*s.median_us);
    if (reference <= 0)
        return s;  // every interval 0: no rate to speak of
    s.rate_hz = 1e6 / reference;
    const auto tolerance = static_cast<double>(ms_clock ? millisecond_tick_us : 0);
    const std::uint64_t irregular =
        intervals_.count_outside(0.5 * reference - tolerance, 1.5 * reference + tolerance);
    s.irregular_share = static_cast<double>(irregular) / static_cast<double>(s.intervals);
    return s;
}

std::size_t MouseTiming::memory_bytes() const {
    return sizeof(*this) + recent_.capacity() * sizeof(RecentReport);
}

const Row& column_titles() {
    static const Row titles = {"mouse",     "name",    "Hz",        "declared Hz", "p1 µs",
                               "median µs", "p99 µs",  "max µs",    "irregular %", "overflows",
                               "bg %",      "poll Hz", "skipped %", "off-grid %"};
    return titles;
}

Row format_row(int mouse_number, std::string_view name, const Summary& summary) {
    Row row;
    row[column::mouse] = std::to_string(mouse_number);
    row[column::name] = name.empty() ? "-" : std::string(name);
    row[column::hz] = summary.rate_hz ? whole(*summary.rate_hz) : "-";
    row[column::declared_hz] = summary.declared_interval_us
                                   ? whole(1e6 / static_cast<double>(*summary.declared_interval_us))
                                   : "-";
    row[column::p1] = or_dash(summary.p1_us);
    row[column::median] = or_dash(summary.median_us);
    row[column::p99] = or_dash(summary.p99_us);
    row[column::max] = or_dash(summary.max_us);
    row[column::irregular] = percent(summary.irregular_share);
    row[column::overflows] = or_dash(summary.overflows);
    row[column::background] = percent(summary.background_share);
    row[column::poll_hz] = poll_rate(summary.poll_period_us);
    row[column::skipped] = percent(summary.skipped_share);
    row[column::off_grid] = percent(summary.off_grid_share);
    return row;
}

}  // namespace measures::timing
