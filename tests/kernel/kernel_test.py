#!/usr/bin/env python3
"""rawmice on a real Linux kernel: Debian's kernel under QEMU (tests/kernel/vm.py),
the host's build run in the guest on the kernel's own /dev/input nodes, QEMU's
virtual mice, tablet and USB hot-plug driven over QMP.

One boot runs every step, in the order of STEPS; each step is one method of
OnARealKernel. To add one, write the method and put its name in STEPS. A step
has, in the guest: self.vm.run / self.vm.sh (a command to its end, as root or
as user=NAME), self.vm.spawn (one in the background), self.vm.read /
self.vm.write / self.vm.wait_lines (files); from QEMU: self.vm.send_events
(one frame from one device) and self.vm.qmp (device_add, device_del and the
rest of QMP); and self.start_rawmice (rawmice offscreen, once it logs),
self.start_frames (when the kernel stamped each frame sent), uinput_mouse.py
(a mouse of the guest's own at a given rate). What a step starts, it stops
(addCleanup), so that the next step finds the guest as it was.

    kernel_test.py --kernel UNPACKED_KERNEL_PACKAGE --build BUILD --work DIR [WORD...]

With WORDs, only the steps whose names hold one of them run.
"""
import argparse
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vm as vmmod  # noqa: E402
from vm import BOOT_DEVICES, PLUGGED_MOUSE, absolute, button, rel, wait_for  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
ARGS = None
VM = None  # the one boot every step shares

# The steps, in the order they run on the one boot.
STEPS = [
    "test_listing_numbers_the_mice_first_and_the_tablet_is_a_mouse",
    "test_every_packet_exact_in_time_order_and_the_keyboard_never_opened",
    "test_packets_that_waited_are_delivered_in_time_order_across_mice",
    "test_a_real_overflow_is_reported_counted_and_keeps_buttons_whole",
    "test_hot_plug_reads_minus_one_closes_the_unplugged_and_a_replug_is_new",
    "test_a_uinput_mouse_at_500_hz_is_read_whole_measured_and_recorded",
    "test_uinput_mice_faster_than_500_hz_as_far_as_emulation_keeps_time",
    "test_udev_seat_rule_tags_mouse_nodes_only_and_removing_the_package_untags_them",
    "test_udev_group_rule_lets_members_read_mice_and_tells_others_which_group",
    "test_x11_on_a_real_x_server_numbers_real_mice_first_and_logs_each_once",
    "test_background_evdev_logs_every_packet_while_another_window_has_the_focus",
]

BUTTONS = {  # QMP button: (ulRawButtons bit, down flag, up flag)
    "left": (0x01, 0x0001, 0x0002),
    "right": (0x02, 0x0004, 0x0008),
    "middle": (0x04, 0x0010, 0x0020),
    "side": (0x08, 0x0040, 0x0080),
    "extra": (0x10, 0x0100, 0x0200),
}
WHEEL = 0x0400
DEVICE_NAMES = {"virtio-mouse-pci": "QEMU Virtio Mouse", "usb-tablet": "QEMU QEMU USB Tablet",
                "usb-mouse": "QEMU QEMU USB Mouse"}


def line(num, flags=0, data=0, raw=0, x=0, y=0, absolute_flag=False):
    """A report line as log.txt holds it."""
    return ("Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x usButtonData=%04x "
            "ulRawButtons=%04x lLastX=%04x lLastY=%04x ulExtraInformation=0000\r\n" % (
                num, 1 if absolute_flag else 0, flags | data << 16, flags, data, raw,
                x & 0xffffffff, y & 0xffffffff))


