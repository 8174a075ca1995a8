// The fixture of the toolkit's tests: every case starts with no forms and
// collects what would be shown to the user.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/vcl/vcl.h"
#include "tests/support/test_support.h"

class ToolkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vcl::Application->destroy_forms();
        vcl::Application->Initialize();
        previous_ = vcl::Application->set_exception_presenter(
            [this](const vcl::String& message) { shown_.push_back(message); });
    }
    void TearDown() override {
        vcl::Application->destroy_forms();
        vcl::Application->set_exception_presenter(previous_);
    }

    // Runs the loop until the main form closes, failing (not hanging) if it never does.
    static void run_with_deadline() {
        EXPECT_TRUE(testsupport::ends_before_deadline([] { vcl::Application->Run(); }))
            << "Run did not end when the main form closed";
    }

    std::vector<vcl::String> shown_;
    vcl::TApplication::Presenter previous_;
};
