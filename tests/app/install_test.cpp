// The program as people get it: installed by `cmake --install` into a scratch
// prefix, and as the Debian package cpack makes, unpacked with dpkg -x.
#include <gtest/gtest.h>

#include <QStandardPaths>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <regex>
#include <set>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::read_file;
using testsupport::split_lines;
using testsupport::TempDir;

using Ran = testsupport::RunResult;

// Runs `program` and waits for it; `env` as in testsupport::Launch.
Ran run(const std::string& program, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {}, const fs::path& workdir = {}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv, {workdir, env}, std::chrono::seconds(120));
}

bool have(const std::string& tool) {
    return !QStandardPaths::findExecutable(QString::fromStdString(tool)).isEmpty();
}

std::vector<std::string> replays_of(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> args;
    for (const std::string& file : files)
        args.push_back("--replay=" + file);
    return args;
}

// The bundled recordings in name order: keyboard, then mice 0, 1 and 2.
const std::vector<std::string> samples_listing = {
    "0 65538  Mouse", "Amouse[0] = 65538", "1 65539  Mouse",    "Amouse[1] = 65539",
    "2 65540  Mouse", "Amouse[2] = 65540", "3 65537  Keyboard",
};

// What an installed program must do with its own files.
void expect_program_runs(const fs::path& binary, const fs::path& samples) {
    const Ran version = run(binary.string(), {"--version"});
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_EQ(version.out, "rawmice " RAWMICE_EXPECTED_VERSION "\n");

    std::vector<std::string> args = replays_of(samples);
    args.push_back("--list-devices");
    const Ran listing = run(binary.string(), args);
    EXPECT_EQ(listing.exit_code, 0) << listing.err;
    const std::vector<std::string> lines = split_lines(listing.out);
    ASSERT_EQ(lines.size(), samples_listing.size() + 2 + 4) << listing.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + samples_listing.size()),
              samples_listing);
    // Then the table: the keyboard's row names its recording and its name.
    EXPECT_EQ(
        lines.back().rfind("3      65537   Keyboard  " + (samples / "keyboard.evemu").string(), 0),
        0u)
        << lines.back();
}

void expect_files(const fs::path& root, const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
        EXPECT_TRUE(fs::is_regular_file(root / path)) << path;
}

const std::vector<std::string> installed_files = {
    "bin/rawmice",
    "share/applications/rawmice.desktop",
    "share/icons/hicolor/scalable/apps/rawmice.svg",
    "share/man/man1/rawmice.1.gz",
    "lib/udev/rules.d/70-rawmice.rules",
    "share/rawmice/udev/70-rawmice-group.rules",
    "share/rawmice/samples/keyboard.evemu",
    "share/rawmice/samples/mouse0-wander.evemu",
    "share/rawmice/samples/mouse1-click-scroll.evemu",
    "share/rawmice/samples/mouse2-star.evemu",
    "share/doc/rawmice/README.md",
    "share/doc/rawmice/copyright",
    "share/doc/rawmice/changelog.Debian.gz",
};

// The text of a gzip-compressed file.
std::string gunzipped(const fs::path& file) {
    const Ran gzip = run("gzip", {"-dc", file.string()});
    EXPECT_EQ(gzip.exit_code, 0) << gzip.err;
    return gzip.out;
}

// The value of `key` in the [Desktop Entry] group, or "" when absent.
std::string desktop_value(const std::string& text, const std::string& key) {
    for (const std::string& line : split_lines(text)) {
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return {};
}

class InstalledProgram : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        prefix_ = std::make_unique<TempDir>();
        installed_ = run(RAWMICE_CMAKE,
                         {"--install", RAWMICE_BUILD_DIR, "--prefix", prefix_->path().string()});
    }
    static void TearDownTestSuite() { prefix_.reset(); }

    void SetUp() override {
        ASSERT_EQ(installed_.exit_code, 0) << installed_.out << installed_.err;
    }

    static fs::path prefix() { return prefix_->path(); }

    static std::unique_ptr<TempDir> prefix_;
    static Ran installed_;
};

std::unique_ptr<TempDir> InstalledProgram::prefix_;
Ran InstalledProgram::installed_;

TEST_F(InstalledProgram, PutsEachFileInItsUsualPlace) {
    expect_files(prefix(), installed_files);
    const auto perms = fs::status(prefix() / "bin/rawmice").permissions();
    EXPECT_NE(perms & fs::perms::others_exec, fs::perms::none);
    EXPECT_EQ(read_file(prefix() / "lib/udev/rules.d/70-rawmice.rules"),
              read_file(testsupport::source_dir() / "udev/70-rawmice.rules"));
}

TEST_F(InstalledProgram, RunsOnItsOwnSamples) {
    expect_program_runs(prefix() / "bin/rawmice", prefix() / "share/rawmice/samples");
}

