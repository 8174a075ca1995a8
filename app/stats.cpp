#include "app/stats.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "rawinput/rawinput.h"
#include "rawinput/report.h"

namespace app {
namespace {

constexpr int linear_limit = DelayHistogram::sub_buckets;  // values below are exact
constexpr int sub_bits = 5;                                // log2(sub_buckets)

std::string milliseconds(std::uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ns) / 1e6);
    return text;
}

}  // namespace

int DelayHistogram::bucket_of(std::uint64_t ns) {
    if (ns < static_cast<std::uint64_t>(linear_limit))
        return static_cast<int>(ns);
    const int exponent = 63 - std::countl_zero(ns);  // >= sub_bits
    const auto sub = static_cast<int>((ns >> (exponent - sub_bits)) & (sub_buckets - 1));
    return (exponent - sub_bits + 1) * sub_buckets + sub;
}

std::uint64_t DelayHistogram::bucket_top(int bucket) {
    if (bucket < linear_limit)
        return static_cast<std::uint64_t>(bucket);
    const int exponent = bucket / sub_buckets + sub_bits - 1;
    const auto sub = static_cast<std::uint64_t>(bucket % sub_buckets);
    const int shift = exponent - sub_bits;
    const std::uint64_t low = (sub_buckets + sub) << shift;
    return low + ((std::uint64_t{1} << shift) - 1);
}

void DelayHistogram::add(std::uint64_t ns) {
    ++buckets_[static_cast<std::size_t>(bucket_of(ns))];
    ++count_;
    min_ = std::min(min_, ns);
    max_ = std::max(max_, ns);
}

void DelayHistogram::merge(const DelayHistogram& other) {
    for (std::size_t i = 0; i < buckets_.size(); ++i)
        buckets_[i] += other.buckets_[i];
    count_ += other.count_;
    min_ = std::min(min_, other.min_);
    max_ = std::max(max_, other.max_);
}

std::uint64_t DelayHistogram::quantile(double q) const {
    if (count_ == 0)
        return 0;
    // The rank of the sample wanted, 1-based: the smallest covering q of them.
    const double wanted = std::clamp(q, 0.0, 1.0) * static_cast<double>(count_);
    std::uint64_t rank = static_cast<std::uint64_t>(wanted);
    if (static_cast<double>(rank) < wanted || rank == 0)
        ++rank;
    std::uint64_t seen = 0;
    for (int bucket = 0; bucket < bucket_count; ++bucket) {
        seen += buckets_[static_cast<std::size_t>(bucket)];
        if (seen >= rank)
            return std::clamp(bucket_top(bucket), min_, max_);
    }
    return max_;
}

std::vector<MouseLabel> mouse_labels(const RawInputState& engine,
                                     const std::vector<input::Device>& devices) {
    std::vector<MouseLabel> labels;
    for (int number = 0; number < engine.raw_mouse_count; ++number) {
        const HANDLE handle = engine.raw_mouse_handles[number];
        const auto named = std::find_if(devices.begin(), devices.end(),
                                        [&](const input::Device& d) { return d.handle == handle; });
        labels.push_back({handle, number, named != devices.end() ? named->name : ""});
    }
    return labels;
}

PacketStats::PerDevice& PacketStats::device(HANDLE handle) {
    if (last_ < devices_.size() && devices_[last_].handle == handle)
        return devices_[last_];
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].handle == handle) {
            last_ = i;
            return devices_[i];
        }
    }
    devices_.push_back({handle, 0, {}});
    last_ = devices_.size() - 1;
    return devices_.back();
}

void PacketStats::add(HANDLE handle, std::int64_t time_ns, std::int64_t handled_ns) {
    PerDevice& d = device(handle);
    ++d.packets;
    ++total_packets_;
    // A stamp later than the handling (a clock the provider could not match) counts as no delay.
    d.delay.add(handled_ns > time_ns ? static_cast<std::uint64_t>(handled_ns - time_ns) : 0);
}

