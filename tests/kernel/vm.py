"""A Debian kernel booted under QEMU, running this machine's own programs.

The guest's root is a tmpfs that switch_root enters from a small busybox
initramfs: this machine's /usr, the kernel's modules and the project's tree
are shared read-only over 9p, and /etc is a copy in the guest's memory, so
the guest's users, groups and udev rules never touch the host's. Its PID 1 is
tests/kernel/guest-init, which loads the input drivers, starts udev and runs
tests/kernel/agent.py; the host asks the agent to run commands over a virtio
serial port. QEMU's monitor (QMP) moves the virtual mice and plugs devices in
and out.

Every virtual mouse is bound to its own head of a multi-head virtio-gpu, so
that QMP's input-send-event can address each one (device "video0", head N).
"""
import base64
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
from waiting import DEADLINE, wait_for  # noqa: E402

# Modules the initramfs loads, to mount the shares; guest-init loads the rest
# from the shared module tree.
FIRST_STAGE_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]


class Device:
    """A QEMU input device: its QOM id, driver and head of video0 (None: bound
    to no head, it takes the events sent to no device)."""

    def __init__(self, qom_id, driver, head, pci_addr=None):
        self.qom_id = qom_id
        self.driver = driver
        self.head = head
        self.pci_addr = pci_addr

    def args(self):
        """The -device value (also device_add's arguments)."""
        props = {"driver": self.driver, "id": self.qom_id}
        if self.head is not None:
            props.update(display="video0", head=self.head)
        if self.pci_addr is not None:
            props["addr"] = "0x%x" % self.pci_addr
        if self.driver.startswith("usb-"):
            props["bus"] = "usb.0"
        return props


# What the guest has from its start: three relative mice, QEMU's absolute
# tablet (the pointer a VM moves) and a keyboard beside the PS/2 one.
BOOT_DEVICES = [
    Device("mouse0", "virtio-mouse-pci", 0, 0x10),
    Device("mouse1", "virtio-mouse-pci", 1, 0x11),
    Device("mouse2", "virtio-mouse-pci", 2, 0x12),
    Device("tablet", "usb-tablet", 3),
]
KEYBOARD_PCI_ADDR = 0x13
# A USB mouse plugged in while the tests run. QEMU's usb-mouse cannot be bound
# to a head: it takes the relative events sent to no device (every other
# mouse is bound, and the PS/2 mouse is never enabled by the guest).
PLUGGED_MOUSE = Device("plugged", "usb-mouse", None)
HEADS = 8


def _cpio_entry(name, mode, ino, data=b""):
    name_bytes = name.encode() + b"\0"
    fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_bytes), 0]
    header = b"070701" + b"".join(b"%08x" % f for f in fields)
    out = header + name_bytes
    out += b"\0" * (-len(out) % 4)
    out += data
    out += b"\0" * (-len(out) % 4)
    return out


def write_cpio(path, files):
    """A newc cpio archive of `files` (archive name -> (mode, bytes)), folders
    for every parent made first."""
    folders = set()
    for name in files:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            folders.add("/".join(parts[:i]))
    entries = [(folder, 0o040755, b"") for folder in sorted(folders)]
    entries += [(name, mode, data) for name, (mode, data) in sorted(files.items())]
    entries.append(("TRAILER!!!", 0, b""))
    with open(path, "wb") as out:
        for ino, (name, mode, data) in enumerate(entries, 1):
            out.write(_cpio_entry(name, mode, ino, data))


def module_load_order(modules_dir, names):
    """The .ko paths (relative to modules_dir) to insmod for `names`, each
    after what it depends on, from modules.dep."""
    deps = {}
    with open(os.path.join(modules_dir, "modules.dep")) as f:
        for line in f:
            module, _, needs = line.partition(":")
            deps[module] = needs.split()
    by_name = {}
    for module in deps:
        base = os.path.basename(module).split(".ko")[0]
        by_name[base.replace("-", "_")] = module
    order = []

    def visit(module):
        if module in order:
            return
        for needed in deps[module]:
            visit(needed)
        order.append(module)

    for name in names:
        if name not in by_name:
            raise RuntimeError("kernel module %s is not in %s" % (name, modules_dir))
        visit(by_name[name])
    return order


