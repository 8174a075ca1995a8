// rawmice on Windows: the real user32 raw input, the program takes no options.
#include <cstdio>
#include <cstring>

#include "app/winmain.h"
#include "platform/vcl/vcl.h"

// A GUI program has no console; these answers reach whoever redirected its
// output (a script, or a terminal under Wine). Anything else on the command
// line is left alone, as the program has no options to read.
int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("rawmice %s\n", RAWMICE_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "Usage: rawmice\n"
            "Lists the input devices, numbers the mice and reports every raw packet of\n"
            "every mouse in the window and in log.txt, in the folder it starts in.\n"
            "Windows tells the mice apart itself; the program takes no options.\n");
        return 0;
    }
    vcl::TApplication application(argc, argv);
    return WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