// The man page is written from the real command line: every option it
// documents is one the program has, and every option the program has is there.
TEST_F(InstalledProgram, ManPageDocumentsExactlyTheProgramsOptions) {
    const Ran help = run((prefix() / "bin/rawmice").string(), {"--help"});
    ASSERT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("Usage: rawmice [options]\n", 0), 0u) << help.out;
    const std::regex option_in_help(R"(--([a-z][a-z-]*))");
    std::set<std::string> program_options;
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), option_in_help), end; it != end;
         ++it) {
        program_options.insert((*it)[1]);
    }

    const std::string man = gunzipped(prefix() / "share/man/man1/rawmice.1.gz");
    EXPECT_EQ(man, read_file(testsupport::source_dir() / "packaging/rawmice.1"));
    const auto begin = man.find(".SH OPTIONS");
    ASSERT_NE(begin, std::string::npos);
    const std::string options = man.substr(begin, man.find(".SH ", begin + 1) - begin);
    const std::regex option_in_man(R"(\\-\\-([a-z][a-z\\-]*))");
    std::set<std::string> documented;
    for (std::sregex_iterator it(options.begin(), options.end(), option_in_man), end; it != end;
         ++it) {
        documented.insert(std::regex_replace((*it)[1].str(), std::regex(R"(\\-)"), "-"));
    }
    EXPECT_EQ(documented, program_options);
}

TEST_F(InstalledProgram, ManPageFormatsWithoutWarnings) {
    if (!have("groff"))
        GTEST_SKIP() << "groff is not installed";
    TempDir scratch;
    testsupport::write_file(scratch / "rawmice.1",
                            gunzipped(prefix() / "share/man/man1/rawmice.1.gz"));
    const Ran groff = run("groff", {"-man", "-ww", "-z", (scratch / "rawmice.1").string()});
    EXPECT_EQ(groff.exit_code, 0);
    EXPECT_EQ(groff.err, "");
}

// On an 80-column terminal every line of the page fits, examples included,
// and the environment the program reads is documented.
TEST_F(InstalledProgram, ManPageFitsEightyColumnsAndNamesItsEnvironment) {
    if (!have("man"))
        GTEST_SKIP() << "man (man-db) is not installed";
    const Ran man = run("man", {"-l", (prefix() / "share/man/man1/rawmice.1.gz").string()},
                        {"MANWIDTH=80", "MANPAGER=cat", "PAGER=cat", "LANG=C.UTF-8"});
    ASSERT_EQ(man.exit_code, 0) << man.err;
    const QStringList lines = QString::fromStdString(man.out).split('\n');
    EXPECT_GT(lines.size(), 100);
    for (const QString& line : lines)
        EXPECT_LE(line.size(), 80) << line.toStdString();
    const auto begin = man.out.find("\nENVIRONMENT\n");
    ASSERT_NE(begin, std::string::npos);
    const std::string environment = man.out.substr(begin, man.out.find("\nEXIT STATUS") - begin);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_STATE_HOME"})
        EXPECT_NE(environment.find(std::string("\n       ") + name), std::string::npos) << name;
}

TEST_F(InstalledProgram, DesktopEntryIsValidAndNamesTheInstalledFiles) {
    const fs::path entry = prefix() / "share/applications/rawmice.desktop";
    const std::string text = read_file(entry);
    EXPECT_EQ(desktop_value(text, "Icon"), "rawmice");
    EXPECT_EQ(desktop_value(text, "TryExec"), "rawmice");
    if (!have("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate (desktop-file-utils) is not installed";
    const Ran validate = run("desktop-file-validate", {entry.string()});
    EXPECT_EQ(validate.exit_code, 0);
    EXPECT_EQ(validate.out + validate.err, "");
}

// Started from the desktop, the program runs in a folder of its own, so its
// log.txt never lands on a file of the user's home folder.
TEST_F(InstalledProgram, DesktopEntryStartsTheProgramInItsStateFolder) {
    if (!have("gio"))
        GTEST_SKIP() << "gio (libglib2.0-bin) is not installed";
    TempDir scratch;
    fs::create_directories(scratch / "bin");
    fs::create_directories(scratch / "home");
    // A stand-in on PATH says where it was started.
    testsupport::write_file(scratch / "bin/rawmice",
                            "#!/bin/sh\npwd > \"$WHERE.part\" && mv \"$WHERE.part\" \"$WHERE\"\n");
    fs::permissions(scratch / "bin/rawmice", fs::perms::owner_all);
    const fs::path where = scratch / "where";
    const std::vector<std::string> env = {"PATH=" + (scratch / "bin").string() + ":/usr/bin:/bin",
                                          "HOME=" + (scratch / "home").string(),
                                          "XDG_STATE_HOME=", "WHERE=" + where.string()};

    const Ran launch =
        run("gio", {"launch", (prefix() / "share/applications/rawmice.desktop").string()}, env);
    ASSERT_EQ(launch.exit_code, 0) << launch.err;
    ASSERT_TRUE(testsupport::wait_until([&] { return fs::exists(where); }));
    EXPECT_EQ(read_file(where), (scratch / "home/.local/state/rawmice").string() + "\n");
}

// cpack's own install step first builds every target ("preinstall"); the
// package is made here from what this build already has, through the same
// install script, so a test never builds in a folder other tests run from.
class DebianPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        out_ = std::make_unique<TempDir>();
        const std::string build = RAWMICE_BUILD_DIR;
        made_ =
            run(RAWMICE_CPACK, {"-G", "DEB", "--config", build + "/CPackConfig.cmake", "-B",
                                out_->path().string(), "-D", "CPACK_INSTALL_CMAKE_PROJECTS=", "-D",
                                "CPACK_INSTALL_SCRIPTS=" + build + "/cmake_install.cmake", "-D",
                                "CPACK_INSTALL_PREFIX=/usr", "-D", "CMAKE_INSTALL_DO_STRIP=1"});
        for (const auto& entry : fs::directory_iterator(out_->path())) {
            if (entry.path().extension() == ".deb")
                deb_ = entry.path();
        }
    }
    static void TearDownTestSuite() { out_.reset(); }

    void SetUp() override {
        ASSERT_EQ(made_.exit_code, 0) << made_.out << made_.err;
        ASSERT_FALSE(deb_.empty()) << made_.out;
    }

    static std::string field(const std::string& name) {
        const Ran f = run("dpkg-deb", {"--field", deb_.string(), name});
        EXPECT_EQ(f.exit_code, 0) << f.err;
        return f.out.substr(0, f.out.find('\n'));
    }

    static std::unique_ptr<TempDir> out_;
    static Ran made_;
    static fs::path deb_;
};

