// What the raw input service needs of the program's windows, in user32's
// terms: the active one (GetActiveWindow), whether a handle names one
// (IsWindow), and handing one a message (SendMessage). The program gives the
// service its own (app/form_windows.h, over the toolkit's forms); a test may
// give a fake.
#pragma once

#include <functional>
#include <memory>

#include "platform/win32/win32.h"

namespace input {

class ProgramWindows {
  public:
    virtual ~ProgramWindows() = default;

    // The program's window that is active now, or null.
    virtual HWND active() const = 0;
    // Whether `window` names a window of the program that is still there.
    virtual bool is_window(HWND window) const = 0;
    // Hands the message to `window`'s dispatch and returns once it has been
    // handled. What the handler lets escape is shown as the message loop
    // shows it, and goes no further.
    virtual void send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) = 0;
    // While the returned watch lives, `changed` runs on the GUI thread, from
    // the event loop, each time the active window may have changed.
    struct Watch {
        virtual ~Watch() = default;
    };
    virtual std::unique_ptr<Watch> watch_activation(std::function<void()> changed) = 0;
};

}  // namespace input
