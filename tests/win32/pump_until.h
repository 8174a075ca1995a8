// Waits on a condition in the tests that run the Win32 message loop.
#pragma once

#include <windows.h>

#include "platform/vcl/win32/native.h"

// Handles messages until `done` holds or 10 s pass; answers `done`.
template <class Done>
bool pump_until(Done&& done) {
    const ULONGLONG deadline = GetTickCount64() + 10000;
    vcl::win32::process_messages();
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        vcl::win32::wait_for_messages(static_cast<DWORD>(deadline - now));
        vcl::win32::process_messages();
    }
    return true;
}