def scale(value, maximum=32767):
    """An absolute axis value scaled to 0..65535, as rawmice reports it."""
    return (value * 65535 + maximum // 2) // maximum


class Mouse:
    """What the kernel knows of one device (held buttons, the tablet's
    position), to make the line each frame must give."""

    def __init__(self, device, absolute_pointer=False):
        self.device = device
        self.absolute = absolute_pointer
        self.held = 0
        self.x = self.y = 0

    def frame(self, num, events):
        """The log line that one frame of these QMP events must give."""
        flags = data = dx = dy = 0
        for event in events:
            kind, value = event["type"], event["data"]
            if kind == "rel":
                if value["axis"] == "x":
                    dx += value["value"]
                else:
                    dy += value["value"]
            elif kind == "abs":
                if value["axis"] == "x":
                    self.x = scale(value["value"])
                else:
                    self.y = scale(value["value"])
            elif value["button"] in ("wheel-up", "wheel-down"):
                if value["down"]:
                    flags |= WHEEL
                    data = 0x0078 if value["button"] == "wheel-up" else 0xff88
            else:
                bit, down, up = BUTTONS[value["button"]]
                if value["down"]:
                    self.held |= bit
                    flags |= down
                else:
                    self.held &= ~bit
                    flags |= up
        if self.absolute:
            dx, dy = self.x, self.y
        return line(num, flags, data, self.held, dx, dy, self.absolute)


def wheel(name):
    return button(name, True) + button(name, False)


# The rates a uinput mouse is written at beyond 500 Hz, each measured by --stats.
RATES = [1000, 2000, 4000, 8000]


def stats_rows(err):
    """The rows of --stats's timing table on standard error `err`, by handle:
    each a dict from the column titles to the cells, and "line" to the whole
    row. The table ends where the next one's title ("rawmice buttons ...")
    begins."""
    lines = err[err.index("rawmice statistics"):].splitlines()
    titles = re.split(r" {2,}", lines[1].strip())
    rows = {}
    for text in lines[2:]:
        if text.startswith("rawmice "):
            break
        fields = text.split()
        if not fields or fields[0] in ("total", "dropped", "kernel"):
            continue
        row = dict(zip(titles[:-1], fields))
        row["name"] = " ".join(fields[len(titles) - 1:])
        row["line"] = text
        rows[row["handle"]] = row
    return rows


def program_file(program, name):
    return (program.vm.read(program.folder + "/" + name) or b"").decode(errors="replace")


class Rawmice:
    """rawmice running in the guest, in a folder of its own."""

    def __init__(self, vm, folder, process):
        self.vm = vm
        self.folder = folder
        self.process = process

    def log(self):
        return (self.vm.read(self.folder + "/log.txt") or b"").decode(errors="replace")

    def lines(self):
        return self.log().splitlines(keepends=True)

    def stderr(self):
        return self.process.stderr()

    def open_nodes(self):
        """The /dev/input nodes it holds open, from /proc/PID/fd."""
        out = self.vm.sh("for fd in /proc/%d/fd/*; do readlink \"$fd\" || true; done"
                         % self.process.pid).text
        return sorted(n for n in out.split() if n.startswith("/dev/input/"))


class OnARealKernel(unittest.TestCase):
    """Each step runs on the VM booted once for all of them."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.vm = VM
        cls.rawmice = ARGS.build + "/app/rawmice"
        cls.mice = {d.qom_id: Mouse(d, d.driver == "usb-tablet") for d in BOOT_DEVICES}
        cls.devices = cls.input_devices()

    @classmethod
    def input_devices(cls):
        """Every input device of the guest: {node: (inputN, name, sysfs path)}."""
        out = cls.vm.sh("for e in /sys/class/input/event*; do "
                        "echo \"/dev/input/${e##*/} $(readlink -f $e/device) $(cat $e/device/name)\"; "
                        "done").text
        devices = {}
        for entry in out.splitlines():
            node, path, name = entry.split(" ", 2)
            devices[node] = (int(path.rsplit("/input", 1)[1]), name, path)
        return devices

    @classmethod
    def refresh_devices(cls):
        cls.devices = cls.input_devices()

    @classmethod
    def node_of(cls, device):
        """The event node of a QEMU device (a vm.Device)."""
        name = DEVICE_NAMES[device.driver]
        for node, (_, node_name, path) in cls.devices.items():
            if node_name != name:
                continue
            if device.pci_addr is None or ("/0000:00:%02x.0/" % device.pci_addr) in path:
                return node
        raise AssertionError("no event node for %s among %r" % (device.qom_id, cls.devices))

    @staticmethod
    def node_number(node):
        return int(node.rsplit("event", 1)[1])

    def mouse_numbers(self):
        """Each boot mouse's expected number: mice in node order."""
        nodes = sorted((self.node_of(d) for d in BOOT_DEVICES), key=self.node_number)
        return {d.qom_id: nodes.index(self.node_of(d)) for d in BOOT_DEVICES}

    def start_rawmice(self, name, args=(), user=None, env=None, probe=True, numbers=None):
        """Starts rawmice offscreen in /tmp/NAME; with `probe`, waits until it
        logs (the first boot mouse, numbered as `numbers` says, moved up by one
        until a line comes: a packet that comes before its window is active is
        not logged)."""
        folder = "/tmp/" + name
        self.vm.sh("rm -rf %s && mkdir -m 700 -p %s && chown %s %s"
                   % (folder, folder, user or "root", folder))
        environment = {"QT_QPA_PLATFORM": "offscreen", "XDG_RUNTIME_DIR": folder}
        environment.update(env or {})
        process = self.vm.spawn([self.rawmice, *args], user=user, env=environment, cwd=folder)
        program = Rawmice(self.vm, folder, process)
        self.addCleanup(process.stop)
        first = BOOT_DEVICES[0]
        number = (numbers or self.mouse_numbers())[first.qom_id]
        program.skip = len(self.probe(program, first, number)) if probe else 0
        return program

    def probe(self, program, device, number):
        """Moves `device` (mouse `number`) up by one until program logs its
        line, then down by one; returns the lines up to that last one. Each
        move is sent once the one before it had its chance: moves made before
        the window is active are not logged, and all of them come before the
        last one."""
        # Only lines after those already logged count: a program probed again
        # (a mouse plugged in a second time) holds the first probe's lines.
        start = len(program.lines())

        def logged():
            if program.process.poll() is not None:
                raise AssertionError("rawmice ended (%s): %s" % (program.process.poll(),
                                                                program.stderr()))
            self.vm.send_events(device, rel(y=-1))
            try:
                return wait_for(lambda: line(number, y=-1) in program.lines()[start:], "a line",
                                deadline=2, interval=0.1)
            except AssertionError:
                return None
        wait_for(logged, "rawmice to log its first packet", interval=0)
        self.vm.send_events(device, rel(y=1))
        last = line(number, y=1)
        lines = self.wait_log(program, lambda lines: last in lines[start:],
                              "the probe's last line")
        return lines[:start + lines[start:].index(last) + 1]

    def start_frames(self, name, nodes):
        """frames.py over `nodes`: one line per frame the kernel stamps."""
        out = "/tmp/%s.frames" % name
        process = self.vm.spawn(["python3", HERE + "/frames.py", out, *nodes], cwd="/tmp",
                                out="/tmp/%s.frames.out" % name, err="/tmp/%s.frames.err" % name)
        self.addCleanup(process.stop)
        return Frames(self.vm, out)

    def send(self, frames, device, events, num, wait=True):
        """Sends one frame from `device`; with `wait`, waits until the kernel
        stamped it (and every frame sent before it). Returns the line it must give."""
        expected = self.mice[device.qom_id].frame(num, events)
        self.vm.send_events(device, events)
        frames.sent(self.node_of(device))
        if wait:
            frames.wait()
        return expected

    def wait_log(self, program, enough, what):
        """Waits until log.txt holds `enough` lines (a count, or a test of
        the list of lines); returns its lines."""
        test = enough if callable(enough) else lambda lines: len(lines) >= enough
        try:
            return wait_for(lambda: (lambda lines: test(lines) and lines)(program.lines()), what)
        except AssertionError as error:
            raise AssertionError("%s; log.txt holds:\n%sstderr: %s"
                                 % (error, program.log(), program.stderr())) from None

    def wait_idle(self, program):
        """Waits until `program` has handled all it was sent: every thread of it
        asleep, its CPU time the same over two looks a tenth of a second and
        more apart (a reader that waits for the next frame would have woken)."""
        script = ("cut -d' ' -f1 /proc/{0}/task/*/schedstat | tr '\\n' ,; echo; "
                  "sed 's/.*) \\(.\\).*/\\1/' /proc/{0}/task/*/stat | tr -d '\\n'"
                  .format(program.process.pid))
        last = [None, 0.0]

        def quiet():
            cpu, states = self.vm.sh(script).text.split()
            now = time.monotonic()
            if set(states) != {"S"} or cpu != last[0]:
                last[:] = [cpu, now]
                return False
            return now - last[1] >= 0.1
        wait_for(quiet, "rawmice to handle what it was sent", interval=0.05)

    def stop_rawmice(self, program):
        program.process.signal("SIGTERM")
        self.assertEqual(program.process.wait(), 0, program.stderr())
        return program.stderr()

    # The steps.

    def test_listing_numbers_the_mice_first_and_the_tablet_is_a_mouse(self):
        out = self.vm.run([self.rawmice, "--list-devices"], cwd="/tmp").text
        numbers = self.mouse_numbers()
        mice = sorted(BOOT_DEVICES, key=lambda d: numbers[d.qom_id])
        keyboards = sorted((n for n, (_, name, _) in self.devices.items() if "keyboard" in name.lower()),
                           key=self.node_number)
        expected = []
        for i, device in enumerate(mice):
            handle = self.devices[self.node_of(device)][0] + 1
            expected += ["%d %d  Mouse" % (i, handle), "Amouse[%d] = %d" % (i, handle)]
        for i, node in enumerate(keyboards):
            expected.append("%d %d  Keyboard" % (len(mice) + i, self.devices[node][0] + 1))
        listing = out.split("\n\n")[0].splitlines()
        self.assertEqual(listing[:len(expected)], expected, out)
        for device in mice:
            node = self.node_of(device)
            self.assertRegex(out, r"\n\d+ +%d +Mouse +%s +\"%s\"" % (
                self.devices[node][0] + 1, node, re.escape(self.devices[node][1])))

    def test_every_packet_exact_in_time_order_and_the_keyboard_never_opened(self):
        numbers = self.mouse_numbers()
        program = self.start_rawmice("packets", ["--stats"])
        frames = self.start_frames("packets", [self.node_of(d) for d in BOOT_DEVICES])
        self.assertEqual(program.open_nodes(), sorted(self.node_of(d) for d in BOOT_DEVICES),
                         "only the mouse nodes are open")
        skip = program.skip
        m0, m1, m2, tablet = BOOT_DEVICES
        steps = [
            (m1, rel(3, -2)), (m0, rel(-5)), (tablet, absolute(32767, 16384)), (m2, rel(y=7)),
            (m1, button("left", True)), (m0, button("right", True)),
            (m1, rel(1, 1)), (m0, button("right", False)), (m1, button("left", False)),
            (m2, button("middle", True)), (m2, button("middle", False)),
            (m0, button("side", True)), (m0, button("extra", True)),
            (m0, button("side", False)), (m0, button("extra", False)),
            (m1, wheel("wheel-up")), (m2, wheel("wheel-down")),
            (tablet, button("left", True)), (tablet, absolute(0, 100)),
            (tablet, wheel("wheel-down")), (tablet, button("left", False)),
            (m0, rel(-1, -1)),
        ]
        expected = [self.send(frames, d, events, numbers[d.qom_id]) for d, events in steps]
        logged = self.wait_log(program, skip + len(expected), "every step's line")
        self.assertEqual("".join(logged[skip:]), "".join(expected))
        self.assertEqual(program.open_nodes(), sorted(self.node_of(d) for d in BOOT_DEVICES))
        stats = stats_rows(self.stop_rawmice(program))
        # What each declares: the USB tablet's interrupt endpoint is polled every
        # millisecond; virtio has no polling interval.
        for device in BOOT_DEVICES:
            row = stats[str(self.devices[self.node_of(device)][0] + 1)]
            self.assertEqual(row["declared Hz"], "1000" if device is tablet else "-", row["line"])

    def test_packets_that_waited_are_delivered_in_time_order_across_mice(self):
        numbers = self.mouse_numbers()
        program = self.start_rawmice("waited")
        frames = self.start_frames("waited", [self.node_of(d) for d in BOOT_DEVICES])
        skip = program.skip
        # Stopped, rawmice reads nothing: every mouse's frames wait in its own
        # kernel buffer, and one wake-up reads them all.
        program.process.signal("SIGSTOP")
        m0, m1, m2, tablet = BOOT_DEVICES
        steps = [(m2, rel(1)), (m0, rel(2)), (tablet, absolute(100, 200)), (m1, rel(3)),
                 (m2, rel(4)), (m0, button("left", True)), (m1, rel(5)), (m0, button("left", False)),
                 (tablet, absolute(300, 400)), (m2, rel(6))]
        expected = [self.send(frames, d, events, numbers[d.qom_id]) for d, events in steps]
        program.process.signal("SIGCONT")
        logged = self.wait_log(program, skip + len(expected), "the waiting packets")
        self.assertEqual("".join(logged[skip:]), "".join(expected))
        self.stop_rawmice(program)

    def test_a_real_overflow_is_reported_counted_and_keeps_buttons_whole(self):
        m0 = BOOT_DEVICES[0]
        node = self.node_of(m0)
        program = self.start_rawmice("overflow", ["--stats"])
        frames = self.start_frames("overflow", [node])
        skip = program.skip
        program.process.signal("SIGSTOP")
        # The kernel's buffer for one reader of a virtio mouse holds 128 events:
        # 300 frames of two overflow it, before the press and after it.
        flood = 300
        for events in [rel(x=1)] * flood + [button("left", True)] + [rel(x=1)] * flood:
            # Paced by what the kernel took: QEMU drops what its queue cannot hold.
            self.send(frames, m0, events, 0, wait=frames.unseen() >= 16)
        frames.wait()
        program.process.signal("SIGCONT")
        wait_for(lambda: "overflowed" in program.stderr(), "the overflow to be reported")
        up = self.send(frames, m0, button("left", False), 0)
        logged = self.wait_log(program, lambda lines: up in lines, "the release's line")[skip:]
        motion = [line(0, x=1), line(0, raw=1, x=1)]
        down = line(0, 0x0001, raw=1)
        self.assertEqual(logged.count(down), 1, "".join(logged))
        self.assertEqual(logged.count(up), 1, "".join(logged))
        self.assertLess(logged.index(down), logged.index(up))
        self.assertEqual(logged[-1], up)
        for i, logged_line in enumerate(logged):
            if logged_line not in (down, up):
                self.assertEqual(logged_line, motion[logged.index(down) < i], i)
        self.assertLess(len(logged) - 2, 2 * flood, "some frames were lost")
        err = self.stop_rawmice(program)
        self.assertIn("evdev: %s (QEMU Virtio Mouse) overflowed the kernel's buffer" % node, err)
        overflows = re.search(r"kernel buffer overflows \(SYN_DROPPED\), events lost: (\d+) "
                              r"\(mouse 0: (\d+)\)", err)
        self.assertIsNotNone(overflows, err)
        self.assertGreaterEqual(int(overflows.group(2)), 1, err)
        self.assertEqual(overflows.group(1), overflows.group(2), err)

    def test_hot_plug_reads_minus_one_closes_the_unplugged_and_a_replug_is_new(self):
        program = self.start_rawmice("hotplug", ["--stats"])
        mouse = Mouse(PLUGGED_MOUSE)

        def unplug_if_plugged():
            # A failure midway leaves no USB mouse behind for the steps after.
            if self.plugged_node() is not None:
                self.vm.qmp.command("device_del", id=PLUGGED_MOUSE.qom_id)
                self.vm.qmp.wait_event("DEVICE_DELETED", device=PLUGGED_MOUSE.qom_id)
                self.refresh_devices()
        self.addCleanup(unplug_if_plugged)
        handles = []
        nodes = []
        for plug in range(2):
            self.vm.qmp.command("device_add", **PLUGGED_MOUSE.args())
            node = wait_for(lambda: self.plugged_node(), "the USB mouse's node")
            wait_for(lambda: node in program.open_nodes(), "rawmice to open " + node)
            # QEMU hands the events sent to no device to the USB mouse once
            # the guest polls it, which its reader's opening starts.
            skip = len(self.probe(program, PLUGGED_MOUSE, -1))
            expected = []
            for events in (rel(4, -3), button("left", True), button("left", False),
                           wheel("wheel-up")):
                expected.append(mouse.frame(-1, events))
                self.vm.send_events(PLUGGED_MOUSE, events)
                self.wait_log(program, skip + len(expected), "the plugged mouse's line")
            self.assertEqual("".join(program.lines()[skip:]), "".join(expected))
            handles.append(self.devices[node][0] + 1)
            nodes.append(node)
            listing = self.vm.run([self.rawmice, "--list-devices"], cwd="/tmp").text
            self.assertRegex(listing, r"\n\d+ +%d +Mouse +%s +\"QEMU QEMU USB Mouse\"" % (
                handles[-1], node))
            self.vm.qmp.command("device_del", id=PLUGGED_MOUSE.qom_id)
            self.vm.qmp.wait_event("DEVICE_DELETED", device=PLUGGED_MOUSE.qom_id)
            wait_for(lambda: node not in program.open_nodes(), "rawmice to close " + node)
            self.refresh_devices()
        self.assertGreater(handles[1], handles[0], "a replugged mouse gets a new handle")
        print("\n  plugged mouse: %s (handle %d), replugged: %s (handle %d)"
              % (nodes[0], handles[0], nodes[1], handles[1]), file=sys.stderr)
        stats = stats_rows(self.stop_rawmice(program))
        for handle in handles:
            # QEMU's USB mouse declares an interrupt endpoint polled every 8 ms.
            self.assertEqual(stats[str(handle)]["declared Hz"], "125", stats[str(handle)]["line"])

    def start_uinput(self, program, name, rate, count):
        """A uinput mouse writing `count` frames at `rate` Hz once started;
        returns (writer, its go file, its handle) once rawmice reads it."""
        go = "/tmp/%s.go" % name
        self.vm.sh("rm -f %s" % go)
        writer = self.vm.spawn(["python3", HERE + "/uinput_mouse.py", "rawmice " + name,
                                str(rate), str(count), go], cwd="/tmp", out="/tmp/%s.out" % name,
                               err="/tmp/%s.err" % name)
        self.addCleanup(writer.stop)
        sysname = wait_for(lambda: writer.stdout().partition("\n")[0], "the uinput mouse")
        node = "/dev/input/" + self.vm.sh("cd /sys/class/input/%s && echo event*"
                                          % sysname).text.strip()
        wait_for(lambda: node in program.open_nodes(), "rawmice to open " + node)
        return writer, go, int(sysname[len("input"):]) + 1

    def test_a_uinput_mouse_at_500_hz_is_read_whole_measured_and_recorded(self):
        rate, count = 500, 1000
        folder = "/tmp/uinput.rec"
        self.vm.sh("rm -rf %s && mkdir %s" % (folder, folder))
        program = self.start_rawmice("uinput", ["--stats", "--csv=packets.csv",
                                                "--record=" + folder])
        writer, go, handle = self.start_uinput(program, "uinput", rate, count)
        skip = len(program.lines())
        self.vm.write(go, "")
        wait_for(lambda: "done" in writer.stdout(), "the uinput mouse's %d frames" % count)
        logged = self.wait_log(program, skip + count + 1, "every frame's line")
        self.assertEqual(logged[skip:], [line(-1, x=1)] * count + [line(-1, y=1)])
        err = self.stop_rawmice(program)
        live = program.lines()
        stats = stats_rows(err)
        # Not listed at start-up, the uinput mouse's row is numbered "-".
        row = stats[str(handle)]
        self.assertEqual(row["mouse"], "-")
        self.assertEqual(row["packets"], str(count + 1))
        self.assertEqual(row["declared Hz"], "-", "uinput declares no polling interval")
        self.assertEqual(row["overflows"], "0")
        # Measured against what the writer sent, which a loaded emulator
        # keeps from the rate it was asked for.
        sent_us = int(writer.stdout().split("done")[1])
        print("\n  --stats, a uinput mouse writing at %d Hz under emulation (its median interval"
              " %d µs, load average %.1f):\n  %s" % (rate, sent_us, os.getloadavg()[0], row["line"]),
              file=sys.stderr)
        self.assertLessEqual(abs(float(row["Hz"]) - 1e6 / sent_us), 0.02 * 1e6 / sent_us,
                             "%s (the writer's median interval: %d µs)" % (row["line"], sent_us))

        # --csv: a line per logged line, the uinput's with its intervals.
        csv = program_file(program, "packets.csv").splitlines()
        self.assertEqual(csv[0], "mouse,handle,time_us,interval_us,flags,dx,dy,button_flags,wheel")
        self.assertEqual(len(csv) - 1, len(program.lines()))
        mine = [l.split(",") for l in csv[1:] if l.split(",")[1] == str(handle)]
        self.assertEqual(len(mine), count + 1)
        self.assertEqual(mine[0][3], "")
        intervals = sorted(int(l[3]) for l in mine[1:-1])
        self.assertLessEqual(abs(intervals[len(intervals) // 2] - sent_us), 0.02 * sent_us)

        # --record: the mice as rawmice read them, the keyboards never; replayed in
        # the order of their names, the run again (after the packets dropped before
        # the window was active, which the recordings hold), the uinput mouse now
        # listed, and measured on the same kernel stamps.
        files = sorted(self.vm.sh("ls %s" % folder).text.split())
        self.assertEqual(len(files), len(BOOT_DEVICES) + 1, files)
        self.assertTrue(files[-1].endswith("-%d-rawmice_uinput.evemu" % handle), files)
        dropped = int(re.search(r"dropped because no window was active: (\d+)", err).group(1))
        replay = self.vm.run([self.rawmice, "--replay-speed=max", "--exit-after-replay",
                              "--stats"] + ["--replay=%s/%s" % (folder, f) for f in files],
                             cwd=program.folder, env={"QT_QPA_PLATFORM": "offscreen",
                                                      "XDG_RUNTIME_DIR": program.folder})
        replayed = program.lines()
        uinput_number = len(BOOT_DEVICES)
        expected = [l.replace("num -1,", "num %d," % uinput_number) for l in live]
        self.assertEqual(len(replayed), dropped + len(expected))
        self.assertEqual(replayed[dropped:], expected)
        again = stats_rows(replay.err.decode())[str(65537 + uinput_number)]
        for column in ("Hz", "p1 µs", "median µs", "p99 µs", "max µs", "irregular %"):
            self.assertEqual(again[column], row[column], column)

    def test_uinput_mice_faster_than_500_hz_as_far_as_emulation_keeps_time(self):
        """Each rate for two seconds, one uinput mouse after another: every
        frame read unless the kernel's buffer overflowed (which --stats then
        counts). Prints what --stats measured of each, and the rate up to which
        each was measured within 2 % with no overflow: under emulation the
        writer (Python) keeps 1000 and 2000 Hz on a quiet host only; behind,
        it catches up in bursts, which measure faster than asked, and from
        2000 Hz on the bursts may overflow the kernel's buffer of 128 events."""
        program = self.start_rawmice("rates", ["--stats"])
        handles = {}
        for rate in RATES:
            writer, go, handles[rate] = self.start_uinput(program, "rate%d" % rate, rate,
                                                          2 * rate)
            self.vm.write(go, "")
            wait_for(lambda: "done" in writer.stdout(), "the %d Hz mouse's frames" % rate,
                     deadline=60)
            self.wait_log(program, lambda lines: lines.count(line(-1, y=1)) == len(handles),
                          "the %d Hz mouse's last line" % rate)
        err = self.stop_rawmice(program)
        stats = stats_rows(err)
        print("\n  --stats, uinput mice under emulation (asked: measured Hz, p1 / median / "
              "p99 / max µs, irregular %, overflows):", file=sys.stderr)
        kept = []
        for rate in RATES:
            row = stats[str(handles[rate])]
            hz = float(row["Hz"])
            whole = row["overflows"] == "0"
            if whole:
                self.assertEqual(row["packets"], str(2 * rate + 1), "every frame read")
            on_time = whole and abs(hz - rate) <= 0.02 * rate
            if on_time and len(kept) == RATES.index(rate):
                kept.append(rate)
            print("  %5d Hz: %5s Hz, %s / %s / %s / %s µs, %s %%, %s%s"
                  % (rate, row["Hz"], row["p1 µs"], row["median µs"], row["p99 µs"],
                     row["max µs"], row["irregular %"], row["overflows"],
                     "" if on_time else "  (emulation does not keep this rate)"),
                  file=sys.stderr)
        print("  kept time up to %s Hz (load average %.1f)"
              % (kept[-1] if kept else "500", os.getloadavg()[0]), file=sys.stderr)

    def plugged_node(self):
        self.refresh_devices()
        found = [n for n, (_, name, _) in self.devices.items() if name == "QEMU QEMU USB Mouse"]
        return found[0] if found else None

    def input_nodes(self):
        """Every device node under /dev/input (event, mouse and mice nodes)."""
        return sorted(self.vm.sh("find /dev/input -maxdepth 1 -type c").text.split())

    def udev_tags(self, nodes):
        """{node: (CURRENT_TAGS, TAGS)}: the tags udev's last event gave each
        node, and every tag any event gave it, as sets."""
        out = self.vm.sh("for n in %s; do echo \"= $n\"; udevadm info --query=property --name=$n; "
                         "done" % " ".join(nodes)).text
        tags = {}
        for entry in out.splitlines():
            if entry.startswith("= "):
                node = entry[2:]
                tags[node] = (set(), set())
            elif entry.startswith(("CURRENT_TAGS=", "TAGS=")):
                key, _, value = entry.partition("=")
                tags[node][0 if key == "CURRENT_TAGS" else 1].update(value.strip(":").split(":"))
        return tags

    def owners(self, nodes):
        return dict(line.split(" ", 1) for line in self.vm.run(
            ["stat", "-c", "%n %A %U %G", *nodes]).text.splitlines())

    def reapply_udev_rules(self):
        self.vm.sh("udevadm control --reload && "
                   "udevadm trigger --subsystem-match=input --action=change && "
                   "udevadm settle --timeout=60")

    def test_udev_seat_rule_tags_mouse_nodes_only_and_removing_the_package_untags_them(self):
        # A mouse that is a keyboard too, on one node: left alone, since whoever
        # may read it reads keystrokes.
        combo = self.vm.spawn(["python3", HERE + "/uinput_mouse.py", "rawmice combo", "1", "1",
                               "/tmp/combo.never", "--keys"], cwd="/tmp", out="/tmp/combo.out",
                              err="/tmp/combo.err")
        self.addCleanup(self.refresh_devices)  # once it is gone
        self.addCleanup(combo.stop)
        sysname = wait_for(lambda: combo.stdout().partition("\n")[0], "the uinput combo")
        combo_node = "/dev/input/" + self.vm.sh("cd /sys/class/input/%s && echo event*"
                                                % sysname).text.strip()
        self.vm.sh("udevadm settle --timeout=60")
        properties = self.vm.run(["udevadm", "info", "--query=property", "--name=" + combo_node])
        self.assertIn("ID_INPUT_MOUSE=1", properties.text.splitlines())
        self.assertIn("ID_INPUT_KEYBOARD=1", properties.text.splitlines())

        self.refresh_devices()
        mice = sorted((self.node_of(d) for d in BOOT_DEVICES), key=self.node_number)
        nodes = self.input_nodes()
        self.assertIn(combo_node, nodes)
        tags = self.udev_tags(nodes)
        self.assertEqual([n for n in nodes if "uaccess" in tags[n][0]], [], "before the rule")
        owners = self.owners(nodes)

        # Where the package puts it.
        rule = "/usr/lib/udev/rules.d/70-rawmice.rules"

        def remove_rule():
            self.vm.sh("rm -f " + rule)
            self.reapply_udev_rules()
        self.addCleanup(remove_rule)
        self.vm.sh("cp %s/udev/70-rawmice.rules %s" % (SOURCE, rule))
        self.reapply_udev_rules()
        tags = self.udev_tags(nodes)
        self.assertEqual([n for n in nodes if "uaccess" in tags[n][0]], sorted(mice),
                         "only the mouse nodes carry uaccess (logind's ACL for the seat's user)")
        keyboards = [n for n, (_, name, _) in self.devices.items() if "keyboard" in name.lower()]
        self.assertEqual(len(keyboards), 2, "the PS/2 and the virtio keyboard")
        for node in keyboards + [combo_node]:
            self.assertNotIn("uaccess", tags[node][1], "never tagged: " + node)
        for node in mice:
            self.assertIn("uaccess", tags[node][1], node)
        self.assertEqual(self.owners(nodes), owners, "no owner, group or mode changed")

        # dpkg removes the rule, then runs postrm: an upgrade leaves udev alone
        # (the new version's rule is in place), a removal takes the tag away now.
        self.vm.sh("rm %s" % rule)
        self.vm.run(["sh", SOURCE + "/packaging/postrm", "upgrade"])
        self.vm.sh("udevadm settle --timeout=60")
        tags = self.udev_tags(mice)
        for node in mice:
            self.assertIn("uaccess", tags[node][0], "untouched by an upgrade: " + node)
        self.vm.run(["sh", SOURCE + "/packaging/postrm", "remove"])
        self.vm.sh("udevadm settle --timeout=60")
        tags = self.udev_tags(nodes)
        self.assertEqual([n for n in nodes if "uaccess" in tags[n][0]], [],
                         "untagged once the package is removed")

    def test_udev_group_rule_lets_members_read_mice_and_tells_others_which_group(self):
        # As the README says to install it, on the guest's own /etc.
        self.vm.sh("groupadd --system rawmice && useradd -m -G rawmice member && "
                   "useradd -m outsider && "
                   "cp %s/udev/70-rawmice-group.rules /etc/udev/rules.d/70-rawmice.rules && "
                   "udevadm control --reload && "
                   "udevadm trigger --subsystem-match=input --action=change && "
                   "udevadm settle --timeout=60" % SOURCE)
        mice = sorted((self.node_of(d) for d in BOOT_DEVICES), key=self.node_number)
        keyboards = sorted((n for n, (_, name, _) in self.devices.items()
                            if "keyboard" in name.lower()), key=self.node_number)
        owners = self.owners(mice + keyboards)
        for node in mice:
            self.assertEqual(owners[node], "crw-r----- root rawmice", node)
        for node in keyboards:
            self.assertEqual(owners[node], "crw-rw---- root input", node)
        tags = self.udev_tags(mice)
        for node in mice:
            self.assertNotIn("uaccess", tags[node][0], "a group, not the seat's ACL: " + node)
        for user, readable in (("member", mice), ("outsider", [])):
            out = self.vm.sh("for n in %s; do if test -r $n; then echo $n; fi; done"
                             % " ".join(mice + keyboards), user=user).text
            self.assertEqual(out.split(), readable, user)

        member = self.start_rawmice("member", user="member")
        self.assertEqual(member.open_nodes(), mice)
        self.assertNotIn("cannot read", member.stderr())
        self.stop_rawmice(member)

        outsider = self.start_rawmice("outsider", ["--input=evdev"], user="outsider", probe=False)
        hint = ("evdev: cannot read %s: Permission denied (these mouse nodes belong to the rawmice "
                "group: join the rawmice group (then log in again), see README; or try "
                "--input=x11)\n" % ", ".join(mice))
        wait_for(lambda: "evdev: cannot read" in outsider.stderr(), "the permission hint")
        err = self.stop_rawmice(outsider)
        self.assertIn(hint, err)
        self.assertEqual(outsider.log(), "")

    def test_x11_on_a_real_x_server_numbers_real_mice_first_and_logs_each_once(self):
        display = ":5"
        self.vm.write("/tmp/xorg.conf", XORG_CONF)
        xorg = self.vm.spawn(["Xorg", display, "-config", "/tmp/xorg.conf", "-noreset",
                              "-nolisten", "tcp", "-logfile", "/tmp/Xorg.log", "-novtswitch",
                              "-sharevts"], cwd="/tmp", out="/tmp/Xorg.out", err="/tmp/Xorg.err")
        self.addCleanup(xorg.stop)
        env = {"DISPLAY": display}
        try:
            wait_for(lambda: self.vm.run(["xinput", "list", "--name-only"], env=env,
                                         check=False).text.count("QEMU Virtio Mouse") == 3,
                     "Xorg to take the three virtio mice", deadline=120, interval=0.5)
        except AssertionError as error:
            raise AssertionError("%s; Xorg's log:\n%s" % (
                error, (self.vm.read("/tmp/Xorg.log") or b"").decode(errors="replace")[-3000:]))
        # Which X device is which node: libinput's "Device Node" property.
        x_ids = {}
        for x_id in self.vm.run(["xinput", "list", "--id-only"], env=env).text.split():
            props = self.vm.run(["xinput", "list-props", x_id], env=env, check=False).text
            node = re.search(r"Device Node \(\d+\):\s+\"(/dev/input/event\d+)\"", props)
            if node:
                x_ids[node.group(1)] = int(x_id)
        listing = self.vm.run([self.rawmice, "--input=x11", "--list-devices"], env=env,
                              cwd="/tmp").text
        numbers = {int(handle): int(number) for number, handle in
                   re.findall(r"^Amouse\[(\d+)\] = (\d+)$", listing, re.M)}
        xtest = re.findall(r"^\d+ +(\d+) +Mouse .*XTEST pointer", listing, re.M)
        self.assertEqual(len(xtest), 1, listing)
        real = [numbers[x_ids[self.node_of(d)]] for d in BOOT_DEVICES]
        self.assertLess(max(real), numbers[int(xtest[0])], "the XTEST pointer is numbered last")

        num = {d.qom_id: numbers[x_ids[self.node_of(d)]] for d in BOOT_DEVICES}
        program = self.start_rawmice("x11", ["--input=x11"], env=dict(env, QT_QPA_PLATFORM="xcb"),
                                     numbers=num)
        skip = program.skip
        m0, m1, m2, _ = BOOT_DEVICES
        steps = [(m1, rel(3, -2)), (m0, rel(-5)), (m2, rel(y=7)),
                 (m1, button("left", True)), (m0, button("right", True)),
                 (m1, rel(1, 1)), (m0, button("right", False)), (m1, button("left", False)),
                 (m2, button("middle", True)), (m2, button("middle", False)),
                 (m0, button("side", True)), (m0, button("side", False)),
                 (m0, button("extra", True)), (m0, button("extra", False)),
                 (m1, wheel("wheel-up")), (m2, wheel("wheel-down")), (m0, rel(-1, -1))]
        expected = []
        for device, events in steps:
            # One at a time: the X server hands on each device's events as it reads them.
            expected.append(self.mice[device.qom_id].frame(num[device.qom_id], events))
            self.vm.send_events(device, events)
            self.wait_log(program, skip + len(expected), "the line of step %d" % len(expected))
        self.assertEqual("".join(program.lines()[skip:]), "".join(expected))
        self.stop_rawmice(program)

    def test_background_evdev_logs_every_packet_while_another_window_has_the_focus(self):
        # Two rawmice on the kernel's nodes, their windows on an X server of
        # their own; another program's window (xev) takes the focus.
        display = ":6"
        xvfb = self.vm.spawn(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                             cwd="/tmp", out="/tmp/Xvfb.out", err="/tmp/Xvfb.err")
        self.addCleanup(xvfb.stop)
        env = {"DISPLAY": display}

        def xdotool(*args):
            return self.vm.run(["xdotool", *args], env=env, check=False).text.strip()
        wait_for(lambda: xdotool("getmouselocation"), "Xvfb", deadline=120, interval=0.5)
        numbers = self.mouse_numbers()
        nodes = sorted(self.node_of(d) for d in BOOT_DEVICES)
        first = BOOT_DEVICES[0]
        # Frames sent since the focus-following one opened the nodes: it logs or
        # drops each of them.
        sent = [0]

        def reaches(program, deadline=2):
            """Moves the first mouse by one; whether `program` logs it in time."""
            before = len(program.lines())
            self.vm.send_events(first, rel(x=1))
            sent[0] += 1
            try:
                return wait_for(lambda: len(program.lines()) > before, "a line",
                                deadline=deadline, interval=0.1)
            except AssertionError:
                return False

        def start(name, args):
            program = self.start_rawmice(name, ["--input=evdev", *args],
                                         env=dict(env, QT_QPA_PLATFORM="xcb"), probe=False)
            wait_for(lambda: program.open_nodes() == nodes, name + " to open every mouse node")
            program.window = wait_for(lambda: xdotool("search", "--pid", str(program.process.pid),
                                                      "--name", "^Form1$").split(),
                                      name + "'s window")[0]
            return program

        follows = start("follows", [])
        wait_for(lambda: reaches(follows), "the focused window to log", interval=0)
        background = start("background", ["--background"])
        wait_for(lambda: reaches(background), "the window in the background to log", interval=0)
        other = self.vm.spawn(["xev", "-geometry", "300x200+600+500"], env=env, cwd="/tmp",
                              out="/tmp/xev.out", err="/tmp/xev.err")
        self.addCleanup(other.stop)
        other_window = wait_for(lambda: xdotool("search", "--name", "^Event Tester$").split(),
                                "xev")[0]
        xdotool("windowfocus", "--sync", other_window)
        # Once a move no longer reaches the focus-following one, both took the
        # change in (the toolkit takes a lost focus in a little late).
        wait_for(lambda: not reaches(follows), "rawmice to notice it lost the focus", interval=0)
        wait_for(lambda: reaches(background), "a line in the background", interval=0)
        unfocused = len(follows.lines())
        skip = len(background.lines())

        frames = self.start_frames("background", nodes)
        m0, m1, m2, tablet = BOOT_DEVICES
        steps = [(m1, rel(3, -2)), (tablet, absolute(1000, 2000)), (m0, button("left", True)),
                 (m2, rel(y=7)), (m0, button("left", False)), (m1, button("right", True)),
                 (m1, button("right", False)), (m2, button("middle", True)),
                 (m2, button("middle", False)), (m0, button("side", True)),
                 (m0, button("side", False)), (m1, button("extra", True)),
                 (m1, button("extra", False)), (m2, wheel("wheel-up")),
                 (tablet, wheel("wheel-down")), (tablet, absolute(0, 0)), (m0, rel(-1, 1))]
        expected = [self.send(frames, d, events, numbers[d.qom_id]) for d, events in steps]
        sent[0] += len(steps)
        logged = self.wait_log(background, skip + len(expected), "every step's line")
        self.assertEqual("".join(logged[skip:]), "".join(expected))
        self.assertEqual(xdotool("getwindowfocus"), other_window, "xev kept the focus")
        self.wait_idle(follows)
        self.assertEqual(len(follows.lines()), unfocused, "logged without the focus")

        # Given the focus back, the other logs again, and by then it has read,
        # and counted, every frame before.
        xdotool("windowfocus", "--sync", follows.window)
        wait_for(lambda: reaches(follows), "the focus to bring the packets back", interval=0)
        dropped = re.search(r"rawmice: (\d+) packets dropped because no window of rawmice was "
                            r"active\n", self.stop_rawmice(follows))
        self.assertIsNotNone(dropped, follows.stderr())
        self.assertEqual(int(dropped.group(1)), sent[0] - len(follows.lines()))
        self.assertGreaterEqual(int(dropped.group(1)), len(steps))
        self.assertNotIn("dropped", self.stop_rawmice(background))


XORG_CONF = """
Section "ServerFlags"
    Option "AutoAddDevices" "true"
    Option "DontVTSwitch" "true"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 16384
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1024x768"
    EndSubSection
EndSection
"""


class Frames:
    """frames.py's output: the frames the kernel stamped, in its order."""

    def __init__(self, vm, path):
        self.vm = vm
        self.path = path
        self.nodes = ["ready"]  # what each line must be of
        self.seen = 0
        self.wait()

    def sent(self, node):
        self.nodes.append(node)

    def unseen(self):
        return len(self.nodes) - self.seen

    def wait(self):
        """Waits until frames.py has read every frame sent."""
        lines = self.vm.wait_lines(self.path, len(self.nodes))
        self.seen = len(self.nodes)
        got = [entry.split(" ")[0] for entry in lines]
        if got != self.nodes:
            raise AssertionError("the kernel stamped frames of %r, sent %r"
                                 % (got[-10:], self.nodes[-10:]))


def main():
    global ARGS, VM
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.realpath(ARGS.build)
    if not os.access(ARGS.build + "/app/rawmice", os.X_OK):
        print("kernel_test: no rawmice in %s/app: build it first" % ARGS.build, file=sys.stderr)
        return 2
    started = time.monotonic()
    VM = vmmod.VM(ARGS.kernel, SOURCE, ARGS.work, trees=[ARGS.build])
    try:
        VM.start()
    except RuntimeError as error:
        print("test-kernel: QEMU cannot run here: %s" % " ".join(str(error).split()),
              file=sys.stderr)
        VM.stop()
        return 1
    except AssertionError as error:
        print("test-kernel: the guest did not come up: %s" % error, file=sys.stderr)
        VM.stop()
        return 1
    print("test-kernel: the guest (Linux %s) is up after %.1f s" % (VM.version, VM.boot_seconds),
          file=sys.stderr)
    try:
        names = [n for n in STEPS if not rest or any(r in n for r in rest)]
        suite = unittest.TestSuite(OnARealKernel(name) for name in names)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        VM.stop()
    failed = len(result.failures) + len(result.errors)
    print("test-kernel: %.1f s in all (the guest's console: %s)"
          % (time.monotonic() - started, VM.console_path), file=sys.stderr)
    print("test-kernel: %d passed, %d failed" % (
        result.testsRun - failed - len(result.skipped), failed) +
        (", %d skipped" % len(result.skipped) if result.skipped else ""), file=sys.stderr)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
