#include "app/providers.h"

#include <iostream>

#include "platform/input/evdev.h"
#include "platform/input/replay.h"
#include "platform/input/x11.h"

namespace app {
namespace {

void announce(const std::string& what) {
    std::cerr << "rawmice: input: " << what << '\n';
}

}  // namespace

std::unique_ptr<input::Provider> make_provider(const Options& options, std::string& error) {
    switch (options.input) {
        case InputKind::replay: {
            input::LoadAllResult loaded = input::load_recordings(options.replay_files);
            if (!loaded) {
                error = loaded.error->to_string();
                return nullptr;
            }
            const double speed =
                options.replay_speed == 0 ? input::ReplayProvider::max_speed : options.replay_speed;
            return std::make_unique<input::ReplayProvider>(std::move(loaded.recordings), speed);
        }
        case InputKind::evdev:
            return std::make_unique<input::EvdevProvider>();
        case InputKind::x11:
            return input::make_x11_provider(error);
        case InputKind::automatic:
            break;
    }
    // auto: the kernel's nodes when a mouse can be read there, else the X
    // server's view, else evdev, whose registration then says what to fix.
    // A Wayland session's X server is XWayland, whose pointers are virtual:
    // there, only evdev sees the mice.
    if (input::any_mouse_readable()) {
        announce("evdev (mouse nodes are readable)");
        return std::make_unique<input::EvdevProvider>();
    }
    if (input::wayland_session()) {
        announce(
            "evdev (no mouse node is readable; in a Wayland session the X server sees only "
            "XWayland's virtual pointers: install udev/70-rawmice.rules to read the mice, "
            "see README)");
        return std::make_unique<input::EvdevProvider>();
    }
    if (input::x11_session()) {
        std::string x11_error;
        if (auto provider = input::make_x11_provider(x11_error)) {
            announce("x11 (no mouse node is readable; reading the X server's devices)");
            return provider;
        }
        announce("evdev (no mouse node is readable, and " + x11_error + ")");
    } else {
        announce("evdev (no mouse node is readable and this is not an X11 session)");
    }
    return std::make_unique<input::EvdevProvider>();
}

}  // namespace app
