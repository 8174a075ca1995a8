// The fixture of the toolkit's tests: every case starts with no forms and
// collects what would be shown to the user. It names no backend, so the
// facade's cases build against either.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/vcl/vcl.h"

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

    std::vector<vcl::String> shown_;
    vcl::TApplication::Presenter previous_;
};
