// The inputs the recording fuzzer found faults with, kept under tests/fuzz/inputs:
// each now passes the fuzzer's own checks, in the normal and sanitizer builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fuzz/recording_check.h"
#include "platform/input/recording.h"
#include "tests/support/recording_files.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> files_in(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<fs::path> kept_inputs() {
    return files_in(testsupport::source_dir() / "tests" / "fuzz" / "inputs");
}

TEST(FuzzInputs, EveryKeptInputPassesTheFuzzersChecks) {
    const auto files = kept_inputs();
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files)
        EXPECT_EQ(fuzzcheck::check_recording(file.string()), "") << file.filename();
}

// The libinput record seeds load whole, so that the fuzzer starts from
// files that reach the events of every device.
TEST(FuzzInputs, EverySeedLoadsAndPassesTheFuzzersChecks) {
    const auto seeds = files_in(testsupport::source_dir() / "fuzz" / "seeds");
    ASSERT_GE(seeds.size(), 2u);
    for (const fs::path& file : seeds) {
        const input::LoadAllResult loaded = input::load_recording_file(file.string());
        ASSERT_TRUE(loaded) << loaded.error->to_string();
        EXPECT_EQ(loaded.recordings.size(), 2u) << file.filename();
        EXPECT_EQ(fuzzcheck::check_recording(file.string()), "") << file.filename();
    }
}

// The seeds written with CR LF line ends and their devices' names in UTF-8
// play as the seeds do: the same log, byte for byte, under the new names.
TEST(FuzzInputs, TheSeedsWithCrLfLineEndsAndUtf8NamesPlayTheirLogByteForByte) {
    for (const fs::path& seed : files_in(testsupport::source_dir() / "fuzz" / "seeds")) {
        SCOPED_TRACE(seed.filename());
        testsupport::TempDir dir;
        std::string variant;
        for (const char c : testsupport::read_file(seed))
            variant += c == '\n' ? std::string("\r\n") : std::string(1, c);
        for (std::size_t at = 0; (at = variant.find("name: \"Seed ", at)) != variant.npos;)
            variant.replace(at, 12, "name: \"Séed ✓ ");
        testsupport::write_file(dir / "variant.yml", variant);
        EXPECT_EQ(fuzzcheck::check_recording((dir / "variant.yml").string()), "");

        std::string logs[2];
        for (int i = 0; i < 2; ++i) {
            const auto played = testsupport::run_rawmice(
                {"--replay-speed=max", "--exit-after-replay",
                 "--replay=" + (i == 0 ? seed : dir / "variant.yml").string()},
                dir.path());
            ASSERT_EQ(played.exit_code, 0) << played.err;
            logs[i] = testsupport::read_file(dir / "log.txt");
        }
        EXPECT_FALSE(logs[0].empty());
        EXPECT_TRUE(logs[1] == logs[0]) << "the same log, byte for byte:\n"
                                        << logs[0] << "against\n"
                                        << logs[1];
        const auto listed = testsupport::run_rawmice(
            {"--list-devices", "--replay=" + (dir / "variant.yml").string()}, dir.path());
        EXPECT_NE(listed.out.find("\"Séed ✓ "), std::string::npos) << listed.out;
    }
}

TEST(FuzzInputs, CarriageReturnsInAQuotedLineAreSpelledOut) {
    const auto file =
        testsupport::source_dir() / "tests/fuzz/inputs/carriage-returns-before-the-name.evemu";
    const input::LoadResult result = input::Recording::load(file.string());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error.to_string(),
              file.string() +
                  ":3: neither an evemu recording nor a libinput record file: expected the device "
                  "name line 'N: ...' or 'version: 1', found "
                  "'\\r\\r\\r\\r\\r\\r\\r\\r 00 00 00 00 00 00 00 00'");
}

// libevemu stops at a line of one blank character; such a line is passed
// over, so the events after it are read.
TEST(FuzzInputs, ALineOfOneBlankCharacterAmongTheEventsIsBlank) {
    testsupport::TempDir dir;
    const auto path = dir / "blanks.evemu";
    std::string text = testsupport::description("Mouse", {REL_X, REL_Y});
    for (const char* blank : {" \n", "\r\n", "\t\n", "\n", "  \n"}) {
        text += testsupport::event_text(1000, EV_REL, REL_X, 1) + blank +
                testsupport::event_text(1000, EV_SYN, SYN_REPORT, 0);
    }
    testsupport::write_file(path, text);
    const input::LoadResult result = input::Recording::load(path.string());
    ASSERT_TRUE(result) << result.error.to_string();
    EXPECT_EQ(result.recording->event_count(), 10u);
    input::EventStream stream(*result.recording);
    input_event event{};
    int events = 0;
    while (stream.next(event))
        ++events;
    EXPECT_EQ(stream.error(), "");
    EXPECT_EQ(events, 10);
}

}  // namespace
