// SIGINT, SIGTERM and SIGHUP close the main window through its normal close path.
#pragma once

#include <functional>

namespace app {

// From now on, SIGINT, SIGTERM and SIGHUP call `close` on the GUI thread's event loop
// (the handler itself only writes a byte to a pipe). A SIGHUP ignored when
// the program started (nohup) stays ignored.
void close_on_signals(std::function<void()> close);

}  // namespace app
