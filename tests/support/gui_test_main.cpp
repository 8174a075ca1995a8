#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/vcl/vcl.h"

// One toolkit application per process, made before any case runs; offscreen
// unless the run names a platform.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform == nullptr || *platform == '\0')
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    vcl::TApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
