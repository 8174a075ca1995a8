"""The guest's agent: runs what the host asks, over the virtio serial port
named rawmice.agent, one JSON request per line, one reply per request.

Requests ("op"): run (to the end, output returned), spawn (in the background,
output to files), poll, signal, wait, read, write, wait_lines. Byte strings
travel in base64. A program may run as another user ("user": its groups are
the guest's /etc/group's).
"""
import base64
import json
import os
import pwd
import signal
import subprocess
import sys
import time

processes = {}


def port_path():
    for entry in sorted(os.listdir("/sys/class/virtio-ports")):
        with open("/sys/class/virtio-ports/%s/name" % entry) as f:
            if f.read().strip() == "rawmice.agent":
                return "/dev/" + entry
    raise SystemExit("agent: no virtio port named rawmice.agent")


def identity(user):
    """Popen's arguments that run a program as `user`, with the groups the
    guest's /etc/group gives it now."""
    if not user:
        return {}
    entry = pwd.getpwnam(user)
    return {"user": entry.pw_uid, "group": entry.pw_gid,
            "extra_groups": os.getgrouplist(user, entry.pw_gid)}


def environment(request):
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "LANG": "C.UTF-8"}
    if request.get("user"):
        entry = pwd.getpwnam(request["user"])
        env.update(HOME=entry.pw_dir, USER=request["user"], LOGNAME=request["user"])
    else:
        env.update(HOME="/root", USER="root")
    env.update(request.get("env") or {})
    return env


def b64(data):
    return base64.b64encode(data).decode()


def op_run(request):
    try:
        done = subprocess.run(request["argv"], cwd=request.get("cwd"), env=environment(request),
                              stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=request.get("timeout"), **identity(request.get("user")))
    except subprocess.TimeoutExpired as expired:
        return {"timed_out": True, "out": b64(expired.stdout or b""),
                "err": b64(expired.stderr or b"")}
    return {"rc": done.returncode, "out": b64(done.stdout), "err": b64(done.stderr)}


def op_spawn(request):
    folder = request.get("cwd") or "/tmp"
    out = request.get("out") or os.path.join(folder, "stdout.txt")
    err = request.get("err") or os.path.join(folder, "stderr.txt")
    with open(out, "wb") as out_file, open(err, "wb") as err_file:
        ident = identity(request.get("user"))
        if ident:
            os.chown(out, ident["user"], ident["group"])
            os.chown(err, ident["user"], ident["group"])
        process = subprocess.Popen(request["argv"], cwd=request.get("cwd"),
                                   env=environment(request), stdin=subprocess.DEVNULL,
                                   stdout=out_file, stderr=err_file, start_new_session=True,
                                   **ident)
    processes[process.pid] = process
    return {"pid": process.pid, "out": out, "err": err}


def op_poll(request):
    return {"rc": processes[request["pid"]].poll()}


def op_signal(request):
    process = processes[request["pid"]]
    if process.poll() is None:
        os.kill(process.pid, getattr(signal, request["signal"]))
    return {}


def op_wait(request):
    try:
        return {"rc": processes[request["pid"]].wait(request.get("timeout"))}
    except subprocess.TimeoutExpired:
        return {"timed_out": True}


def op_read(request):
    try:
        with open(request["path"], "rb") as f:
            return {"data": b64(f.read())}
    except FileNotFoundError:
        return {"missing": True}


def op_write(request):
    with open(request["path"], "wb") as f:
        f.write(base64.b64decode(request["data"]))
    os.chmod(request["path"], request.get("mode", 0o644))
    return {}


def op_wait_lines(request):
    """Waits until the file holds `count` whole lines, polling it."""
    end = time.monotonic() + request["timeout"]
    while True:
        try:
            with open(request["path"], "rb") as f:
                data = f.read()
        except FileNotFoundError:
            data = b""
        have = data.count(b"\n")
        if have >= request["count"]:
            return {"data": b64(data)}
        if time.monotonic() > end:
            return {"timed_out": True, "have": have}
        time.sleep(0.005)


OPS = {name[3:]: function for name, function in globals().items() if name.startswith("op_")}


def main():
    fd = os.open(port_path(), os.O_RDWR)
    reader = os.fdopen(fd, "rb", buffering=0)

    def send(message):
        data = json.dumps(message).encode() + b"\n"
        while data:
            data = data[os.write(fd, data):]

    send({"ready": True})
    pending = b""
    while True:
        while b"\n" not in pending:
            chunk = reader.read(65536)
            if not chunk:
                return
            pending += chunk
        line, pending = pending.split(b"\n", 1)
        request = json.loads(line)
        try:
            reply = OPS[request["op"]](request)
        except Exception as error:  # any failure goes back to the host as the reply
            reply = {"error": "%s: %s" % (type(error).__name__, error)}
        reply["id"] = request.get("id")
        send(reply)


if __name__ == "__main__":
    sys.exit(main())