std::unique_ptr<TempDir> DebianPackage::out_;
Ran DebianPackage::made_;
fs::path DebianPackage::deb_;

TEST_F(DebianPackage, DependsOnTheDebianRuntimePackages) {
    EXPECT_EQ(field("Package"), "rawmice");
    EXPECT_EQ(field("Version"), RAWMICE_EXPECTED_VERSION "-1");
    std::set<std::string> depends;
    const std::string text = field("Depends");
    const std::regex name(R"((?:^|, )([a-z0-9][a-z0-9.+-]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
        depends.insert((*it)[1]);
    for (const char* package :
         {"libc6", "libstdc++6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libevdev2",
          "libevemu3", "libyaml-0-2", "libx11-6", "libxi6", "libxcb-xinput0"}) {
        EXPECT_TRUE(depends.count(package)) << package << " missing from: " << text;
    }
    EXPECT_NE(field("Recommends").find("fonts-liberation2"), std::string::npos);

    const Ran info = run("dpkg-deb", {"--info", deb_.string()});
    EXPECT_NE(info.out.find(" postinst "), std::string::npos) << info.out;
}

// lintian, Debian's package checker, finds no error in the package (its
// warnings and notes are printed for the record).
TEST_F(DebianPackage, HasNoLintianErrors) {
    if (!have("lintian"))
        GTEST_SKIP() << "lintian is not installed (scripts/install-deps installs it)";
    const Ran lintian = run("lintian", {"--tag-display-limit", "0", deb_.string()});
    std::vector<std::string> errors;
    for (const std::string& line : split_lines(lintian.out)) {
        if (line.rfind("E: ", 0) == 0)
            errors.push_back(line);
    }
    EXPECT_TRUE(errors.empty()) << lintian.out << lintian.err;
    EXPECT_EQ(lintian.exit_code, 0) << "lintian fails on errors: " << lintian.out << lintian.err;
    std::cout << "lintian: " << (lintian.out.empty() ? "clean\n" : lintian.out);
}

// The package names its licence in the Debian way; the source ships its text.
TEST_F(DebianPackage, NamesItsLicenceInItsCopyrightFile) {
    TempDir root;
    ASSERT_EQ(run("dpkg", {"-x", deb_.string(), root.path().string()}).exit_code, 0);
    const std::string copyright = read_file(root / "usr/share/doc/rawmice/copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/"
                              "copyright-format/1.0/\n",
                              0),
              0u);
    EXPECT_NE(copyright.find("\nLicense: GPL-3+\n"), std::string::npos) << copyright;
    EXPECT_NE(copyright.find("/usr/share/common-licenses/GPL-3"), std::string::npos);
    const std::string licence = read_file(testsupport::source_dir() / "LICENSE");
    EXPECT_NE(licence.find("GNU GENERAL PUBLIC LICENSE\n                       Version 3"),
              std::string::npos);
    EXPECT_NE(gunzipped(root / "usr/share/doc/rawmice/changelog.Debian.gz")
                  .find("rawmice (" RAWMICE_EXPECTED_VERSION "-1) "),
              std::string::npos);
}

TEST_F(DebianPackage, UnpacksIntoTheDebianPlacesAndRuns) {
    TempDir root;
    const Ran unpacked = run("dpkg", {"-x", deb_.string(), root.path().string()});
    ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
    std::vector<std::string> files;
    for (const std::string& path : installed_files)
        files.push_back("usr/" + path);
    expect_files(root.path(), files);
    expect_program_runs(root / "usr/bin/rawmice", root / "usr/share/rawmice/samples");
}

}  // namespace
