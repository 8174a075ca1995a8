"""rawmice --input=x11 on an Xvfb of its own, moved by a paced XTest pointer:
what bench/x11-vs-xinput and scripts/bench's x11 runs share.

A Session starts Xvfb (1920 x 1080), adds one fake XTest pointer (a master of
its own; the server's own pointer waits in a corner), optionally `xinput
test-xi2 --root`, and rawmice --input=x11 with its real windows, focused on
the main window. Session.run() paces the pointer's motions at a rate for some
seconds, away from every window or over the main window, and returns the CPU
each process used (all its threads, in nanoseconds from
/proc/PID/task/*/schedstat), the X server's included, from the first motion
until every process is idle again, with the context switches per motion.
"""
import glob
import os
import subprocess
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WANDER = os.path.join(SOURCE, "samples", "mouse0-wander.evemu")
SCREEN = (1920, 1080)
# Where a measures window is put: right of the main window, so that both are
# seen whole, as a user checking a mouse has them side by side.
BESIDE = (900, 114)


def fail(message):
    print("x11 session: " + message, file=sys.stderr)
    sys.exit(1)


def cpu_ns(pid):
    """CPU time of every thread of a process, in nanoseconds (the scheduler's
    own count, not the 10 ms ticks of /proc/PID/stat)."""
    total = 0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that just ended
    return total


def switches(pid):
    """Context switches of every thread of a process: the times a thread went
    to sleep (voluntary: nearly all of them a wait for the next event, so
    about one per wake-up) and the times it was preempted."""
    total = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:",
                                        "nonvoluntary_ctxt_switches:")):
                        total += int(line.split()[1])
        except (OSError, ValueError, IndexError):
            pass  # a thread that just ended
    return total


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            fail("timed out waiting for " + what)
        time.sleep(0.05)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def load():
    return os.getloadavg()[0]


def write_motions(recording, path):
    """The relative motions of an evemu recording, one "dx dy" line per frame
    that moves."""
    lines = []
    dx = dy = 0
    with open(recording) as f:
        for line in f:
            if not line.startswith("E:"):
                continue
            _, _, kind, code, value = line.split()[:5]
            kind, code, value = int(kind, 16), int(code, 16), int(value)
            if kind == 2 and code in (0, 1):
                dx, dy = (dx + value, dy) if code == 0 else (dx, dy + value)
            elif kind == 0 and code == 0:
                if dx or dy:
                    lines.append("%d %d\n" % (dx, dy))
                dx = dy = 0
    if not lines:
        fail("no motions in " + recording)
    with open(path, "w") as f:
        f.writelines(lines)


def start_xvfb(start, work):
    """Xvfb on a display number of its own choosing, started by `start` (as
    subprocess.Popen): the process and the environment of a Qt program on it,
    its runtime folder `work`."""
    read_end, write_end = os.pipe()
    xvfb = start(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
                  "-screen", "0", "%dx%dx24" % SCREEN],
                 pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    if not number:
        fail("Xvfb did not start")
    env = dict(os.environ, DISPLAY=":" + number, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=work)
    env.pop("WAYLAND_DISPLAY", None)
    return xvfb, env


