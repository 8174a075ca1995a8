// The world of the tests that run the real program: a scratch folder the
// program runs in and the recordings are written to.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

class ProgramTest : public ::testing::Test {
  protected:
    ~ProgramTest() override {
        if (!previous_dir_.empty())
            std::filesystem::current_path(previous_dir_);
    }

    std::filesystem::path write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = dir_ / name;
        testsupport::write_file(path, text);
        return path;
    }
    static std::string replay(const std::filesystem::path& file) {
        return "--replay=" + file.string();
    }

    // Starts the program in the test's folder, without waiting for it to end.
    testsupport::Process start(const std::vector<std::string>& args,
                               testsupport::Launch launch = {}) {
        launch.workdir = dir_.path();
        return testsupport::Process(testsupport::rawmice_argv(args), launch);
    }
    // Runs the program in the test's folder to its end (killing it at the deadline).
    testsupport::RunResult run(const std::vector<std::string>& args,
                               testsupport::Launch launch = {},
                               std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        launch.workdir = dir_.path();
        testsupport::RunResult result =
            testsupport::run(testsupport::rawmice_argv(args), launch, deadline);
        EXPECT_FALSE(result.timed_out) << "still running at the deadline";
        return result;
    }

    // Makes the test's folder this process's working folder until the test ends.
    void enter_dir() {
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }

    testsupport::TempDir dir_;

  private:
    std::filesystem::path previous_dir_;
};
