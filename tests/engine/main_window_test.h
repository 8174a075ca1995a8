// A fixture for tests of the main window: a scratch working folder (the
// window writes log.txt there), a scripted user32, and a main window created
// as the program creates it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "rawinput/rawinput.h"
#include "tests/engine/fake_user32.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        raw_input_release(nullptr);
        user32_.install();
        vcl::Application->CreateForm(&form_);
    }
    void TearDown() override {
        raw_input_release(form_);
        log_file.close();
        fake::User32::uninstall();
        std::filesystem::current_path(previous_dir_);
    }

    testsupport::TempDir dir_;
    std::filesystem::path previous_dir_;
    fake::User32 user32_;
    TForm1* form_ = nullptr;
};
