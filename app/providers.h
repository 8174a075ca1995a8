// Chooses and builds the input provider the command line asks for.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/options.h"
#include "measures/feed.h"
#include "platform/input/device.h"

namespace app {

// Returns the provider, or null with `error` set to one line saying what is
// wrong (a recording that cannot be read names the file and the line).
// The input `auto` chooses is announced on standard error.
std::unique_ptr<input::Provider> make_provider(const Options& options, std::string& error);

// What an input says when it leaves the window with nothing to show. Null
// texts are not said.
struct InputTexts {
    // The notice when the input refuses to let the mice be read (ERROR_ACCESS_DENIED).
    const char* refused;
    // The notice when no mouse is listed, and the line said on standard error too.
    const char* none_listed;
    const char* none_listed_line;
    // What --list-devices adds to "no input device found on the NAME input".
    const char* no_device;
};

// The texts of the input that the provider named `provider_name` reads
// (input::Provider::name()); an unknown name gets texts that fit any input.
const InputTexts& input_texts(std::string_view provider_name);

// The provider as the measures ask it: its name (which says its clock), the
// interval each mouse declares and the overflows of its kernel buffers.
class MeasuredInput final : public measures::Input {
  public:
    explicit MeasuredInput(const input::Provider& provider) : provider_(provider) {}

    std::string_view name() const override { return provider_.name(); }
    std::string declared_interval(measures::Handle mouse) const override;
    std::uint64_t overflows() const override { return provider_.syn_dropped_total(); }
    std::vector<std::pair<measures::Handle, std::uint64_t>> overflows_by_mouse() const override;

  private:
    const input::Provider& provider_;
};

// A packet the service has handled, as the measures take it: its own time
// stamp, whether it is part of the report before it, whether it came in the
// background (`code` RIM_INPUTSINK), and the buttons it changes.
measures::Packet to_measures(const input::Packet& packet, WPARAM code);

// The input's name as --input takes it ("auto", "evdev", "x11", "replay").
const char* input_name(InputKind kind);
// The input --input=NAME asks for; nullopt when there is none of that name.
std::optional<InputKind> input_named(std::string_view name);

}  // namespace app
