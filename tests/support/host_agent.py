#!/usr/bin/env python3
"""Linux-side helper for test programs running under Wine.

The integration tests drive a real Dovecot with Linux tools (dovecot,
doveadm, openssl, chown). A Windows test process cannot start or own Linux
processes, so the Windows half of the tests' OS layer
(tests/support/platform/win32/os_win32.cpp) sends those calls here, one JSON
request per loopback connection, and gets one JSON reply line back.

    host_agent.py --port-file FILE     listens on 127.0.0.1 (a free port,
                                       written to FILE), until SIGTERM/SIGINT

Byte strings (file contents, a program's input and output) travel as hex.
Arguments and paths that are Windows paths on a drive of the Wine prefix
("C:\\users\\...", from the test's temp directory) are turned into the Unix
paths behind them, so Linux tools can read what the Windows test wrote.
Every background program it started is stopped when the agent ends, and
the directories they were given to clean are removed: the agent is the
watchdog the POSIX half forks for each daemon.
"""
import argparse
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

SEARCH = ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin"
background = {}  # pid -> (Popen, cleanup_dir)
lock = threading.Lock()


DRIVE_PATH = re.compile(r"^([A-Za-z]):[\\/]")


def unix_path(arg):
    m = DRIVE_PATH.match(arg)
    prefix = os.environ.get("WINEPREFIX", "")
    if not m or not prefix:
        return arg
    base = os.path.realpath(os.path.join(prefix, "dosdevices", m.group(1).lower() + ":"))
    return os.path.join(base, arg[3:].replace("\\", "/"))


def find_program(name):
    if "/" in name:
        return name if os.access(name, os.X_OK) else ""
    path = os.environ.get("PATH", "") + SEARCH
    return shutil.which(name, path=path) or ""


def run(req):
    argv = [unix_path(a) for a in req["argv"]]
    exe = find_program(argv[0]) if argv else ""
    if not exe:
        return {"started": False, "error": "program not found: %s" % (argv[0] if argv else "")}
    try:
        p = subprocess.run([exe] + argv[1:], input=bytes.fromhex(req.get("input", "")),
                           capture_output=True, timeout=req.get("timeout_ms", 30000) / 1000.0)
        code = p.returncode if p.returncode >= 0 else 128 - p.returncode
        return {"started": True, "timed_out": False, "exit_code": code,
                "out": p.stdout.hex(), "err": p.stderr.hex()}
    except subprocess.TimeoutExpired as e:
        return {"started": True, "timed_out": True, "exit_code": -1,
                "out": (e.stdout or b"").hex(), "err": (e.stderr or b"").hex()}
    except OSError as e:
        return {"started": False, "error": str(e)}