class Session:
    """Xvfb, the fake pointer, xinput when asked and rawmice with `args`,
    ended and removed on close. `tools` is the build folder that holds xfake
    and paced_pointer; `window` the title of a measures window that `args`
    open, which is put beside the main window."""

    def __init__(self, tools, work, program, args=(), wrap=(), motion="wander", xinput=False,
                 window=None):
        self.tools = tools
        self.wrap = list(wrap)
        self.program = program
        self.args = list(args)
        self.work = work
        self.with_xinput = xinput
        self.window_title = window
        self.procs = []
        self.motions = []
        if motion == "wander":
            self.motions = [os.path.join(work, "motions.txt")]
            write_motions(WANDER, self.motions[0])

    def start(self, args, **kw):
        proc = subprocess.Popen(args, **kw)
        self.procs.append(proc)
        return proc

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        self.procs = []

    def tool(self, name):
        for folder in ("bench", "tests", "app"):
            path = os.path.join(self.tools, folder, name)
            if os.access(path, os.X_OK):
                return path
        fail("%s was not built in %s" % (name, self.tools))

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env, capture_output=True,
                              text=True).stdout.split()

    def open(self):
        self.xvfb, self.env = start_xvfb(self.start, self.work)

        xfake = self.tool("xfake")
        added = subprocess.run([xfake, "--keep", "add 1 bench"], env=self.env, check=True,
                               capture_output=True, text=True).stdout.split()
        self.master, self.pointer = added[3], added[4]
        # The server's own pointer waits in a corner, off the windows, as if
        # the fake one were the only mouse.
        core = subprocess.run(["xinput", "list", "--id-only", "Virtual core pointer"],
                              env=self.env, check=True, capture_output=True, text=True).stdout
        subprocess.run([xfake, "warp %s 0 %d" % (core.strip(), SCREEN[1] - 1)], env=self.env,
                       check=True)
        self.put_pointer("away")

        self.xinput = None
        if self.with_xinput:
            self.xinput = self.start(["xinput", "test-xi2", "--root"], env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.log = os.path.join(self.work, "log.txt")
        self.err = os.path.join(self.work, "stderr.txt")
        self.rawmice = self.start(self.wrap + [self.program, "--input=x11"] + self.args,
                                  cwd=self.work, env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=open(self.err, "wb"))

        # Ready once a probe motion makes a line in the log: the window is up and focused.
        def probe():
            subprocess.run([xfake, "move %s 1 0" % self.pointer], env=self.env, check=True)
            if self.rawmice.poll() is not None:
                fail("rawmice ended: " + open(self.err).read())
            return self.lines() > 0
        wait_for(probe, 60, "rawmice's first report line")
        if self.xinput is not None:
            wait_for(lambda: cpu_ns(self.xinput.pid) > 0, 10, "xinput to start")
        self.main_window = self.find_window("Form1")
        if self.window_title is not None:
            # Beside the main window, then the main window focused, as with
            # a user who opened the window and went back to the main one.
            beside = self.find_window(self.window_title)
            self.xdotool("windowmove", "--sync", beside, str(BESIDE[0]), str(BESIDE[1]))
            self.xdotool("windowfocus", "--sync", self.main_window)
        self.window = self.geometry(self.main_window)
        self.settle()

    def find_window(self, title):
        """rawmice's visible window of this title."""
        def found():
            out = self.xdotool("search", "--onlyvisible", "--pid", str(self.rawmice.pid),
                               "--name", "^%s$" % title)
            return out[0] if out else None
        wait_for(lambda: found() is not None, 30, "rawmice's window " + title)
        return found()

    def geometry(self, window):
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                  env=self.env, check=True, capture_output=True,
                                  text=True).stdout
        where = dict(line.split("=", 1) for line in geometry.split())
        return int(where["X"]), int(where["Y"])

    def put_pointer(self, place):
        """Parks the pointer in the screen's far corner, where its motions
        never cross a window, or puts it over the main window, beside the
        tracked cursor's start, as a user's one mouse would be."""
        if place == "away":
            x, y = SCREEN[0] - 40, SCREEN[1] - 40
        else:
            x, y = self.window[0] + 150, self.window[1] + 150
        subprocess.run([self.tool("xfake"), "warp %s %d %d" % (self.master, x, y)],
                       env=self.env, check=True)

    def lines(self):
        try:
            with open(self.log, "rb") as f:
                return f.read().count(b"\n")
        except FileNotFoundError:
            return 0

    def processes(self):
        procs = {"rawmice": self.rawmice, "Xvfb": self.xvfb}
        if self.xinput is not None:
            procs["xinput"] = self.xinput
        return procs

    def cpu(self):
        return {name: cpu_ns(proc.pid) for name, proc in self.processes().items()}

    def switches(self):
        return {name: switches(proc.pid) for name, proc in self.processes().items()
                if name != "Xvfb"}

    def settle(self):
        """Waits until no watched program uses CPU for a quarter of a second."""
        deadline = time.monotonic() + 10
        last = self.cpu()
        while time.monotonic() < deadline:
            time.sleep(0.25)
            now = self.cpu()
            if all(now[k] - last[k] < 1_000_000 for k in now if k != "Xvfb"):
                return
            last = now

    def run(self, place, rate, seconds):
        """One paced run with the pointer at `place`: CPU seconds of each
        program, the motions sent and the load average at the start."""
        self.put_pointer(place)
        self.settle()
        before_lines = self.lines()
        before = self.cpu()
        before_switches = self.switches()
        started_load = load()
        out = subprocess.run([self.tool("paced_pointer"), self.pointer, str(rate), str(seconds)]
                             + self.motions, env=self.env, check=True, capture_output=True,
                             text=True).stdout
        sent, took = out.split()
        sent = int(sent)
        wait_for(lambda: self.lines() >= before_lines + sent, 120,
                 "rawmice to report %d motions (it has %d)" % (sent, self.lines() - before_lines))
        self.settle()
        after = self.cpu()
        after_switches = self.switches()
        if self.lines() != before_lines + sent:
            fail("rawmice reported %d lines for %d motions" % (self.lines() - before_lines, sent))
        used = {k: (after[k] - before[k]) / 1e9 for k in after}
        used["sent"], used["took"], used["load"] = sent, float(took), started_load
        used["switches"] = {k: (after_switches[k] - before_switches[k]) / sent
                            for k in after_switches}
        return used

    def stderr(self):
        """What rawmice wrote on standard error (after close: --stats)."""
        with open(self.err) as f:
            return f.read()
