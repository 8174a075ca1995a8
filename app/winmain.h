// The program's entry as the toolkit runs it.
#pragma once

#include <functional>

#ifdef _WIN32
#include <windows.h>
// On Windows this is the program's real entry, <windows.h>'s WinMain: it
// creates the forms and runs the loop as below, and takes no options.
#else
// Creates the main window and the data window, runs the message loop until the
// main window closes and shows whatever escapes through Application->ShowException.
// Returns 0 on every path.
int WinMain();
#endif

// The entry's frame around `body`: an Exception escaping it is shown as it is;
// anything else is replaced by an Exception with an empty message, which is
// shown the same way. Returns 0.
int run_guarded(const std::function<void()>& body);
