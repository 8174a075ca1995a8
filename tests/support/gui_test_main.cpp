#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/vcl/vcl.h"

// One toolkit application per process, made before any case runs; on Qt,
// offscreen unless the run names a platform.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifndef _WIN32
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform == nullptr || *platform == '\0')
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
#endif
    vcl::TApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
