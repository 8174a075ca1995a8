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
    // Opens the log into `log` as the program does; fails the test if it cannot.
    void open(LogStream& log) const {
        const LogOpening opening = open_log_file(path_.c_str());
        ASSERT_EQ(opening.problem, LogProblem::none) << opening.reason;
        log.open(opening.fd);
    }

    fs::path folder_;
    std::string path_;
};

TEST_F(LogFileTest, ReportLinesKeepTheirCrLfAsTwoBytes) {
    LogStream log;
    ASSERT_NO_FATAL_FAILURE(open(log));
    log << "Mouse: num 0, usFlags=0000\r\n"
        << "second\r\n"
        << "bare\n";
    log.flush();
    EXPECT_TRUE(log.good());
    log.close();
    EXPECT_EQ(contents(), "Mouse: num 0, usFlags=0000\r\nsecond\r\nbare\n");
}

// Opening empties the log of an earlier run. A second rawmice in the same
// folder must neither write nor empty the log the first one holds; once the
// first one closes it, the log can be opened (and emptied) again.
TEST_F(LogFileTest, OpeningEmptiesTheLogUnlessAnotherWriterHoldsIt) {
    write("lines of an earlier run\r\n");
    LogStream log;
    ASSERT_NO_FATAL_FAILURE(open(log));
    log.flush();
    EXPECT_EQ(contents(), "");
    log << "first run\r\n";
    log.flush();

    const LogOpening second = open_log_file(path_.c_str());
    EXPECT_EQ(second.problem, LogProblem::held);
    EXPECT_EQ(second.fd, -1);
    EXPECT_EQ(contents(), "first run\r\n");

    log.close();
    LogStream again;
    ASSERT_NO_FATAL_FAILURE(open(again));
    again << "second run\r\n";
    again.close();
    EXPECT_EQ(contents(), "second run\r\n");
}

// Someone looking at the log while rawmice runs (an editor, `type log.txt`).
TEST_F(LogFileTest, TheHeldLogCanStillBeRead) {
    LogStream log;
    ASSERT_NO_FATAL_FAILURE(open(log));
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
