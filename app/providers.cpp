#include "app/providers.h"

#include <array>
#include <iostream>

#include "platform/input/evdev.h"
#include "platform/input/replay.h"
#include "platform/input/x11.h"

namespace app {
namespace {

using Open = std::unique_ptr<input::Provider> (*)(const Options&, std::string& error);

std::unique_ptr<input::Provider> open_evdev(const Options&, std::string&) {
    return std::make_unique<input::EvdevProvider>();
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
    return std::make_unique<input::ReplayProvider>(std::move(loaded.recordings),
                                                   options.replay_speed);
}

std::unique_ptr<input::Provider> open_auto(const Options& options, std::string& error);

// What auto may take, in the order it tries them. `unusable` says, with its
// leading separator, why the input cannot be taken here (null when it can);
// `taken` is what auto says when it takes the input.
struct AutoChoice {
    const char* (*unusable)();
    const char* taken;
};

struct Input {
    InputKind kind;
    const char* name;  // as --input names it
    Open open;
    AutoChoice automatic;  // `taken` null: auto never takes it
};

const std::array<Input, 4> inputs = {{
    {InputKind::automatic, "auto", open_auto, {}},
    // The kernel's nodes when a mouse can be read there.
    {InputKind::evdev,
     "evdev",
     open_evdev,
     {[]() -> const char* {
          return input::any_mouse_readable() ? nullptr : "no mouse node is readable";
      },
      "mouse nodes are readable"}},
    // Else the X server's view. A Wayland session's X server is XWayland,
    // whose pointers are virtual: there, only evdev sees the mice.
    {InputKind::x11,
     "x11",
     open_x11,
     {[]() -> const char* {
          if (input::wayland_session()) {
              return "; in a Wayland session the X server sees only XWayland's virtual "
                     "pointers: install udev/70-rawmice.rules to read the mice, see README";
          }
          return input::x11_session() ? nullptr : " and this is not an X11 session";
      },
      "no mouse node is readable; reading the X server's devices"}},
    {InputKind::replay, "replay", open_replay, {}},
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
        if (candidate.automatic.taken == nullptr)
            continue;
        if (const char* why_not = candidate.automatic.unusable()) {
            passed += why_not;
            continue;
        }
        std::string error;
        if (auto provider = candidate.open(options, error)) {
            announce(*provider, candidate.automatic.taken);
            return provider;
        }
        passed += ", and " + error;
    }
    auto fallback = open_evdev(options, passed);
    announce(*fallback, passed);
    return fallback;
}

}  // namespace

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

std::unique_ptr<input::Provider> make_provider(const Options& options, std::string& error) {
    for (const Input& input : inputs) {
        if (input.kind == options.input)
            return input.open(options, error);
    }
    error = "no such input";
    return nullptr;
}

}  // namespace app