def spawn(req):
    argv = [unix_path(a) for a in req["argv"]]
    exe = find_program(argv[0]) if argv else ""
    if not exe:
        return {"ok": False, "error": "program not found: %s" % (argv[0] if argv else "")}
    try:
        log = open(req["log"], "ab")
        p = subprocess.Popen([exe] + argv[1:], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
    except OSError as e:
        return {"ok": False, "error": str(e)}
    with lock:
        background[p.pid] = (p, req.get("cleanup_dir", ""))
    return {"ok": True, "pid": p.pid}


def entry(pid):
    with lock:
        return background.get(pid)


def running(req):
    e = entry(req["pid"])
    return {"running": bool(e) and e[0].poll() is None}


def stop(req):
    e = entry(req["pid"])
    if e:
        p = e[0]
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(req.get("grace_ms", 2000) / 1000.0)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        with lock:
            background.pop(req["pid"], None)
    return {}


def account_ids(req):
    try:
        pw = pwd.getpwnam(req["name"])
        return {"ok": True, "uid": pw.pw_uid, "gid": pw.pw_gid}
    except KeyError:
        return {"ok": False}


def make_temp_dir(req):
    prefix = req["prefix"]
    try:
        return {"path": tempfile.mkdtemp(prefix=os.path.basename(prefix), dir=os.path.dirname(prefix) or None)}
    except OSError:
        return {"path": ""}


def ok_of(fn):
    try:
        fn()
        return {"ok": True}
    except OSError:
        return {"ok": False}


def get_mtime(req):
    try:
        return {"t": int(os.stat(req["path"]).st_mtime)}
    except OSError:
        return {"t": -1}


def write_file(req):
    def go():
        fd = os.open(req["path"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, req.get("mode", 0o644))
        with os.fdopen(fd, "wb") as f:
            f.write(bytes.fromhex(req["data"]))
        os.chmod(req["path"], req.get("mode", 0o644))
    return ok_of(go)


def rename(req):
    try:
        os.rename(req["from"], req["to"])
        return {"ok": True}
    except OSError as e:
        return {"ok": False, "why": e.strerror or str(e)}


def make_directory(req):
    try:
        os.mkdir(req["path"])
    except FileExistsError:
        pass
    except OSError:
        return {"ok": False}
    return {"ok": os.path.isdir(req["path"])}


def list_directory(req):
    # Names as hex: a Linux name need not be UTF-8.
    try:
        return {"names": [n.hex() for n in os.listdir(os.fsencode(req["path"]))]}
    except OSError:
        return {"names": []}


def read_file(req):
    try:
        with open(req["path"], "rb") as f:
            return {"ok": True, "data": f.read().hex()}
    except OSError:
        return {"ok": False}


OPS = {
    "run": run,
    "spawn": spawn,
    "running": running,
    "stop": stop,
    "find_program": lambda r: {"path": find_program(r["name"])},
    "is_superuser": lambda r: {"yes": os.geteuid() == 0},
    "account_ids": account_ids,
    "make_temp_dir": make_temp_dir,
    "set_mode": lambda r: ok_of(lambda: os.chmod(r["path"], r["mode"])),
    "set_owner": lambda r: ok_of(lambda: os.chown(r["path"], r["uid"], r["gid"])),
    "set_mtime": lambda r: ok_of(lambda: os.utime(r["path"], (r["t"], r["t"]))),
    "get_mtime": get_mtime,
    "write_file": write_file,
    "remove_tree": lambda r: ok_of(lambda: shutil.rmtree(r["path"])),
    "is_directory": lambda r: {"yes": os.path.isdir(r["path"])},
    "make_directory": make_directory,
    "rename": rename,
    "list_directory": list_directory,
    "read_file": read_file,
}


PATH_KEYS = ("path", "log", "cleanup_dir", "prefix", "from", "to")


def handle(line):
    try:
        req = json.loads(line)
        for key in PATH_KEYS:
            if isinstance(req.get(key), str):
                req[key] = unix_path(req[key])
        return OPS[req["op"]](req)
    except Exception as e:  # a bad request must not end the agent
        return {"error": "agent: %s" % e}


def serve(conn):
    # One request per line, answered in order, until the client closes: a
    # test thread keeps its connection, since a new one per call costs more
    # under Wine than most calls themselves.
    with conn:
        data = b""
        while True:
            while b"\n" not in data:
                chunk = conn.recv(1 << 20)
                if not chunk:
                    return
                data += chunk
            line, data = data.split(b"\n", 1)
            conn.sendall(json.dumps(handle(line)).encode() + b"\n")


def shutdown(*_):
    with lock:
        items = list(background.values())
        background.clear()
    for p, _cleanup in items:
        if p.poll() is None:
            p.terminate()
    for p, cleanup in items:
        try:
            p.wait(3)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        if cleanup:
            shutil.rmtree(cleanup, ignore_errors=True)
    sys.exit(0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    args = ap.parse_args()
    signal.signal(signal.SIGTERM, shutdown)
    signal.signal(signal.SIGINT, shutdown)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(srv.getsockname()[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
