// Chooses and builds the input provider the command line asks for.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/options.h"
#include "platform/input/device.h"

namespace app {

// Returns the provider, or null with `error` set to one line saying what is
// wrong (a recording that cannot be read names the file and the line).
// The input `auto` chooses is announced on standard error.
std::unique_ptr<input::Provider> make_provider(const Options& options, std::string& error);

// The input's name as --input takes it ("auto", "evdev", "x11", "replay").
const char* input_name(InputKind kind);
// The input --input=NAME asks for; nullopt when there is none of that name.
std::optional<InputKind> input_named(std::string_view name);

}  // namespace app
