// Chooses and builds the input provider the command line asks for.
#pragma once

#include <memory>
#include <string>

#include "app/options.h"
#include "platform/input/device.h"

namespace app {

// Returns the provider, or null with `error` set to one line saying what is
// wrong (a recording that cannot be read names the file and the line).
// The input `auto` chooses is announced on standard error.
std::unique_ptr<input::Provider> make_provider(const Options& options, std::string& error);

}  // namespace app
