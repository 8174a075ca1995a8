#!/usr/bin/env python3
"""Writes evemu recordings as one `libinput record` file, each recording a
device of it, in the order given, with its events from its own first event
(time 0), as each evemu file plays on its own.

    evemu_to_libinput_record.py OUT FILE.evemu...
"""
import sys


def read_evemu(path):
    """The name, id, codes by type, absinfo, properties and events of a recording."""
    device = {"name": "", "id": [0, 0, 0, 0], "codes": {}, "absinfo": {}, "props": [],
              "events": []}
    mask_bytes = {}  # consecutive "B:" lines of a type continue its mask
    prop_bytes = 0
    for line in open(path, encoding="utf-8"):
        line = line.split("#", 1)[0].rstrip("\r\n") if not line.startswith("N:") else line.rstrip("\r\n")
        fields = line.split()
        if line.startswith("N:"):
            device["name"] = line[2:].strip()
        elif line.startswith("I:"):
            device["id"] = [int(f, 16) for f in fields[1:5]]
        elif line.startswith("P:"):
            for i, byte in enumerate(fields[1:9]):
                for bit in range(8):
                    if int(byte, 16) >> bit & 1:
                        device["props"].append((prop_bytes + i) * 8 + bit)
            prop_bytes += 8
        elif line.startswith("B:"):
            kind = int(fields[1], 16)
            start = mask_bytes.get(kind, 0)
            for i, byte in enumerate(fields[2:10]):
                for bit in range(8):
                    if int(byte, 16) >> bit & 1 and kind != 0:
                        device["codes"].setdefault(kind, []).append((start + i) * 8 + bit)
            mask_bytes[kind] = start + 8
        elif line.startswith("A:"):
            device["absinfo"][int(fields[1], 16)] = [int(f) for f in fields[2:7]] + [0] * (
                7 - len(fields))
        elif line.startswith("E:"):
            seconds, micros = fields[1].split(".")
            us = int(seconds) * 1000000 + int(micros)
            device["events"].append((us, int(fields[2], 16), int(fields[3], 16), int(fields[4])))
    return device


def write_device(out, device):
    out.write("- node: /dev/input/event%d\n" % device["node"])
    out.write("  evdev:\n")
    out.write("    # Name: %s\n" % device["name"])
    out.write('    name: "%s"\n' % device["name"].replace("\\", "\\\\").replace('"', '\\"'))
    out.write("    id: [%d, %d, %d, %d]\n" % tuple(device["id"]))
    out.write("    codes:\n")
    out.write("      0: [0, 1, 2, 3, 4] # EV_SYN\n")
    for kind in sorted(device["codes"]):
        out.write("      %d: [%s]\n" % (kind, ", ".join(str(c) for c in device["codes"][kind])))
    if device["absinfo"]:
        out.write("    absinfo:\n")
        for code in sorted(device["absinfo"]):
            out.write("      %d: [%s]\n" % (code, ", ".join(str(v) for v in device["absinfo"][code])))
    out.write("    properties: [%s]\n" % ", ".join(str(p) for p in device["props"]))
    out.write("  udev:\n    properties:\n    - ID_INPUT=1\n")
    out.write("  events:\n")
    events = device["events"]
    first = events[0][0] if events else 0
    frame_open = False
    for us, kind, code, value in events:
        if not frame_open:
            out.write("  - evdev:\n")
            frame_open = True
        t = us - first
        out.write("    - [%3d, %6d, %3d, %3d, %7d]\n" % (t // 1000000, t % 1000000, kind, code, value))
        if kind == 0 and code == 0:
            frame_open = False


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    devices = [read_evemu(path) for path in sys.argv[2:]]
    with open(sys.argv[1], "w", encoding="utf-8") as out:
        out.write("# libinput record\nversion: 1\nndevices: %d\n" % len(devices))
        out.write('libinput:\n  version: "1.22.1"\n  git: "unknown"\n')
        out.write('system:\n  os: "debian:12"\n  kernel: "6.1.0"\n  dmi: "dmi:unknown"\n')
        out.write("devices:\n")
        for node, device in enumerate(devices):
            device["node"] = node
            write_device(out, device)


if __name__ == "__main__":
    main()
