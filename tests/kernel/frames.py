"""Reads event nodes beside rawmice and writes one line per frame the kernel
hands out: "NODE SECONDS.MICROSECONDS" at each SYN_REPORT, "NODE dropped" at
each SYN_DROPPED; first "ready" once every node is open. The host waits on
these lines to know that the kernel has time-stamped what it sent before it
sends the next frame.

    python3 frames.py OUTPUT NODE...
"""
import os
import select
import struct
import sys

EVENT = struct.Struct("llHHi")  # struct input_event on a 64-bit kernel
EV_SYN, SYN_REPORT, SYN_DROPPED = 0, 0, 3


def main():
    out = open(sys.argv[1], "w", buffering=1)
    fds = {os.open(node, os.O_RDONLY | os.O_NONBLOCK): node for node in sys.argv[2:]}
    pending = {fd: b"" for fd in fds}
    poller = select.poll()
    for fd in fds:
        poller.register(fd, select.POLLIN)
    out.write("ready\n")
    while fds:
        for fd, _ in poller.poll():
            try:
                data = pending[fd] + os.read(fd, EVENT.size * 256)
            except BlockingIOError:
                continue
            except OSError:  # the device went away
                poller.unregister(fd)
                del fds[fd]
                continue
            whole = len(data) - len(data) % EVENT.size
            pending[fd] = data[whole:]
            for sec, usec, kind, code, _ in EVENT.iter_unpack(data[:whole]):
                if kind == EV_SYN and code == SYN_REPORT:
                    out.write("%s %d.%06d\n" % (fds[fd], sec, usec))
                elif kind == EV_SYN and code == SYN_DROPPED:
                    out.write("%s dropped\n" % fds[fd])


if __name__ == "__main__":
    main()
