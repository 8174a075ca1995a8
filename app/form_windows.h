// The toolkit's forms as the raw input service's windows on Linux: each form
// by its Handle, delivery through the form's Dispatch, and activation followed
// through the focus window.
#pragma once

#include "platform/input/program_windows.h"

namespace app {

class FormWindows final : public input::ProgramWindows {
  public:
    HWND active() const override;
    bool is_window(HWND window) const override;
    // Dispatches inside the toolkit's exception guard, as the message loop does.
    void send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;
    std::unique_ptr<Watch> watch_activation(std::function<void()> changed) override;
};

}  // namespace app
