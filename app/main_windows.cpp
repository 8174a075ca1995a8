// rawmice on Windows: the real user32 raw input; one option, --background.
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/winmain.h"
#include "platform/vcl/vcl.h"
#include "rawinput/rawinput.h"
#include "ui/principal.h"

namespace {

// Whether this process is registered for the mouse with RIDEV_INPUTSINK, as
// the engine asks when it reads in the background.
bool mouse_read_in_background() {
    UINT count = 0;
    if (GetRegisteredRawInputDevices(nullptr, &count, sizeof(RAWINPUTDEVICE)) != 0 || count == 0)
        return false;
    std::vector<RAWINPUTDEVICE> devices(count);
    const UINT got = GetRegisteredRawInputDevices(devices.data(), &count, sizeof(RAWINPUTDEVICE));
    if (got == static_cast<UINT>(-1))
        return false;
    for (UINT i = 0; i < got; ++i) {
        const RAWINPUTDEVICE& d = devices[i];
        if (d.usUsagePage == 1 && d.usUsage == 2 && (d.dwFlags & RIDEV_INPUTSINK) != 0)
            return true;
    }
    return false;
}

}  // namespace

// A GUI program has no console; these answers reach whoever redirected its
// output (a script, or a terminal under Wine). Anything on the command line
// but --background is left alone.
int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("rawmice %s\n", RAWMICE_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "Usage: rawmice [--background]\n"
            "Lists the input devices, numbers the mice and reports every raw packet of\n"
            "every mouse in the window and in log.txt, in the folder it starts in.\n"
            "Windows tells the mice apart itself.\n"
            "\n"
            "  --background  read the mice whichever window has the focus, not only\n"
            "                while rawmice's own has it\n");
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--background") == 0)
            rawinput::background = true;
    }
    vcl::TApplication application(argc, argv);
    // At the loop's first turn, once the windows exist and the engine has registered.
    vcl::Timer notice([] {
        if (mouse_read_in_background())
            show_background_notice();
    });
    if (rawinput::background)
        notice.start(0);
    return WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
