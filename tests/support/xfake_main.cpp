// xfake: drives fake mice on an X display from the command line.
//   xfake [--display D] [--keep] STEP...   (each argument one step, "-" reads steps from stdin)
// Without --keep, the masters it adds are removed when it ends.
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/xfake.h"

int main(int argc, char** argv) {
    std::string display;
    bool keep = false;
    std::ostringstream script;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--display") == 0 && i + 1 < argc) {
            display = argv[++i];
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else if (std::strcmp(argv[i], "-") == 0) {
            script << std::cin.rdbuf() << '\n';
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::cout
                << "usage: xfake [--display D] [--keep] STEP... (see tests/support/xfake.h)\n";
            return 0;
        } else {
            script << argv[i] << '\n';
        }
    }
    try {
        xfake::Driver driver(display);
        if (keep)
            driver.keep_masters();
        std::cout << driver.run(script.str()) << std::flush;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
