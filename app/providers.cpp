#include "app/providers.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/input/evdev.h"
#include "platform/input/replay.h"
#include "platform/input/x11.h"

namespace app {
namespace {

using Open = std::unique_ptr<input::Provider> (*)(const Options&, std::string& error);

// Whether this is a Wayland session, where the X server (if any) is XWayland
// and shows only its own virtual pointers.
bool wayland_session() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && *display != '\0') ||
           (type != nullptr && std::strcmp(type, "wayland") == 0);
}

std::unique_ptr<input::Provider> open_evdev(const Options&, std::string&) {
    auto provider = std::make_unique<input::EvdevProvider>();
    provider->set_x11_alternative(!wayland_session());
    return provider;
}

std::unique_ptr<input::Provider> open_x11(const Options&, std::string& error) {
    return input::make_x11_provider(error);
}

std::unique_ptr<input::Provider> open_replay(const Options& options, std::string& error) {
    input::LoadAllResult loaded = input::load_recordings(options.replay_files);
    if (!loaded) {
        error = loaded.error->to_string();
        return nullptr;
    }
    for (const std::string& note : loaded.notes)
        std::cerr << "rawmice: " << note << '\n';
    return std::make_unique<input::ReplayProvider>(std::move(loaded.recordings),
                                                   options.replay_speed);
}

std::unique_ptr<input::Provider> open_auto(const Options& options, std::string& error);

// Why auto cannot take the input here, with the separator that joins it to
// the reasons before it; null when it can.
const char* evdev_unusable() {
    return input::any_mouse_readable() ? nullptr : "no mouse node is readable";
}
// A Wayland session's X server is XWayland, whose pointers are virtual:
// there, only evdev sees the mice.
const char* x11_unusable() {
    if (wayland_session()) {
        return "; in a Wayland session the X server sees only XWayland's virtual pointers: "
               "install udev/70-rawmice.rules to read the mice, see README";
    }
    return input::x11_session() ? nullptr : " and this is not an X11 session";
}

struct Input {
    InputKind kind;
    const char* name;  // as --input names it, and as its provider names itself
    Open open;
    // For the inputs auto tries, in this order: why it cannot take this one
    // here, and what it says when it does.
    const char* (*unusable)();
    const char* taken;
    InputTexts says;
};

constexpr const char* nothing_listed = "No mouse is listed, so there is nothing to report.";

const std::array<Input, 4> inputs = {{
    {InputKind::automatic,
     "auto",
     open_auto,
     nullptr,
     nullptr,
     {nullptr, nothing_listed, nullptr,
      " (try --input=evdev, or replay a recording with --replay=FILE)"}},
    {InputKind::evdev,
     "evdev",
     open_evdev,
     evdev_unusable,
     "mouse nodes are readable",
     {"No mouse can be read: permission denied. To let rawmice read your mice, install its udev "
      "rule or join the group that owns the mouse nodes (input, or rawmice under the read-only "
      "rule; see Permissions in the README or man rawmice); in an X11 session, --input=x11 "
      "needs neither.",
      "No mouse is listed, so there is nothing to report yet: a mouse plugged in now is read as "
      "it appears.",
      nullptr,
      ": /dev/input has no event node (in a container or a remote session there may be none; in "
      "an X11 session try --input=x11, or replay a recording with --replay=FILE)"}},
    {InputKind::x11,
     "x11",
     open_x11,
     x11_unusable,
     "no mouse node is readable; reading the X server's devices",
     {"No mouse can be read: the X server refused to send raw pointer events; standard error "
      "says why.",
      nothing_listed, nullptr, " (try --input=evdev, or replay a recording with --replay=FILE)"}},
    {InputKind::replay,
     "replay",
     open_replay,
     nullptr,
     nullptr,
     {nullptr, "None of the recordings is a mouse, so there is nothing to report.",
      "rawmice: none of the recordings is a mouse; nothing will be reported",
      " (try --input=evdev, or replay a recording with --replay=FILE)"}},
}};

void announce(const input::Provider& provider, const std::string& why) {
    std::cerr << "rawmice: input: " << provider.name() << " (" << why << ")\n";
}

// Takes the first input that can read a mouse, quietly passing the others;
// when none can, evdev, whose registration then says what to fix. The line
// on standard error names the input taken and why.
std::unique_ptr<input::Provider> open_auto(const Options& options, std::string&) {
    std::string passed;
    for (const Input& candidate : inputs) {
        if (candidate.unusable == nullptr)
            continue;
        if (const char* why_not = candidate.unusable()) {
            passed += why_not;
            continue;
        }
        std::string error;
        if (auto provider = candidate.open(options, error)) {
            announce(*provider, candidate.taken);
            return provider;
        }
        passed += ", and " + error;
    }
    std::string unused;
    auto fallback = open_evdev(options, unused);
    announce(*fallback, passed);
    return fallback;
}

}  // namespace

const InputTexts& input_texts(std::string_view provider_name) {
    for (const Input& input : inputs) {
        if (input.name == provider_name)
            return input.says;
    }
    return inputs.front().says;
}

const char* input_name(InputKind kind) {
    for (const Input& input : inputs) {
        if (input.kind == kind)
            return input.name;
    }
    return "?";
}

std::optional<InputKind> input_named(std::string_view name) {
    for (const Input& input : inputs) {
        if (input.name == name)
            return input.kind;
    }
    return std::nullopt;
}

std::string MeasuredInput::declared_interval(measures::Handle mouse) const {
    return provider_.declared_interval(reinterpret_cast<HANDLE>(mouse));
}

std::vector<std::pair<measures::Handle, std::uint64_t>> MeasuredInput::overflows_by_mouse() const {
    std::vector<std::pair<measures::Handle, std::uint64_t>> counts;
    for (const auto& [device, count] : provider_.syn_dropped_by_mouse())
        counts.emplace_back(measures::handle_of(device), count);
    return counts;
}

measures::Packet to_measures(const input::Packet& packet, WPARAM code) {
    return {measures::handle_of(packet.device),
            packet.own_time_ns() / 1000,
            packet.same_report,
            code == RIM_INPUTSINK,
            packet.mouse.usButtonFlags,
            {static_cast<std::int32_t>(packet.mouse.lLastX),
             static_cast<std::int32_t>(packet.mouse.lLastY),
             (packet.mouse.usFlags & MOUSE_MOVE_ABSOLUTE) != 0}};
}

std::unique_ptr<input::Provider> make_provider(const Options& options, std::string& error) {
    for (const Input& input : inputs) {
        if (input.kind == options.input)
            return input.open(options, error);
    }
    error = "no such input";
    return nullptr;
}

}  // namespace app