std::string PacketStats::report(const std::vector<MouseLabel>& labels,
                                const timing::Timing& measures, timing::Clock clock,
                                std::uint64_t dropped_unfocused) const {
    const std::string_view note = timing::clock_note(clock);
    std::string out =
        "rawmice statistics (Hz and the intervals between reports in µs from the packets' own "
        "time stamps" +
        (note.empty() ? std::string() : " on the " + std::string(note)) +
        ", pauses of 50 ms or more left out; delay from a packet's time stamp to the end of its "
        "handling, in ms)\n";

    // The timing window's columns, between the packets and the delays; the
    // name last, as it may hold spaces.
    const timing::Row& titles = timing::column_titles();
    constexpr std::size_t first_measure = timing::column::hz;
    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> header = {"mouse", "handle", "packets"};
    header.insert(header.end(), titles.begin() + first_measure, titles.end());
    header.insert(header.end(), {"delay median", "delay p99", "delay max", "name"});
    lines.push_back(header);
    const auto add_line = [&](const std::string& mouse, const std::string& handle,
                              std::uint64_t packets, const timing::Row* measured,
                              const DelayHistogram& delay, const std::string& name) {
        std::vector<std::string> cells = {mouse, handle, std::to_string(packets)};
        for (std::size_t c = first_measure; c < timing::column::count; ++c)
            cells.push_back(measured != nullptr ? (*measured)[c] : "-");
        cells.insert(cells.end(),
                     {milliseconds(delay.quantile(0.5)), milliseconds(delay.quantile(0.99)),
                      milliseconds(delay.max()), name});
        lines.push_back(std::move(cells));
    };

    // Listed mice first, in their numbering; then anything else that sent packets.
    std::vector<const PerDevice*> order;
    std::vector<const MouseLabel*> order_labels;
    for (const MouseLabel& label : labels) {
        for (const PerDevice& d : devices_) {
            if (d.handle == label.handle) {
                order.push_back(&d);
                order_labels.push_back(&label);
            }
        }
    }
    for (const PerDevice& d : devices_) {
        if (std::find(order.begin(), order.end(), &d) == order.end()) {
            order.push_back(&d);
            order_labels.push_back(nullptr);
        }
    }
    DelayHistogram all_delays;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const MouseLabel* label = order_labels[i];
        const std::string number = label != nullptr && label->mouse_number >= 0
                                       ? std::to_string(label->mouse_number)
                                       : "-";
        const std::string name = label != nullptr ? label->name : "";
        const timing::MouseTiming* measured = measures.find(order[i]->handle);
        const timing::Row row =
            measured != nullptr ? timing::format_row(0, name, measured->summary()) : timing::Row{};
        add_line(number, std::to_string(report::handle_as_int(order[i]->handle)), order[i]->packets,
                 measured != nullptr ? &row : nullptr, order[i]->delay, name);
        all_delays.merge(order[i]->delay);
    }
    add_line("total", "", total_packets_, nullptr, all_delays, "");
    std::vector<bool> left(header.size(), false);
    left[0] = left[1] = left.back() = true;
    out += timing::align_columns(lines, left);
    out += "dropped because no window was active: " + std::to_string(dropped_unfocused) + "\n";
    return out;
}

std::string syn_dropped_line(const std::vector<MouseLabel>& labels,
                             const std::vector<std::pair<HANDLE, std::uint64_t>>& counts) {
    if (counts.empty())
        return {};
    std::uint64_t total = 0;
    std::string each;
    for (const auto& [handle, count] : counts) {
        total += count;
        if (count == 0)
            continue;
        const auto label = std::find_if(labels.begin(), labels.end(),
                                        [&](const MouseLabel& l) { return l.handle == handle; });
        each += each.empty() ? " (" : ", ";
        each += label != labels.end() && label->mouse_number >= 0
                    ? "mouse " + std::to_string(label->mouse_number)
                    : "handle " + std::to_string(report::handle_as_int(handle));
        each += ": " + std::to_string(count);
    }
    return "kernel buffer overflows (SYN_DROPPED), events lost: " + std::to_string(total) +
           (each.empty() ? "" : each + ")") + "\n";
}

}  // namespace app
