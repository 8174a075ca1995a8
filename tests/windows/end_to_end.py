#!/usr/bin/env python3
"""rawmice.exe run as a user runs it, under Wine on the harness's Xvfb.

XTest moves, clicks and turns the wheel of the X server's pointer (xdotool);
Wine turns them into real WM_INPUT packets of one mouse, handle 1, which the
program must log byte for byte. Wine merges motion it has not yet delivered,
so each step waits for its line before the next one is sent. Escape must hide the memo, and a close request
(Alt+F4) must end the program with status 0 and a complete log. F2 opens the
timing window; while it has the focus the packets still reach the log, and
its chart shows them; F2 hides it again.

    end_to_end.py RAWMICE_EXE EMULATOR [EMULATOR ARGS...] -- [unittest args]

Run by ctest inside scripts/test-windows, which provides DISPLAY and the Wine
session (WINEPREFIX, a running wineserver).
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "support"))
from waiting import DEADLINE, wait_for  # noqa: E402

EXE = ""
EMULATOR = []


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=DEADLINE)
    return result.stdout.strip() if result.returncode == 0 else ""


# A motion line of mouse 0 whose values the test cannot know beforehand.
MOTION = (rb"^Mouse: num 0, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 "
          rb"ulRawButtons=0000 lLastX=[0-9a-f]{4,8} lLastY=[0-9a-f]{4,8} "
          rb"ulExtraInformation=0000\r\n$")


# The background of the notice along the bottom of the main window.
NOTICE = bytes((0xFF, 0xF4, 0xD6))


def line(flags=0, data=0, x=0, y=0):
    """The report line of one packet of mouse 0 (ulRawButtons is 0 under Wine)."""
    return ("Mouse: num 0, usFlags=0000 ulButtons=%04x usButtonFlags=%04x usButtonData=%04x "
            "ulRawButtons=0000 lLastX=%04x lLastY=%04x ulExtraInformation=0000\r\n" %
            (flags | data << 16, flags, data, x & 0xffffffff, y & 0xffffffff)).encode()


class Screenshot:
    """The pixels of an X window: Wine's X window of a top-level window without
    a window manager is its client area, so (x, y) are client coordinates."""

    def __init__(self, window):
        # 8 bits a sample: ImageMagick's own depth (16) would double every pixel's bytes.
        ppm = subprocess.run(["import", "-window", window, "-depth", "8", "ppm:-"],
                             capture_output=True, check=True, timeout=DEADLINE).stdout
        # P6: magic, width, height, maxval (255), each ended by one white space.
        fields, pos = [], 0
        while len(fields) < 4:
            while ppm[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not ppm[pos:pos + 1].isspace():
                pos += 1
            fields.append(ppm[start:pos])
        self.width, self.height = int(fields[1]), int(fields[2])
        if fields[3] != b"255":
            raise AssertionError("a screenshot with %s levels a sample" % fields[3])
        self.pixels = ppm[pos + 1:]

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return self.pixels[i:i + 3]

    def count_unlike(self, colour, left, top, right, bottom):
        """Pixels of the rectangle [left, right) x [top, bottom) not of `colour`."""
        return sum(1 for y in range(top, bottom) for x in range(left, right)
                   if self.at(x, y) != colour)


class Program:
    """rawmice.exe started in `folder`, its output kept in files there."""

    def __init__(self, folder, args=()):
        self.folder = folder
        self.out = open(os.path.join(folder, "stdout.txt"), "wb")
        self.err = open(os.path.join(folder, "stderr.txt"), "wb")
        self.process = subprocess.Popen([*EMULATOR, EXE, *args], cwd=folder,
                                        stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)

    def stderr(self):
        with open(os.path.join(self.folder, "stderr.txt"), "rb") as f:
            return f.read().decode(errors="replace")

    def log(self):
        try:
            with open(os.path.join(self.folder, "log.txt"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def window(self, title="Form1", exclude=()):
        """The X window of the top-level window titled `title`, once it is mapped
        (never one of `exclude`: another rawmice's)."""
        def find():
            if self.process.poll() is not None:
                raise AssertionError("rawmice.exe ended (status %d) before its window showed: %s"
                                     % (self.process.returncode, self.stderr()))
            # --all: both the process and the title (xdotool takes either by default).
            found = xdotool("search", "--all", "--onlyvisible", "--pid", str(self.process.pid),
                            "--name", "^%s$" % title).split()
            found = found or xdotool("search", "--onlyvisible", "--name", "^%s$" % title).split()
            found = [w for w in found if w not in exclude]
            return found[0] if found else None
        return wait_for(find, "the %s window" % title)

    def close(self):
        self.out.close()
        self.err.close()
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(DEADLINE)


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="rawmice-wine-")
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            program.close()
        self.folder.cleanup()

    def start(self, args=()):
        if not self.programs:
            # Over where the window will be, as a user's pointer would be: Wine
            # without a window manager loses relative motion made outside its
            # windows. No rawmice runs yet, so the move makes no packet.
            xdotool("mousemove", "300", "200")
        program = Program(self.folder.name, args)
        self.programs.append(program)
        return program

    def focus(self, window):
        xdotool("windowfocus", window)
        wait_for(lambda: xdotool("getwindowfocus") == window, "the focus on rawmice's window")

    def first_move(self, program):
        """Moves the pointer by (10, 0) once the window has the focus; returns
        the log up to and including that move's line.

        Wine may first report motionless packets (as the window takes the
        focus), and may report, before the move itself, the jump from where it
        last saw the pointer ((0,0), or where an earlier program left it) to
        where the pointer is: a motion line whose values depend on that."""
        wait_for(lambda: program.log() is not None, "log.txt")
        xdotool("mousemove_relative", "--", "10", "0")
        wait_for(lambda: program.log().endswith(line(x=10)), "the first move's line")
        logged = program.log()
        moved = logged
        while moved.startswith(line()):
            moved = moved[len(line()):]
        jump = moved[:-len(line(x=10))]
        if jump:
            self.assertRegex(jump, MOTION)
        return logged

    def expect_log(self, program, expected):
        """Waits until the log holds as many bytes as `expected`, then compares."""
        try:
            wait_for(lambda: len(program.log() or b"") >= len(expected), "%d log lines"
                     % expected.count(b"\n"))
        except AssertionError as timeout:
            raise AssertionError("%s; log.txt holds %r; X focus on %s; stderr: %s" % (
                timeout, program.log(), xdotool("getwindowfocus"), program.stderr())) from None
        self.assertEqual(program.log(), expected)

    def test_xtest_packets_are_logged_byte_exact_and_a_close_request_ends_the_run(self):
        self.session()

    def test_the_same_under_a_window_manager(self):
        """Openbox frames the window and hands out the focus itself."""
        wm = subprocess.Popen(["openbox", "--sm-disable"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for(lambda: "window id" in subprocess.run(
                ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True,
                text=True).stdout, "openbox to manage the screen")
            self.session(by_click=True)
        finally:
            wm.terminate()
            wm.wait(DEADLINE)

    def session(self, by_click=False):
        """Moves, clicks, wheel turns, Escape and a close request, as a user
        would; `by_click`: the window is activated by a click into it, as under
        a window manager (Wine takes the X focus set from outside as its own
        only without one)."""
        program = self.start()
        window = program.window()
        if by_click:
            wait_for(lambda: program.log() is not None, "log.txt")
            xdotool("mousemove", "--window", window, "600", "200", "click", "1")
            # What the click's move is reported as depends on where Wine last
            # saw the pointer; the lines after it are exact.
            wait_for(lambda: (program.log() or b"").endswith(line(0x0002)), "the click's lines")
            expected = program.log()
            for logged in expected.splitlines(keepends=True):
                self.assertRegex(logged, MOTION + b"|" + re.escape(line(0x0001)) + b"|" +
                                 re.escape(line(0x0002)))
        else:
            self.focus(window)
            expected = self.first_move(program)

        steps = [
            (("mousemove_relative", "--", "10", "0"), line(x=10)),
            (("mousemove_relative", "--", "-3", "5"), line(x=-3, y=5)),
            (("mousemove_relative", "--", "0", "-7"), line(y=-7)),
            (("click", "1"), line(0x0001) + line(0x0002)),
            (("click", "3"), line(0x0004) + line(0x0008)),
            (("click", "4"), line(0x0400, 120)),
            (("click", "5"), line(0x0400, 0xff88)),
        ]
        for args, lines in steps:
            xdotool(*args)
            expected += lines
            self.expect_log(program, expected)

        # Escape presses Copy, which hides the memo: where it was (8,8 377x105),
        # only the form's own colour is left.
        def memo_pixels():
            shot = Screenshot(window)
            background = shot.at(600, 200)  # plain form: no control, no drawing there
            return shot.count_unlike(background, 9, 9, 384, 112)
        self.assertGreater(memo_pixels(), 1000, "the memo is not on the window")
        xdotool("key", "Escape")
        wait_for(lambda: memo_pixels() == 0, "the memo to hide")

        xdotool("key", "alt+F4")
        self.assertEqual(program.process.wait(DEADLINE), 0, program.stderr())
        self.assertEqual(program.log(), expected)

    def expect_after_focus_change(self, program, expected, lines):
        """Waits for `lines` after `expected`, which Wine may precede with
        motionless packets (as a window takes the focus); returns the log."""
        wait_for(lambda: (program.log() or b"").endswith(lines), "%r" % lines)
        logged = program.log()
        self.assertTrue(logged.startswith(expected), logged)
        between = logged[len(expected):-len(lines)]
        self.assertEqual(between, line() * (len(between) // len(line())), logged)
        return logged

    def test_f2_opens_the_timing_window_and_the_log_goes_on_while_it_has_the_focus(self):
        program = self.start()
        window = program.window()
        self.focus(window)
        expected = self.first_move(program)
        xdotool("key", "F2")
        timing = program.window("Timing")
        self.assertNotEqual(timing, window)
        # Without a window manager Wine takes the X focus set from outside as its own.
        self.focus(timing)
        xdotool("mousemove_relative", "--", "6", "0")
        expected = self.expect_after_focus_change(program, expected, line(x=6))
        for args, lines in ((("click", "1"), line(0x0001) + line(0x0002)),
                            (("mousemove_relative", "--", "0", "4"), line(y=4)),
                            (("click", "4"), line(0x0400, 120))):
            xdotool(*args)
            expected += lines
            self.expect_log(program, expected)
        self.assertEqual(xdotool("getwindowfocus"), timing, "it kept the focus")

        # Its charts (800 pixels from x 72, below the table) show mouse 0's
        # reports in its colour.
        def dots():
            shot = Screenshot(timing)
            blue = bytes((0x00, 0x40, 0xC0))
            return sum(1 for y in range(60, 430) for x in range(72, 872) if shot.at(x, y) == blue)
        wait_for(dots, "mouse 0's dots in the timing window")

        xdotool("key", "F2")
        wait_for(lambda: timing not in xdotool("search", "--onlyvisible", "--name",
                                               "^Timing$").split(), "the timing window to hide")
        # The main window took the focus back, and with it the raw input.
        xdotool("mousemove_relative", "--", "-2", "0")
        expected = self.expect_after_focus_change(program, expected, line(x=-2))
        xdotool("key", "alt+F4")
        self.assertEqual(program.process.wait(DEADLINE), 0, program.stderr())
        self.assertEqual(program.log(), expected)

    def test_in_the_background_motion_is_logged_while_another_program_has_the_focus(self):
        """--background: another X client (xev, not a Wine window) takes the
        focus, the pointer stays over rawmice's window, and every motion is
        still logged, as RIDEV_INPUTSINK asks of user32."""
        program = self.start(["--background"])
        window = program.window()
        self.focus(window)
        expected = self.first_move(program)
        # The window says so, in the notice along its bottom edge (8 pixels in).
        wait_for(lambda: (lambda shot: shot.at(11, shot.height - 12) == NOTICE)(
            Screenshot(window)), "the notice that rawmice listens in the background")
        other = subprocess.Popen(["xev", "-geometry", "200x100+900+650"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            found = wait_for(lambda: xdotool("search", "--onlyvisible", "--name",
                                             "^Event Tester$").split(), "xev's window")
            xdotool("windowfocus", found[0])
            wait_for(lambda: xdotool("getwindowfocus") == found[0], "the focus on xev's window")
            xdotool("mousemove_relative", "--", "7", "0")
            # Wine may log motionless packets as the focus goes.
            expected = self.expect_after_focus_change(program, expected, line(x=7))
            for args, lines in ((("mousemove_relative", "--", "0", "-4"), line(y=-4)),
                                (("mousemove_relative", "--", "-5", "3"), line(x=-5, y=3))):
                xdotool(*args)
                expected += lines
                self.expect_log(program, expected)
            self.assertEqual(xdotool("getwindowfocus"), found[0], "xev kept the focus")
        finally:
            other.terminate()
            other.wait(DEADLINE)
        # Back to rawmice as a user goes back: a click into its window (Wine,
        # once the focus has left its windows for another program's, takes the
        # X focus given from outside as its own only with a click).
        xdotool("click", "1")
        expected = self.expect_after_focus_change(program, expected, line(0x0001) + line(0x0002))
        xdotool("key", "alt+F4")
        self.assertEqual(program.process.wait(DEADLINE), 0, program.stderr())
        self.assertEqual(program.log(), expected)

    def test_version_and_help_are_answered_and_nothing_else_is_done(self):
        # Standard output is a text stream on Windows: its lines end in CR LF.
        for option, start in (("--version", b"rawmice "),
                              ("--help", b"Usage: rawmice [--background]\r\n")):
            out = os.path.join(self.folder.name, "out.txt")
            with open(out, "wb") as f:
                status = subprocess.run([*EMULATOR, EXE, option], cwd=self.folder.name,
                                        stdin=subprocess.DEVNULL, stdout=f,
                                        stderr=subprocess.DEVNULL, timeout=DEADLINE).returncode
            with open(out, "rb") as f:
                text = f.read()
            self.assertEqual(status, 0, option)
            self.assertTrue(text.startswith(start), (option, text))
            self.assertFalse(os.path.exists(os.path.join(self.folder.name, "log.txt")), option)

    def test_a_second_rawmice_in_the_same_folder_leaves_the_log_alone(self):
        first = self.start()
        first_window = first.window()
        self.focus(first_window)
        logged = self.first_move(first)

        second = self.start()
        self.focus(second.window(exclude=(first_window,)))
        wait_for(lambda: "another rawmice" in second.stderr(),
                 "the second rawmice to say the log is held")
        xdotool("key", "alt+F4")
        self.assertEqual(second.process.wait(DEADLINE), 0, second.stderr())
        # The first one's log kept what it had; moving the pointer to focus the
        # second window may have added the first one's own packets after it.
        self.assertTrue(first.log().startswith(logged), first.log())

        self.focus(first_window)
        xdotool("key", "alt+F4")
        self.assertEqual(first.process.wait(DEADLINE), 0, first.stderr())


if __name__ == "__main__":
    split = sys.argv.index("--")
    EXE = sys.argv[1]
    EMULATOR = sys.argv[2:split]
    unittest.main(argv=[sys.argv[0], *sys.argv[split + 1:]], verbosity=2)
