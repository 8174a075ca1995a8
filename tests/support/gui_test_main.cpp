#include <gtest/gtest.h>

#include "platform/vcl/vcl.h"

// One toolkit application per process, made before any case runs.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    vcl::TApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
