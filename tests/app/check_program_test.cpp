// The check through the whole program: recordings of a check replayed with
// --report, the report read back key by key as a script reads it; the same
// at two replay speeds; the check window saved by --screenshot and timed by
// --stats; a report that cannot be written refused at start, or failing the
// run at exit.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/program_fixture.h"
#include "tests/support/check_session.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::read_file;

class CheckProgramTest : public ProgramTest {
  protected:
    // The session's mice as recordings, mouse0.evemu ... in the test's folder.
    std::vector<std::string> session(const std::vector<int>& mice) {
        const std::vector<testsupport::SessionMouse> all = testsupport::check_session();
        std::vector<std::string> args;
        for (int m : mice)
            args.push_back(
                replay(write("mouse" + std::to_string(m) + ".evemu",
                             testsupport::session_recording(all[static_cast<std::size_t>(m)]))));
        return args;
    }
    // Runs the program on `args` with --report, at full speed unless given,
    // and reads the report back.
    QJsonObject report_of(std::vector<std::string> args, const std::string& name = "report.json") {
        args.insert(args.end(), {"--report=" + (dir_ / name).string(), "--exit-after-replay"});
        if (std::none_of(args.begin(), args.end(),
                         [](const std::string& a) { return a.rfind("--replay-speed", 0) == 0; }))
            args.push_back("--replay-speed=max");
        const testsupport::RunResult result = run(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        QJsonParseError error{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(read_file(dir_ / name)), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
        EXPECT_FALSE(fs::exists(dir_ / (name + ".part")));
        return document.object();
    }
    static QJsonObject test_of(const QJsonObject& mouse, const char* test) {
        return mouse["tests"].toObject()[test].toObject();
    }
};

const std::vector<std::string> at_800_cpi = {"--cpi=800", "--distance-mm=100"};

// Mouse 0 of the session: 1 kHz on the grid, 20 clicks of each button, 10
// strokes between stops 100 mm apart at 800 CPI (3149.6 counts), the fast
// ones at 2.5 m/s as long as the slow ones at 0.2: every test passes.
TEST_F(CheckProgramTest, AHealthyMousePassesEveryTest) {
    std::vector<std::string> args = session({0});
    args.insert(args.end(), at_800_cpi.begin(), at_800_cpi.end());
    const QJsonObject report = report_of(args);
    EXPECT_EQ(report["rawmice_check"].toInt(), 1);
    EXPECT_EQ(report["version"].toString().toStdString() + "\n",
              run({"--version"}).out.substr(std::string("rawmice ").size()));
    EXPECT_EQ(report["input"].toString(), "replay");
    EXPECT_EQ(report["clock"].toString(), "recorded");
    EXPECT_EQ(report["distance_mm"].toDouble(), 100);
    EXPECT_EQ(report["chatter_ms"].toInt(), 25);
    const QJsonArray mice = report["mice"].toArray();
    ASSERT_EQ(mice.size(), 1);
    const QJsonObject mouse = mice[0].toObject();
    EXPECT_EQ(mouse["number"].toInt(), 0);
    EXPECT_EQ(mouse["handle"].toInt(), 65537);
    EXPECT_EQ(mouse["name"].toString(), "Check Mouse 0");
    EXPECT_EQ(mouse["verdict"].toString(), "pass") << QJsonDocument(mouse).toJson().toStdString();

    const QJsonObject polling = test_of(mouse, "polling");
    EXPECT_EQ(polling["verdict"].toString(), "pass") << polling["reason"].toString().toStdString();
    EXPECT_EQ(polling["poll_hz"].toDouble(), 1000);
    EXPECT_TRUE(polling["declared_hz"].isNull()) << "a recording declares nothing";
    EXPECT_EQ(polling["off_grid_pct"].toDouble(), 0) << "every stamp on a whole ms";
    EXPECT_GT(polling["skipped_pct"].toDouble(), 0) << "slowly at the strokes' ends";

    const QJsonObject buttons = test_of(mouse, "buttons");
    EXPECT_EQ(buttons["verdict"].toString(), "pass");
    const QJsonArray each = buttons["buttons"].toArray();
    ASSERT_EQ(each.size(), 2);
    for (int b = 0; b < 2; ++b) {
        EXPECT_EQ(each[b].toObject()["button"].toString(), b == 0 ? "left" : "right");
        EXPECT_EQ(each[b].toObject()["presses"].toInt(), 20);
        EXPECT_EQ(each[b].toObject()["chatter"].toInt(), 0);
    }

    // The last 5 slow strokes, each 3149 or 3150 counts: 800 CPI, spread
    // at most 1 / 3150.
    const QJsonObject cpi = test_of(mouse, "cpi");
    EXPECT_EQ(cpi["verdict"].toString(), "pass") << cpi["reason"].toString().toStdString();
    EXPECT_NEAR(cpi["cpi"].toDouble(), 800, 0.3);
    EXPECT_EQ(cpi["set_cpi"].toDouble(), 800);
    EXPECT_NEAR(cpi["deviation_pct"].toDouble(), 0, 0.04);
    EXPECT_EQ(cpi["strokes"].toInt(), 5);
    EXPECT_LE(cpi["spread_pct"].toDouble(), 0.04);

    const QJsonObject variation = test_of(mouse, "cpi_at_speed");
    EXPECT_EQ(variation["verdict"].toString(), "pass");
    EXPECT_NEAR(variation["variation_pct"].toDouble(), 0, 0.1);
    EXPECT_NEAR(variation["slow_mps"].toDouble(), 0.2, 0.01);
    EXPECT_NEAR(variation["fast_mps"].toDouble(), 2.5, 0.125);

    const QJsonObject speed = test_of(mouse, "speed");
    EXPECT_EQ(speed["verdict"].toString(), "pass");
    EXPECT_NEAR(speed["peak_mps"].toDouble(), 2.5, 0.125);
    EXPECT_NEAR(speed["peak_cpms"].toDouble(), 78.74, 4);
    EXPECT_EQ(speed["spinouts"].toInt(), 0);
    EXPECT_EQ(speed["saturated"].toInt(), 0);
    EXPECT_TRUE(speed["malfunction_mps"].isNull());

    const QJsonObject together = test_of(mouse, "together");
    EXPECT_EQ(together["verdict"].toString(), "info");
    EXPECT_TRUE(together["pairs"].toArray().isEmpty());
}

// Mouse 1: clicks 7, 10, 13, 16 and 19 of its left button pressed again 8
// ms after their release (25 presses, 5 chatter), and two swipes at 4 m/s
// whose counts stop for 2 ms: its buttons and its speed fail.
TEST_F(CheckProgramTest, AMouseWhoseLeftButtonChattersAndThatSpinsOutFails) {
    std::vector<std::string> args = session({1});
    args.insert(args.end(), at_800_cpi.begin(), at_800_cpi.end());
    const QJsonObject mouse = report_of(args)["mice"].toArray()[0].toObject();
    EXPECT_EQ(mouse["name"].toString(), "Check Mouse 1");
    EXPECT_EQ(mouse["verdict"].toString(), "fail");
    EXPECT_EQ(test_of(mouse, "polling")["verdict"].toString(), "pass");

    const QJsonObject buttons = test_of(mouse, "buttons");
    EXPECT_EQ(buttons["verdict"].toString(), "fail");
    EXPECT_EQ(buttons["reason"].toString(),
              "its switch bounces: presses less than 25 ms after a release (--chatter-ms)");
    const QJsonObject left = buttons["buttons"].toArray()[0].toObject();
    EXPECT_EQ(left["presses"].toInt(), 25);
    EXPECT_EQ(left["chatter"].toInt(), 5);
    EXPECT_EQ(buttons["buttons"].toArray()[1].toObject()["chatter"].toInt(), 0);

    const QJsonObject speed = test_of(mouse, "speed");
    EXPECT_EQ(speed["verdict"].toString(), "fail");
    EXPECT_EQ(speed["spinouts"].toInt(), 2);
    EXPECT_EQ(speed["saturated"].toInt(), 0);
    // Just before the first: 126 counts a ms, 4.00 m/s at 800 CPI.
    EXPECT_NEAR(speed["malfunction_mps"].toDouble(), 4.0, 0.05);
    EXPECT_EQ(test_of(mouse, "cpi")["verdict"].toString(), "pass")
        << "the swipes came after the strokes between the stops";
    EXPECT_EQ(test_of(mouse, "cpi_at_speed")["verdict"].toString(), "pass");

    // A wider chatter window than the bounces' 8 ms, no narrower one: the same.
    args.push_back("--chatter-ms=5");
    const QJsonObject narrow = report_of(args, "narrow.json")["mice"].toArray()[0].toObject();
    EXPECT_EQ(test_of(narrow, "buttons")["verdict"].toString(), "pass")
        << "8 ms after a release is no chatter within 5 ms";
    EXPECT_EQ(narrow["verdict"].toString(), "fail") << "it still spins out";
}

// A real PS/2 mouse (tests/data): 53 s of reports about 12 ms apart, on no
// poll grid (the PS/2 port has none; its stamps are when the interrupt
// came); no button, no stroke between stops, under 1.5 m/s.
TEST_F(CheckProgramTest, APs2MouseReportsOnNoPollGrid) {
    const fs::path events =
        testsupport::required_data("evemu-devices/mice") / "PS2 Generic Mouse.events";
    const fs::path recording = testsupport::whole_recording(events, dir_.path());
    const QJsonObject report = report_of({replay(recording)});
    EXPECT_TRUE(report["distance_mm"].isNull());
    const QJsonObject mouse = report["mice"].toArray()[0].toObject();
    EXPECT_EQ(mouse["verdict"].toString(), "incomplete");
    const QJsonObject polling = test_of(mouse, "polling");
    EXPECT_EQ(polling["verdict"].toString(), "warn");
    EXPECT_EQ(polling["reason"].toString(),
              "reports on no poll grid (as a PS/2 mouse or one that wanders does)");
    EXPECT_TRUE(polling["poll_hz"].isNull());
    EXPECT_TRUE(polling["off_grid_pct"].isNull());
    EXPECT_EQ(test_of(mouse, "buttons")["verdict"].toString(), "waiting");
    EXPECT_EQ(test_of(mouse, "cpi")["verdict"].toString(), "waiting");
    EXPECT_EQ(test_of(mouse, "cpi")["reason"].toString(),
              "type D, the mouse's travel between two stops, below");
    EXPECT_EQ(test_of(mouse, "speed")["verdict"].toString(), "waiting");
    EXPECT_TRUE(test_of(mouse, "speed")["peak_mps"].isNull()) << "no CPI: no m/s";
    EXPECT_FALSE(test_of(mouse, "together").contains("reason")) << "info alone, as the keys are";
}

// The three mice together: mice 0 and 2 found together (2's counts 1.08
// times 0's, 1.75 ms later), from each one's side; mouse 2, held with mouse
// 0, reads 864 CPI where it is set to 800 (+8 %: a warning), and waits for
// its right button. The same report at full speed and at 25 times the
// recorded speed: the pairs compared on the packets' own time.
TEST_F(CheckProgramTest, ThreeMiceReplayToTheSameReportAtAnySpeed) {
    std::vector<std::string> args = session({0, 1, 2});
    args.insert(args.end(), at_800_cpi.begin(), at_800_cpi.end());
    const QJsonObject fast = report_of(args, "max.json");
    args.push_back("--replay-speed=25");
    const QJsonObject paced = report_of(args, "paced.json");
    EXPECT_EQ(read_file(dir_ / "max.json"), read_file(dir_ / "paced.json"));

    const QJsonArray mice = fast["mice"].toArray();
    ASSERT_EQ(mice.size(), 3);
    EXPECT_EQ(mice[0].toObject()["verdict"].toString(), "pass");
    EXPECT_EQ(mice[1].toObject()["verdict"].toString(), "fail");
    const QJsonObject third = mice[2].toObject();
    EXPECT_EQ(third["verdict"].toString(), "incomplete");
    EXPECT_EQ(test_of(third, "buttons")["verdict"].toString(), "waiting");
    EXPECT_EQ(test_of(third, "buttons")["reason"].toString(), "click each button 20 times");
    const QJsonObject cpi = test_of(third, "cpi");
    EXPECT_EQ(cpi["verdict"].toString(), "warn");
    EXPECT_NEAR(cpi["cpi"].toDouble(), 864, 0.5);
    EXPECT_NEAR(cpi["deviation_pct"].toDouble(), 8.0, 0.05);
    EXPECT_EQ(test_of(third, "cpi_at_speed")["verdict"].toString(), "pass");

    const QJsonArray pairs0 = test_of(mice[0].toObject(), "together")["pairs"].toArray();
    ASSERT_EQ(pairs0.size(), 1) << "mouse 1 never moved with another";
    EXPECT_EQ(pairs0[0].toObject()["with"].toInt(), 2);
    EXPECT_NEAR(pairs0[0].toObject()["ratio"].toDouble(), 1.08, 0.02);
    EXPECT_NEAR(pairs0[0].toObject()["lag_ms"].toDouble(), 1.75, 0.25);
    const QJsonArray pairs2 = test_of(third, "together")["pairs"].toArray();
    ASSERT_EQ(pairs2.size(), 1);
    EXPECT_EQ(pairs2[0].toObject()["with"].toInt(), 0);
    EXPECT_NEAR(pairs2[0].toObject()["ratio"].toDouble(),
                1 / pairs0[0].toObject()["ratio"].toDouble(), 1e-3);
    EXPECT_EQ(pairs2[0].toObject()["lag_ms"].toDouble(),
              -pairs0[0].toObject()["lag_ms"].toDouble());
    EXPECT_TRUE(test_of(mice[1].toObject(), "together")["pairs"].toArray().isEmpty());
}

// --check opens the window, --screenshot saves it beside the main window's
// picture, --stats says what its drawing cost.
TEST_F(CheckProgramTest, TheCheckWindowIsSavedByScreenshotAndTimedByStats) {
    std::vector<std::string> args = session({0});
    args.insert(args.end(), {"--check", "--stats", "--screenshot=" + (dir_ / "shot.png").string(),
                             "--replay-speed=max", "--exit-after-replay"});
    const testsupport::RunResult result = run(args);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const QImage shot(QString::fromStdString((dir_ / "shot-check.png").string()));
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), QSize(900, 632));
    EXPECT_NE(result.err.find("\ncheck window: "), std::string::npos) << result.err;
}