def shared_libraries(program):
    """The shared libraries `program` loads, as ldd lists them."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    return re.findall(r"(/\S+) \(0x", out)


def build_initramfs(path, kernel_root, version, project, trees):
    modules_dir = os.path.join(kernel_root, "lib", "modules", version)
    busybox = shutil.which("busybox")
    if busybox is None:
        raise RuntimeError("busybox is missing")
    files = {}

    def add_file(source, name=None, mode=0o100755):
        with open(source, "rb") as f:
            files[(name or source).lstrip("/")] = (mode, f.read())

    add_file(busybox, "bin/busybox")
    for library in shared_libraries(busybox):
        add_file(os.path.realpath(library), library)
    loads = []
    for i, module in enumerate(module_load_order(modules_dir, FIRST_STAGE_MODULES)):
        name = "modules/%02d-%s" % (i, os.path.basename(module))
        add_file(os.path.join(modules_dir, module), name, 0o100644)
        loads.append("/" + name)
    with open(os.path.join(HERE, "initramfs-init")) as f:
        init = f.read()
    init = (init.replace("@MODULES@", " ".join(loads)).replace("@PROJECT@", project)
            .replace("@TREES@", " ".join(trees)).replace("@VERSION@", version))
    files["init"] = (0o100755, init.encode())
    write_cpio(path, files)


class Qmp:
    """QEMU's monitor: one command at a time; events are kept for wait_event."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.buffer = b""
        self.events = []
        if self._read() is None:
            raise AssertionError("QEMU's monitor gave no greeting")
        self.command("qmp_capabilities")

    def _read(self, deadline=DEADLINE):
        """The next message; None when none came within `deadline`."""
        end = time.monotonic() + deadline
        while b"\n" not in self.buffer:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("QEMU's monitor closed (QEMU ended)")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        self.sock.sendall(json.dumps(request).encode() + b"\n")
        while True:
            reply = self._read()
            if reply is None:
                raise AssertionError("QEMU's monitor did not answer %s within %.0f s"
                                     % (name, DEADLINE))
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise AssertionError("QMP %s failed: %s" % (name, reply["error"]))
            return reply.get("return")

    def wait_event(self, name, deadline=DEADLINE, **data):
        """Waits for the event `name` whose data holds `data`; returns it."""
        end = time.monotonic() + deadline
        while True:
            for i, event in enumerate(self.events):
                if event["event"] == name and all(event.get("data", {}).get(k) == v
                                                  for k, v in data.items()):
                    return self.events.pop(i)
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no QMP event %s %r within %.0f s" % (name, data, deadline))
            message = self._read(left)
            if message is not None:
                self.events.append(message)

    def close(self):
        self.sock.close()


class Result:
    def __init__(self, reply):
        self.rc = reply.get("rc")
        self.out = base64.b64decode(reply.get("out", ""))
        self.err = base64.b64decode(reply.get("err", ""))
        self.timed_out = reply.get("timed_out", False)

    @property
    def text(self):
        return self.out.decode(errors="replace")


class GuestProcess:
    """A program the agent started in the background."""

    def __init__(self, vm, pid, out, err):
        self.vm = vm
        self.pid = pid
        self.out_path = out
        self.err_path = err

    def poll(self):
        return self.vm.request("poll", pid=self.pid)["rc"]

    def signal(self, name):
        self.vm.request("signal", pid=self.pid, signal=name)

    def wait(self, deadline=DEADLINE):
        reply = self.vm.request("wait", pid=self.pid, timeout=deadline)
        if reply.get("timed_out"):
            raise AssertionError("guest process %d still runs after %.0f s" % (self.pid, deadline))
        return reply["rc"]

    def stdout(self):
        return self.vm.read(self.out_path).decode(errors="replace")

    def stderr(self):
        return self.vm.read(self.err_path).decode(errors="replace")

    def stop(self):
        """Ends it (SIGKILL) if it still runs."""
        if self.poll() is None:
            self.signal("SIGCONT")
            self.signal("SIGKILL")
            self.wait()


