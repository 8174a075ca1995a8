// The tests' way of running a program: what the tests of the real program
// rely on it to tell apart and to clean up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Launch;
using testsupport::Process;
using testsupport::run;

TEST(Process, AnExitStatusAndASignalAreToldApart) {
    const auto exited = run({"sh", "-c", "printf out; printf err >&2; exit 3"});
    EXPECT_EQ(exited.exit_code, 3);
    EXPECT_EQ(exited.signal, 0);
    EXPECT_EQ(exited.out, "out");
    EXPECT_EQ(exited.err, "err");

    const auto killed = run({"sh", "-c", "kill -KILL $$"});
    EXPECT_EQ(killed.exit_code, -1);
    EXPECT_EQ(killed.signal, SIGKILL);

    const auto missing = run({"no-such-program-of-rawmice"});
    EXPECT_EQ(missing.exit_code, 127);
}

TEST(Process, RunsWhereAndWithWhatItIsTold) {
    testsupport::TempDir dir;
    ::setenv("RAWMICE_PROCESS_TEST", "inherited", 1);
    const auto told =
        run({"sh", "-c",
             "pwd; echo \"$QT_QPA_PLATFORM ${RAWMICE_PROCESS_TEST-unset} $ADDED\"; "
             "umask; ls -ld \"$XDG_RUNTIME_DIR\" | cut -c1-10; cat"},
            {.workdir = dir.path(), .env = {"RAWMICE_PROCESS_TEST=", "ADDED=yes"}, .umask = 027});
    ::unsetenv("RAWMICE_PROCESS_TEST");
    EXPECT_EQ(told.exit_code, 0) << told.err;
    EXPECT_EQ(told.out, dir.path().string() + "\noffscreen unset yes\n0027\ndrwx------\n")
        << "standard input is empty, the runtime folder private";
}

TEST(Process, HandsDownADescriptorAsFdThree) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Process child({"sh", "-c", "echo ready >&3"}, {.fd3 = fds[1]});
    ::close(fds[1]);
    char buffer[16] = {};
    EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 6);
    EXPECT_STREQ(buffer, "ready\n");
    ::close(fds[0]);
    EXPECT_TRUE(child.wait(10s));
}

// Its output can be read while it runs; a deadline stops the wait, not the
// child; at the end the whole process group goes, its own children too.
TEST(Process, OutputWhileRunningThenTheWholeGroupGoes) {
    testsupport::TempDir dir;
    const std::string pid_file = (dir / "grandchild").string();
    pid_t grandchild = 0;
    {
        Process child({"sh", "-c", "sleep 600 & echo $! > " + pid_file + "; echo started; wait"});
        ASSERT_TRUE(testsupport::wait_until([&] { return child.out() == "started\n"; }));
        EXPECT_FALSE(child.wait(10ms));
        EXPECT_TRUE(child.running());
        grandchild = std::stoi(testsupport::read_file(pid_file));
        ASSERT_EQ(::kill(grandchild, 0), 0);
    }
    // Killed with its group; reaped by its parent's end or by init.
    EXPECT_TRUE(testsupport::wait_until([&] {
        return ::kill(grandchild, 0) != 0 ||
               testsupport::read_file("/proc/" + std::to_string(grandchild) + "/stat")
                       .find(") Z ") != std::string::npos;
    }));
}

}  // namespace