TEST_F(CheckProgramTest, AReportThatCannotBeWrittenIsRefusedAtStartOrFailsTheRunAtExit) {
    const std::vector<std::string> mouse = session({0});
    for (const auto& [path, says] :
         {std::pair{(dir_ / "missing" / "r.json").string(),
                    "rawmice: --report: cannot create " + (dir_ / "missing" / "r.json").string() +
                        ": No such file or directory\n"},
          std::pair{dir_.path().string(), "rawmice: --report: cannot write " +
                                              dir_.path().string() + ": it is a folder\n"},
          std::pair{std::string(), std::string("rawmice: --report: the file name is empty (give "
                                               "one: --report=FILE) (see --help)\n")}}) {
        const testsupport::RunResult refused = run({mouse[0], "--report=" + path});
        EXPECT_EQ(refused.exit_code, 2);
        EXPECT_EQ(refused.err, says);
        EXPECT_FALSE(fs::exists(dir_ / "log.txt")) << "before any window";
    }

    // Its folder gone while the program runs: said at exit, and the run fails.
    fs::create_directory(dir_ / "out");
    testsupport::Process process =
        start({mouse[0], "--report=" + (dir_ / "out" / "r.json").string()});
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return fs::exists(dir_ / "log.txt") && fs::file_size(dir_ / "log.txt") > 0; },
        std::chrono::seconds(20)));
    fs::remove_all(dir_ / "out");
    process.send(SIGTERM);
    ASSERT_TRUE(process.wait(std::chrono::seconds(20)));
    EXPECT_EQ(process.exit_code(), 1);
    EXPECT_NE(process.err().find("rawmice: --report: cannot write " +
                                 (dir_ / "out" / "r.json").string() + ": "),
              std::string::npos)
        << process.err();
}

}  // namespace
