#!/usr/bin/env python3
"""What the Windows tests' scripts do with the answers a machine's 32-bit Wine
loader gives: refused by the kernel ("Exec format error", a machine that runs
no 32-bit programs) is a skip said in one line; missing, or failing in any
other way, is a failure with its message. The loader is imitated through
RAWMICE_WINE32_LOADER, on a build folder that says it is the i686 one.

    wine_session_test.py [unittest args]
"""
import os
import stat
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")


def run(args, loader):
    env = dict(os.environ, RAWMICE_WINE32_LOADER=loader, LC_ALL="C")
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

    def test_the_probe_tells_each_answer_apart(self):
        cases = [
            # (what, loader's content or None for missing, status, words of the message)
            ("refused by the kernel", self.REFUSED, 77,
             "this machine runs no 32-bit programs"),
            ("missing", None, 1, "is missing"),
            ("failing otherwise", b"#!/bin/sh\necho 'wine: could not load kernel32.dll' >&2\nexit 1\n",
             1, "could not load kernel32.dll"),
            ("refused for another reason", b"#!/bin/sh\nexit 126\n", 1, "status 126"),
            ("running", b"#!/bin/sh\necho wine-8.0\n", 0, ""),
        ]
        for what, content, status, words in cases:
            with self.subTest(what):
                loader = (self.loader(content) if content is not None
                          else os.path.join(self.folder.name, "no-such-wine"))
                result = run([os.path.join(SCRIPTS, "wine-session"), "--probe", self.build], loader)
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
        result = run([os.path.join(SCRIPTS, "test-windows"), self.build],
                     self.loader(self.REFUSED))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stderr.count("runs no 32-bit programs"), 1, result.stderr)
        self.assertRegex(result.stdout, r"WineSuite\.LoaderRunsOnThisMachine \(Skipped\)")
        self.assertIn("0 tests failed out of 2", result.stdout)

    def test_test_windows_fails_where_the_loader_is_missing(self):
        result = run([os.path.join(SCRIPTS, "test-windows"), self.build],
                     os.path.join(self.folder.name, "no-such-wine"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("is missing", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
