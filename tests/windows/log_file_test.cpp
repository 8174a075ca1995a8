// log.txt as the Windows build opens it: under Wine, on the real file API.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "ui/log_file.h"

namespace {

namespace fs = std::filesystem;

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("rawmice-log-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(folder_));
        path_ = (folder_ / "log.txt").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    std::string contents() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }

    fs::path folder_;
    std::string path_;
};

TEST_F(LogFileTest, ReportLinesKeepTheirCrLfAsTwoBytes) {
    const LogOpening opening = open_log_file(path_.c_str());
    ASSERT_EQ(opening.problem, LogProblem::none) << opening.reason;
    LogStream log;
    log.open(opening.fd);
    log << "Mouse: num 0, usFlags=0000\r\n"
        << "second\r\n"
        << "bare\n";
    log.flush();
    EXPECT_TRUE(log.good());
    log.close();
    EXPECT_EQ(contents(), "Mouse: num 0, usFlags=0000\r\nsecond\r\nbare\n");
}

TEST_F(LogFileTest, AnOldLogIsEmptiedWhenItIsOpened) {
    write("lines of an earlier run\r\n");
    const LogOpening opening = open_log_file(path_.c_str());
    ASSERT_EQ(opening.problem, LogProblem::none) << opening.reason;
    LogStream log;
    log.open(opening.fd);
    log.flush();
    EXPECT_EQ(contents(), "");
    log << "new\r\n";
    log.close();
    EXPECT_EQ(contents(), "new\r\n");
}

// A second rawmice in the same folder must neither write nor empty the log the
// first one holds; once the first one closes it, the log can be opened again.
TEST_F(LogFileTest, ASecondWriterFindsTheLogHeldAndLeavesItAlone) {
    const LogOpening first = open_log_file(path_.c_str());
    ASSERT_EQ(first.problem, LogProblem::none) << first.reason;
    LogStream log;
    log.open(first.fd);
    log << "first run\r\n";
    log.flush();

    const LogOpening second = open_log_file(path_.c_str());
    EXPECT_EQ(second.problem, LogProblem::held);
    EXPECT_EQ(second.fd, -1);
    EXPECT_EQ(contents(), "first run\r\n");

    log.close();
    const LogOpening third = open_log_file(path_.c_str());
    EXPECT_EQ(third.problem, LogProblem::none) << third.reason;
    LogStream again;
    again.open(third.fd);
    again.close();
    EXPECT_EQ(contents(), "");
}

// Someone looking at the log while rawmice runs (an editor, `type log.txt`).
TEST_F(LogFileTest, TheHeldLogCanStillBeRead) {
    const LogOpening opening = open_log_file(path_.c_str());
    ASSERT_EQ(opening.problem, LogProblem::none) << opening.reason;
    LogStream log;
    log.open(opening.fd);
    log << "visible\r\n";
    log.flush();
    EXPECT_EQ(contents(), "visible\r\n");
    const HANDLE reader =
        CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    if (reader != INVALID_HANDLE_VALUE)
        CloseHandle(reader);
    log.close();
}

TEST_F(LogFileTest, ALogThatIsAFolderCannotBeCreatedAndSaysWhy) {
    fs::create_directory(path_);
    const LogOpening opening = open_log_file(path_.c_str());
    EXPECT_EQ(opening.problem, LogProblem::cannot_create);
    EXPECT_EQ(opening.fd, -1);
    EXPECT_FALSE(opening.reason.empty());
}

}  // namespace
