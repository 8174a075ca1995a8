"""A mouse made with uinput in the guest: once the file GO exists, it moves
right by one COUNT times at RATE frames a second, on a schedule of absolute
times; half a second later it moves down by one, the frame that says it has
finished, then stays until it is killed (a uinput device that goes away takes
the frames its readers have not read yet with it).

    python3 uinput_mouse.py NAME RATE COUNT GO [--keys]

With --keys it is a keyboard too (every key from KEY_ESC to KEY_S on the same
node), as some combo receivers and keyboards with a pointing stick make one.

Prints the node's sysfs name ("inputN") once the device exists, then "done"
and the median interval between its writes in microseconds once every frame
is written: under a loaded emulator the writer falls behind its schedule and
catches up in bursts, so what it sent is that, not RATE. The last frame comes after a pause, so that a
reader that fell behind has emptied the kernel's buffer by then: an overflow,
which makes a reader drop events up to the next frame's end, never takes it.
"""
import fcntl
import os
import signal
import struct
import sys
import time

UI_SET_EVBIT = 0x40045564
UI_SET_KEYBIT = 0x40045565
UI_SET_RELBIT = 0x40045566
UI_DEV_SETUP = 0x405C5503  # _IOW('U', 3, struct uinput_setup), 92 bytes
UI_DEV_CREATE = 0x5501
UI_GET_SYSNAME_80 = 0x8050552C  # _IOC(_IOC_READ, 'U', 44, 80)
EV_SYN, EV_KEY, EV_REL = 0, 1, 2
SYN_REPORT, REL_X, REL_Y, BTN_LEFT, BTN_RIGHT = 0, 0, 1, 0x110, 0x111
KEY_ESC, KEY_S = 1, 31
BUS_VIRTUAL = 0x06
EVENT = struct.Struct("llHHi")


def main():
    name, rate, count, go = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    fd = os.open("/dev/uinput", os.O_WRONLY | os.O_NONBLOCK)
    for kind in (EV_KEY, EV_REL):
        fcntl.ioctl(fd, UI_SET_EVBIT, kind)
    keys = list(range(KEY_ESC, KEY_S + 1)) if "--keys" in sys.argv[5:] else []
    for button in (BTN_LEFT, BTN_RIGHT, *keys):
        fcntl.ioctl(fd, UI_SET_KEYBIT, button)
    for axis in (REL_X, REL_Y):
        fcntl.ioctl(fd, UI_SET_RELBIT, axis)
    # struct uinput_setup: struct input_id, char name[80], __u32 ff_effects_max.
    fcntl.ioctl(fd, UI_DEV_SETUP, struct.pack("HHHH80sI", BUS_VIRTUAL, 0x1234, 0x5678, 1,
                                              name.encode(), 0))
    fcntl.ioctl(fd, UI_DEV_CREATE)
    sysname = fcntl.ioctl(fd, UI_GET_SYSNAME_80, bytes(80)).split(b"\0")[0].decode()
    print(sysname, flush=True)
    while not os.path.exists(go):
        time.sleep(0.01)
    frame = EVENT.pack(0, 0, EV_REL, REL_X, 1) + EVENT.pack(0, 0, EV_SYN, SYN_REPORT, 0)
    start = time.monotonic()
    written = []
    for i in range(count):
        delay = start + i / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        written.append(time.monotonic())
        os.write(fd, frame)
    time.sleep(0.5)
    os.write(fd, EVENT.pack(0, 0, EV_REL, REL_Y, 1) + EVENT.pack(0, 0, EV_SYN, SYN_REPORT, 0))
    gaps = sorted(b - a for a, b in zip(written, written[1:]))
    print("done %d" % round(gaps[len(gaps) // 2] * 1e6) if gaps else "done", flush=True)
    signal.pause()


if __name__ == "__main__":
    main()
