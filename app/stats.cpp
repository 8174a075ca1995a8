#include "app/stats.h"

#include <algorithm>
#include <cstdio>

#include "rawinput/rawinput.h"
#include "rawinput/report.h"

namespace app {
namespace {

namespace timing = measures::timing;

std::string milliseconds(std::uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ns) / 1e6);
    return text;
}

}  // namespace

std::vector<MouseLabel> mouse_labels(const RawInputState& engine,
                                     const std::vector<input::Device>& devices) {
    std::vector<MouseLabel> labels;
    for (int number = 0; number < engine.raw_mouse_count; ++number) {
        const HANDLE handle = engine.raw_mouse_handles[number];
        const auto named = std::find_if(devices.begin(), devices.end(),
                                        [&](const input::Device& d) { return d.handle == handle; });
        labels.push_back(
            {measures::handle_of(handle), number, named != devices.end() ? named->name : ""});
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

std::string PacketStats::report(const std::vector<MouseLabel>& labels, const measures::Store& store,
                                measures::Clock clock, std::uint64_t dropped_unfocused) const {
    const std::string_view note = measures::clock_note(clock);
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
                              const measures::DelayHistogram& delay, const std::string& name) {
        std::vector<std::string> cells = {mouse, handle, std::to_string(packets)};
        for (std::size_t c = first_measure; c < timing::column::count; ++c)
            cells.push_back(measured != nullptr ? (*measured)[c] : "-");
        cells.insert(cells.end(), {milliseconds(delay.quantile(0.5).value_or(0)),
                                   milliseconds(delay.quantile(0.99).value_or(0)),
                                   milliseconds(delay.max()), name});
        lines.push_back(std::move(cells));
    };

    // Listed mice first, in their numbering; then anything else that sent packets.
    std::vector<const PerDevice*> order;
    std::vector<const MouseLabel*> order_labels;
    for (const MouseLabel& label : labels) {
        for (const PerDevice& d : devices_) {
            if (measures::handle_of(d.handle) == label.handle) {
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
    measures::DelayHistogram all_delays;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const MouseLabel* label = order_labels[i];
        const std::string number = label != nullptr && label->mouse_number >= 0
                                       ? std::to_string(label->mouse_number)
                                       : "-";
        const std::string name = label != nullptr ? label->name : "";
        const measures::Mouse* measured = store.find(measures::handle_of(order[i]->handle));
        const timing::Row row = measured != nullptr
                                    ? timing::format_row(0, name, measured->timing.summary())
                                    : timing::Row{};
        add_line(number, std::to_string(report::handle_as_int(order[i]->handle)), order[i]->packets,
                 measured != nullptr ? &row : nullptr, order[i]->delay, name);
        all_delays.merge(order[i]->delay);
    }
    add_line("total", "", total_packets_, nullptr, all_delays, "");
    std::vector<bool> left(header.size(), false);
    left[0] = left[1] = left.back() = true;
    out += measures::align_columns(lines, left);
    out += "dropped because no window was active: " + std::to_string(dropped_unfocused) + "\n";
    return out;
}

std::string frames_line(int rate, frames::Source source, int changes, std::uint64_t drawn) {
    const char* from = source == frames::Source::option    ? "--frame-rate"
                       : source == frames::Source::display ? "the display's rate"
                                                           : "the display does not say";
    return "frames: " + std::to_string(rate) + " a second (" + from +
           (changes > 0 ? ", changed " + std::to_string(changes) + " times" : "") + "), " +
           std::to_string(drawn) + " drawn\n";
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
        const auto label = std::find_if(labels.begin(), labels.end(), [&](const MouseLabel& l) {
            return l.handle == measures::handle_of(handle);
        });
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
