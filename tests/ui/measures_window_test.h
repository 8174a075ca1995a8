// The fixture of the measures windows' tests on Qt: the main window as the
// program makes it, over a scripted user32 listing three mice, in a scratch
// folder; fresh measures; no measures window yet, and none left after.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWindow>

#include <filesystem>
#include <optional>
#include <string>

#include "measures/feed.h"
#include "platform/vcl/qt/native.h"
#include "rawinput/rawinput.h"
#include "tests/engine/fake_user32.h"
#include "tests/support/test_support.h"
#include "ui/frmButtons.h"
#include "ui/frmCheck.h"
#include "ui/frmMovement.h"
#include "ui/frmPlot.h"
#include "ui/frmTiming.h"
#include "ui/principal.h"

inline const auto first_mouse = reinterpret_cast<HANDLE>(0x101);
inline const auto second_mouse = reinterpret_cast<HANDLE>(0x102);
inline const auto third_mouse = reinterpret_cast<HANDLE>(0x103);

class MeasuresWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        vcl::Application->destroy_forms();
        raw_input_release(nullptr);
        for (HANDLE mouse : {first_mouse, second_mouse, third_mouse})
            user32_.devices.push_back({mouse, RIM_TYPEMOUSE});
        user32_.count_result = 0;
        user32_.install();
        measures::feed().reset({});
        measures::feed().set_distance_mm(std::nullopt);
        measures::feed().set_names([](measures::Handle handle) {
            return handle == measures::handle_of(first_mouse) ? std::string("First Mouse")
                                                              : std::string();
        });
        testing::internal::CaptureStdout();
        vcl::Application->CreateForm(&Form1);
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        raw_input_release(Form1);
        log_file.close();
        vcl::Application->destroy_forms();
        Form1 = nullptr;
        EXPECT_EQ(Form3, nullptr) << "gone with its window";
        EXPECT_EQ(Form4, nullptr) << "gone with its window";
        EXPECT_EQ(Form5, nullptr) << "gone with its window";
        EXPECT_EQ(Form6, nullptr) << "gone with its window";
        EXPECT_EQ(Form7, nullptr) << "gone with its window";
        Form3 = nullptr;
        Form4 = nullptr;
        Form5 = nullptr;
        Form6 = nullptr;
        Form7 = nullptr;
        measures::feed().set_names(nullptr);
        measures::feed().set_distance_mm(std::nullopt);
        fake::User32::uninstall();
        std::filesystem::current_path(previous_dir_);
    }

    // The main window shown and active, as at the start of a run.
    void show_main_window() {
        Form1->Show();
        ASSERT_TRUE(testsupport::wait_until([] { return vcl::TForm::active() == Form1; }));
    }

    // A key pressed as the window system delivers it: to the window, which
    // hands it to whichever control has the focus.
    static void press(vcl::TForm* form, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWindow* window = vcl::qt::widget(form)->windowHandle();
        ASSERT_NE(window, nullptr) << "the window is not shown";
        QKeyEvent down(QEvent::KeyPress, key, modifiers);
        QCoreApplication::sendEvent(window, &down);
        QKeyEvent up(QEvent::KeyRelease, key, modifiers);
        QCoreApplication::sendEvent(window, &up);
    }

    testsupport::TempDir dir_;
    std::filesystem::path previous_dir_;
    fake::User32 user32_;
};