class VM:
    """One boot of the guest. `kernel_root` is the unpacked kernel package."""

    def __init__(self, kernel_root, project, work, trees=(), smp=2, memory_mb=1536):
        self.kernel_root = kernel_root
        self.project = os.path.realpath(project)
        # Host folders the guest sees at the same path: the project's first.
        # The host's font cache spares each boot a quarter of a minute of
        # fontconfig's scanning (under emulation) when rawmice first starts.
        self.trees = [self.project]
        caches = [c for c in ["/var/cache/fontconfig"] if os.path.isdir(c)]
        for tree in map(os.path.realpath, [*trees, *caches]):
            if not any(tree == t or tree.startswith(t + "/") for t in self.trees):
                self.trees.append(tree)
        self.work = work
        self.smp = smp
        self.memory_mb = memory_mb
        versions = os.listdir(os.path.join(kernel_root, "lib", "modules"))
        if len(versions) != 1:
            raise RuntimeError("expected one kernel in %s, found %r" % (kernel_root, versions))
        self.version = versions[0]
        self.process = None
        self.qmp = None
        self.agent = None
        self.agent_buffer = b""
        self.next_id = 0
        # The sockets' paths must stay short: a temporary folder, not the work one.
        self.scratch = tempfile.mkdtemp(prefix="rawmice-vm-")
        self.console_path = os.path.join(work, "console.log")
        self.qemu_log_path = os.path.join(work, "qemu.log")
        self.boot_seconds = None

    def qemu_command(self, initramfs):
        vmlinuz = os.path.join(self.kernel_root, "boot", "vmlinuz-" + self.version)
        s = self.scratch

        def share(tag, path):
            return ["-fsdev", "local,id=%s,path=%s,security_model=none,readonly=on,multidevs=remap"
                    % (tag, path), "-device", "virtio-9p-pci,fsdev=%s,mount_tag=%s" % (tag, tag)]

        def device(props):
            return ["-device", ",".join("%s=%s" % (k, v) for k, v in props.items())]

        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-machine", "pc", "-cpu", "max",
            "-smp", str(self.smp), "-m", str(self.memory_mb),
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", vmlinuz, "-initrd", initramfs,
            "-append", "console=ttyS0 loglevel=4 panic=-1",
            "-serial", "file:" + self.console_path,
            "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % s,
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=agent,path=%s/agent.sock,server=on,wait=off" % s,
            "-device", "virtserialport,chardev=agent,name=rawmice.agent",
            "-device", "virtio-gpu-pci,id=video0,max_outputs=%d" % HEADS,
            "-device", "qemu-xhci,id=usb",
        ]
        command += share("usr", "/usr")
        command += share("etc", "/etc")
        command += share("modules", os.path.join(self.kernel_root, "lib", "modules"))
        for i, tree in enumerate(self.trees):
            command += share("tree%d" % i, tree)
        for d in BOOT_DEVICES:
            command += device(d.args())
        command += ["-device", "virtio-keyboard-pci,id=keyboard,addr=0x%x" % KEYBOARD_PCI_ADDR]
        return command

    def start(self):
        initramfs = os.path.join(self.scratch, "initramfs.cpio")
        build_initramfs(initramfs, self.kernel_root, self.version, self.project, self.trees)
        started = time.monotonic()
        with open(self.qemu_log_path, "wb") as qemu_log:
            self.process = subprocess.Popen(self.qemu_command(initramfs), stdin=subprocess.DEVNULL,
                                            stdout=qemu_log, stderr=subprocess.STDOUT)
        for name in ("qmp.sock", "agent.sock"):
            path = os.path.join(self.scratch, name)
            wait_for(lambda: os.path.exists(path) or self.process.poll() is not None,
                     "QEMU's %s" % name, deadline=30)
            if self.process.poll() is not None:
                with open(self.qemu_log_path, errors="replace") as qemu_log:
                    raise RuntimeError("QEMU ended at once: " + qemu_log.read().strip())
        self.qmp = Qmp(os.path.join(self.scratch, "qmp.sock"))
        self.agent = socket.socket(socket.AF_UNIX)
        self.agent.connect(os.path.join(self.scratch, "agent.sock"))
        hello = self._agent_line(deadline=240)
        if not hello.get("ready"):
            raise AssertionError("the guest agent said %r" % hello)
        self.boot_seconds = time.monotonic() - started
        return self

    def _agent_line(self, deadline):
        end = time.monotonic() + deadline
        while b"\n" not in self.agent_buffer:
            left = end - time.monotonic()
            ready = select.select([self.agent], [], [], max(left, 0))[0] if left > 0 else []
            if not ready:
                if self.process.poll() is not None:
                    raise AssertionError("QEMU ended (status %s); the guest's console:\n%s"
                                         % (self.process.returncode, self.console_tail()))
                raise AssertionError("the guest agent said nothing for %.0f s; the guest's "
                                     "console:\n%s" % (deadline, self.console_tail()))
            data = self.agent.recv(1 << 20)
            if not data:
                raise AssertionError("the guest agent's port closed; the guest's console:\n%s"
                                     % self.console_tail())
            self.agent_buffer += data
        line, self.agent_buffer = self.agent_buffer.split(b"\n", 1)
        return json.loads(line)

    def console_tail(self, lines=40):
        try:
            with open(self.console_path, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except FileNotFoundError:
            return "(none)"

    def request(self, op, deadline=DEADLINE, **arguments):
        self.next_id += 1
        message = dict(arguments, op=op, id=self.next_id)
        self.agent.sendall(json.dumps(message).encode() + b"\n")
        timeout = arguments.get("timeout") or 0
        reply = self._agent_line(deadline + timeout)
        if reply.get("id") != self.next_id:
            raise AssertionError("the guest agent answered %r to request %d" % (reply, self.next_id))
        if "error" in reply:
            raise AssertionError("guest agent, %s: %s" % (op, reply["error"]))
        return reply

    # What the tests use.

    def run(self, argv, user=None, env=None, cwd=None, timeout=DEADLINE, check=True):
        """Runs argv in the guest to its end; returns a Result."""
        result = Result(self.request("run", argv=argv, user=user, env=env, cwd=cwd,
                                     timeout=timeout))
        if result.timed_out:
            raise AssertionError("guest: %s did not end within %.0f s" % (argv, timeout))
        if check and result.rc != 0:
            raise AssertionError("guest: %s exited %s: %s%s" % (
                argv, result.rc, result.out.decode(errors="replace"),
                result.err.decode(errors="replace")))
        return result

    def sh(self, script, **kwargs):
        return self.run(["/bin/sh", "-ec", script], **kwargs)

    def spawn(self, argv, user=None, env=None, cwd=None, out=None, err=None):
        """Starts argv in the guest in the background, its output in files."""
        reply = self.request("spawn", argv=argv, user=user, env=env, cwd=cwd, out=out, err=err)
        return GuestProcess(self, reply["pid"], reply["out"], reply["err"])

    def read(self, path):
        """A guest file's bytes; None when it does not exist."""
        reply = self.request("read", path=path)
        return None if reply.get("missing") else base64.b64decode(reply["data"])

    def write(self, path, data, mode=0o644):
        if isinstance(data, str):
            data = data.encode()
        self.request("write", path=path, data=base64.b64encode(data).decode(), mode=mode)

    def wait_lines(self, path, count, deadline=DEADLINE):
        """Waits in the guest until `path` holds `count` lines; returns them."""
        reply = self.request("wait_lines", path=path, count=count, timeout=deadline)
        if reply.get("timed_out"):
            raise AssertionError("gave up after %.0f s waiting for %d lines in %s (it has %d)"
                                 % (deadline, count, path, reply["have"]))
        return base64.b64decode(reply["data"]).decode(errors="replace").splitlines()

    def send_events(self, device, events):
        """One frame of `events` from `device` (a Device), through QMP."""
        if device.head is None:
            self.qmp.command("input-send-event", events=events)
        else:
            self.qmp.command("input-send-event", device="video0", head=device.head,
                             events=events)

    def stop(self):
        if self.agent is not None:
            self.agent.close()
        if self.qmp is not None:
            try:
                self.qmp.command("quit")
            except (AssertionError, OSError):
                pass
            self.qmp.close()
        if self.process is not None:
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)


# Frames as QMP events.

def rel(x=0, y=0):
    events = []
    if x:
        events.append({"type": "rel", "data": {"axis": "x", "value": x}})
    if y:
        events.append({"type": "rel", "data": {"axis": "y", "value": y}})
    return events


def absolute(x, y):
    return [{"type": "abs", "data": {"axis": "x", "value": x}},
            {"type": "abs", "data": {"axis": "y", "value": y}}]


def button(name, down):
    return [{"type": "btn", "data": {"button": name, "down": down}}]
