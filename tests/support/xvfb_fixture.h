// The world the x11 tests run in: a Qt core application for the event loop,
// a private Xvfb server, and three added master devices whose XTEST slave
// pointers act as three independent mice.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>
#include <vector>

#include "tests/support/xfake.h"
#include "tests/support/xvfb.h"

namespace testsupport {

// The Qt core application the x11 tests' event loop needs, made once.
inline void ensure_core_application() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "x11-test";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
}

}  // namespace testsupport

// A private Xvfb server (skipped where Xvfb is not installed).
class XvfbTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testsupport::ensure_core_application(); }

    void SetUp() override {
        if (!testsupport::xvfb_available())
            GTEST_SKIP() << "Xvfb is not installed";
        xvfb_ = std::make_unique<testsupport::Xvfb>();
        SetUpWithServer();
    }
    // What a fixture adds once the server runs (not called when skipped).
    virtual void SetUpWithServer() {}

    std::unique_ptr<testsupport::Xvfb> xvfb_;
};

// The server with three added masters' XTEST pointers as mice (the driver
// goes before the server, as members go in reverse order).
class XvfbWithMiceTest : public XvfbTest {
  protected:
    void SetUpWithServer() override {
        driver_ = std::make_unique<xfake::Driver>(xvfb_->display());
        masters_ = driver_->add_masters(3, "fake");
    }

    std::unique_ptr<xfake::Driver> driver_;
    std::vector<xfake::Master> masters_;
};
