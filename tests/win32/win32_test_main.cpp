// The Win32 backend's tests run with the process's vcl::TApplication made
// first, as the program makes it, and every window gone after each test.
#include <gtest/gtest.h>

#include "platform/vcl/vcl.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vcl::TApplication application(argc, argv);
    application.Initialize();
    return RUN_ALL_TESTS();
}
