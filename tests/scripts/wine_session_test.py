#!/usr/bin/env python3
"""What the Windows tests' scripts do with the answers a machine's 32-bit Wine
loader gives: refused by the kernel ("Exec format error", a machine that runs
no 32-bit programs) is a skip said in one line; missing, or failing in any
other way, is a failure with its message, but for a loader missing where
install-wine32 noted that the mirror could not serve it. The loader is
imitated through RAWMICE_WINE32_LOADER, on a build folder that says it is the
i686 one. And what install-wine32 does with apt's answers, from stand-ins
for apt-get, dpkg and dpkg-query: a mirror's passing fault retried, then noted;
any other failure a failure; dpkg's architectures left as they were found.

    wine_session_test.py [unittest args]
"""
import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")


def read(path):
    """The text of the file at `path`, or "" where there is none."""
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        return f.read()


def run(args, loader, note="/nonexistent/wine32-unavailable"):
    env = dict(os.environ, RAWMICE_WINE32_LOADER=loader, RAWMICE_WINE32_NOTE=note, LC_ALL="C")
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL)


class WineLoader(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.build = os.path.join(self.folder.name, "windows-i686")
        os.mkdir(self.build)
        with open(os.path.join(self.build, "CMakeCache.txt"), "w") as cache:
            cache.write("CMAKE_TOOLCHAIN_FILE:FILEPATH=/src/cmake/mingw-i686.cmake\n")

    def loader(self, content):
        """An executable file with `content`, standing for the loader."""
        path = os.path.join(self.folder.name, "wine")
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, stat.S_IRWXU)
        return path

    # Bytes no binary format of the kernel takes: execve fails with ENOEXEC, as
    # it does for a 32-bit program where the kernel runs none.
    REFUSED = b"\0" * 64

    def noted(self):
        """The note install-wine32 leaves where the mirror could not serve wine32."""
        path = os.path.join(self.folder.name, "wine32-unavailable")
        with open(path, "w") as f:
            f.write("E: Failed to fetch http://mirror.example/Packages.xz  Mirror sync in progress?\n")
        return path

    def test_the_probe_tells_each_answer_apart(self):
        running = b"#!/bin/sh\necho wine-8.0\n"
        cases = [
            # (what, loader's content or None for missing, noted, status, words of the message)
            ("refused by the kernel", self.REFUSED, False, 77,
             "this machine runs no 32-bit programs"),
            ("missing", None, False, 1, "is missing"),
            ("missing where the mirror could not serve it", None, True, 77,
             "could not be installed (E: Failed to fetch"),
            ("failing otherwise", b"#!/bin/sh\necho 'wine: could not load kernel32.dll' >&2\nexit 1\n",
             False, 1, "could not load kernel32.dll"),
            ("refused for another reason", b"#!/bin/sh\nexit 126\n", False, 1, "status 126"),
            ("running", running, False, 0, ""),
            ("running, installed since the note", running, True, 0, ""),
        ]
        for what, content, noted, status, words in cases:
            with self.subTest(what):
                loader = (self.loader(content) if content is not None
                          else os.path.join(self.folder.name, "no-such-wine"))
                note = self.noted() if noted else os.path.join(self.folder.name, "no-note")
                result = run([os.path.join(SCRIPTS, "wine-session"), "--probe", self.build], loader,
                             note)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(words, result.stderr)
                self.assertEqual(result.stderr.count("\n"), 1 if words else 0, result.stderr)
                self.assertEqual(result.stdout, "")

    def test_a_session_where_the_loader_is_refused_runs_nothing(self):
        marker = os.path.join(self.folder.name, "ran")
        result = run([os.path.join(SCRIPTS, "wine-session"), self.build, "touch", marker],
                     self.loader(self.REFUSED))
        self.assertEqual(result.returncode, 77, result.stderr)
        self.assertFalse(os.path.exists(marker))
        self.assertFalse(os.path.exists(os.path.join(self.build, "wine")))

    def test_test_windows_counts_the_suite_as_skipped_and_runs_what_needs_no_wine(self):
        # The no-Wine folder as CMake writes it for an i686 build: the loader's
        # case (skip status 77) and a check that needs no Wine.
        no_wine = os.path.join(self.build, "tests", "windows", "no_wine")
        os.makedirs(no_wine)
        with open(os.path.join(no_wine, "CTestTestfile.cmake"), "w") as f:
            f.write('add_test(WineSuite.LoaderRunsOnThisMachine "%s" "--probe" "%s")\n'
                    'set_tests_properties(WineSuite.LoaderRunsOnThisMachine PROPERTIES '
                    'SKIP_RETURN_CODE "77")\n'
                    'add_test(WindowsProgram.Checked "true")\n'
                    % (os.path.join(SCRIPTS, "wine-session"), self.build))
        for what, loader, note, words in [
                ("refused by the kernel", self.loader(self.REFUSED), "/nonexistent",
                 "runs no 32-bit programs"),
                ("not installable now", os.path.join(self.folder.name, "no-such-wine"),
                 self.noted(), "could not be installed")]:
            with self.subTest(what):
                result = run([os.path.join(SCRIPTS, "test-windows"), self.build], loader, note)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(result.stderr.count(words), 1, result.stderr)
                self.assertRegex(result.stdout, r"WineSuite\.LoaderRunsOnThisMachine \(Skipped\)")
                self.assertIn("0 tests failed out of 2", result.stdout)

    def test_test_windows_fails_where_the_loader_is_missing(self):
        result = run([os.path.join(SCRIPTS, "test-windows"), self.build],
                     os.path.join(self.folder.name, "no-such-wine"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("is missing", result.stderr)


# apt's own words, as Debian 12's apt prints them.
MIRROR_SYNC = ("E: Failed to fetch http://mirror.example/debian-security/dists/bookworm-security/"
               "main/binary-i386/Packages.xz  File has unexpected size (35652 != 35688). "
               "Mirror sync in progress? [IP: 192.0.2.1 80]")
LISTS_IGNORED = ("E: Some index files failed to download. They have been ignored, "
                 "or old ones used instead.")
UNMET = ("wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be "
         "installed")
UNMET_TEXT = ("Some packages could not be installed. This may mean that you have\n"
              "requested an impossible situation or if you are using the unstable\n"
              "distribution that some required packages have not yet been created\n"
              "or been moved out of Incoming.\n"
              "The following information may help to resolve the situation:\n\n"
              "The following packages have unmet dependencies:\n"
              " " + UNMET + "\n"
              "E: Unable to correct problems, you have held broken packages.")
RESOLVER = ("E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held "
            "packages.")
LOCKED = ("E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 "
          "(apt-get)")
FULL = "E: You don't have enough free space in /var/cache/apt/archives/."
GONE = "E: Unable to locate package wine32:i386"

# The stand-ins, one program answering as apt-get, dpkg or dpkg-query by its
# name, from the scenario in its folder; each call is logged there.
STAND_IN = r'''#!/usr/bin/env python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
state = json.load(open(os.path.join(here, "state.json")))
name, args = os.path.basename(sys.argv[0]), sys.argv[1:]
with open(os.path.join(here, "calls"), "a") as calls:
    calls.write(" ".join([name] + args) + "\n")
status = 0
if name == "sudo":
    os.execvp(args[0], args)
elif name == "apt-get":
    state["round"] += args[0] == "update"
    rounds = state["rounds"]
    status, text = rounds[min(state["round"], len(rounds)) - 1][args[0]]
    if status == 0 and args[0] == "install":
        state["installed"] = True
    print(text, file=sys.stderr if text.startswith("E:") else sys.stdout)
elif name == "dpkg":
    if args[0] == "--print-foreign-architectures":
        print("\n".join(state["foreign"]))
    elif args[0] == "--add-architecture":
        state["foreign"].append(args[1])
    elif args[0] == "--remove-architecture":
        state["foreign"].remove(args[1])
elif name == "dpkg-query":
    if args[-1] == "wine32:i386":
        status = 0 if state["installed"] else 1
        print("install ok installed" if state["installed"] else "", end="")
    else:
        print("amd64\n" + ("i386\n" if state["i386_package"] or state["installed"] else ""))
json.dump(state, open(os.path.join(here, "state.json"), "w"))
sys.exit(status)
'''


class InstallWine32(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.bin = os.path.join(self.folder.name, "bin")
        os.mkdir(self.bin)
        program = os.path.join(self.bin, "stand-in")
        with open(program, "w") as f:
            f.write(STAND_IN)
        os.chmod(program, stat.S_IRWXU)
        for name in ("apt-get", "dpkg", "dpkg-query", "sudo"):
            os.symlink(program, os.path.join(self.bin, name))
        self.note = os.path.join(self.folder.name, "build", "wine32-unavailable")

    def install(self, rounds, installed=False, i386_package=False, note=None):
        with open(os.path.join(self.bin, "state.json"), "w") as f:
            json.dump({"rounds": rounds, "round": 0, "installed": installed,
                       "foreign": [], "i386_package": i386_package}, f)
        if note is not None:
            os.makedirs(os.path.dirname(self.note), exist_ok=True)
            with open(self.note, "w") as f:
                f.write(note)
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   RAWMICE_WINE32_NOTE=self.note, RAWMICE_WINE32_RETRY_SECONDS="0")
        result = subprocess.run([os.path.join(SCRIPTS, "install-wine32")], env=env,
                                capture_output=True, text=True, timeout=60,
                                stdin=subprocess.DEVNULL)
        with open(os.path.join(self.bin, "state.json")) as f:
            state = json.load(f)
        return result, state, read(os.path.join(self.bin, "calls"))

    def test_a_passing_fault_of_the_mirror_is_retried_then_noted_and_any_other_fails(self):
        fetch_failed = [100, MIRROR_SYNC + "\n" + LISTS_IGNORED]
        updated = [0, ""]
        unmet = [100, UNMET_TEXT]
        installed = [0, ""]
        cases = [
            # (what, rounds of [update, install], an i386 package in dpkg's database,
            #  status, the cause said and noted (None: no note), installs tried,
            #  the i386 architecture kept)
            ("the mirror's lists, every round",
             [{"update": fetch_failed, "install": unmet}], False, 0, MIRROR_SYNC, 3, False),
            ("wine32's dependencies, every round",
             [{"update": updated, "install": unmet}], False, 0, UNMET, 3, False),
            ("the resolver's breaks alone, every round",
             [{"update": updated, "install": [100, RESOLVER]}], False, 0, RESOLVER, 3, False),
            ("wine32 not found for a list the mirror did not serve",
             [{"update": fetch_failed, "install": [100, GONE]}], False, 0, MIRROR_SYNC, 3, False),
            ("a passing fault, then installed",
             [{"update": fetch_failed, "install": unmet}, {"update": updated, "install": installed}],
             False, 0, None, 2, True),
            ("a lock held past its timeout",
             [{"update": updated, "install": [100, LOCKED]}], False, 1, None, 1, False),
            ("a full disk", [{"update": updated, "install": [100, FULL]}], False, 1, None, 1, False),
            ("wine32 gone from the archive",
             [{"update": updated, "install": [100, GONE]}], False, 1, None, 1, False),
            ("a failure with an i386 package left in dpkg's database",
             [{"update": updated, "install": [100, LOCKED]}], True, 1, None, 1, True),
        ]
        for what, rounds, i386_package, status, cause, installs, kept in cases:
            with self.subTest(what):
                if os.path.exists(os.path.join(self.bin, "calls")):
                    os.remove(os.path.join(self.bin, "calls"))
                result, state, calls = self.install(rounds, i386_package=i386_package,
                                                    note="an earlier note\n")
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertEqual(calls.count("apt-get install"), installs, calls)
                self.assertEqual("i386" in state["foreign"], kept, calls)
                said = result.stderr.count("cannot be installed now: ")
                if cause is not None:
                    self.assertEqual(said, 1, result.stderr)
                    self.assertIn("install-wine32: wine32:i386 cannot be installed now: " + cause +
                                  "\n", result.stderr)
                    self.assertEqual(read(self.note), cause + "\n")
                else:
                    self.assertEqual(said, 0, result.stderr)
                if status != 0:
                    self.assertIn(rounds[0]["install"][1], result.stderr, "apt's message shown")
                    self.assertEqual(read(self.note), "an earlier note\n",
                                     "a failure leaves the note as it was")
                elif cause is None:
                    self.assertFalse(os.path.exists(self.note), "an install clears the note")

    def test_installed_already_asks_apt_nothing_and_clears_the_note(self):
        result, _, calls = self.install([], installed=True, note="an earlier note\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertNotIn("apt-get", calls)
        self.assertFalse(os.path.exists(self.note))


if __name__ == "__main__":
    unittest.main(verbosity=2)
