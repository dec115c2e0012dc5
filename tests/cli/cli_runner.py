"""What the tool's end-to-end suites share: the registry their tests join
with @test, and the runner that gives each test the throwaway Dovecot,
prints one line per test and closes with "NAME: N passed, N failed"; the
checks, the way to run the tool, and a slow link to interrupt it on.
"""
import argparse
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import traceback

RUN_LIMIT_S = 240  # no single command may take longer than this


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


def expect(result, rc, what):
    code, out, err = result
    check(code == rc, "%s: exit %d, wanted %d\nstdout: %s\nstderr: %s" % (what, code, rc, out[-2000:], err[-2000:]))
    return out, err


class ToolRunner:
    """Runs the tool of a suite's sandbox (self.tool, self.work, self.env())."""

    def run(self, *argv, env=None, input=None):
        p = subprocess.run([self.tool, *argv], capture_output=True, env=env or self.env(),
                           stdin=subprocess.DEVNULL if input is None else None, input=input,
                           timeout=RUN_LIMIT_S)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")

    def tmp(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        return path


class ThrottleProxy:
    """Forwards a loopback port to another, holding each chunk from the
    server back a little (and, with both_ways, each chunk to it too), so a
    run takes long enough to be interrupted."""

    def __init__(self, target_port, delay_s=0.03, both_ways=False):
        self.target, self.delay, self.both_ways = target_port, delay_s, both_ways
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.stop = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _pipe(self, src, dst, delay):
        try:
            while not self.stop.is_set():
                data = src.recv(4096)
                if not data:
                    break
                if delay:
                    time.sleep(delay)
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def _accept(self):
        self.sock.settimeout(0.5)
        while not self.stop.is_set():
            try:
                client, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            up = self.delay if self.both_ways else 0
            threading.Thread(target=self._pipe, args=(client, server, up), daemon=True).start()
            threading.Thread(target=self._pipe, args=(server, client, self.delay), daemon=True).start()

    def close(self):
        """Stops passing data on: what is still on its way is cut off."""
        self.stop.set()
        self.sock.close()


class Suite:
    def __init__(self, name):
        self.name = name
        self.tests = []

    def test(self, fn):
        self.tests.append(fn)
        return fn

    def main(self, make_env, prepare=None):
        """Runs the suite from the command line (--source-dir, --build-dir,
        -k PATTERN). make_env(source, build, work) is the Dovecot sandbox;
        prepare(env, work, cleanups), when given, returns what each test is
        handed instead of the sandbox and may append calls to cleanups,
        run (last first) before the sandbox stops. Returns the exit status."""
        ap = argparse.ArgumentParser()
        ap.add_argument("--source-dir", required=True)
        ap.add_argument("--build-dir", required=True)
        ap.add_argument("-k", dest="pattern", default="")
        args = ap.parse_args()

        if os.geteuid() != 0 or not (shutil.which("dovecot") or os.path.exists("/usr/sbin/dovecot")):
            print("%s: needs root and dovecot (scripts/deps.sh installs it)" % self.name)
            print("%s: 0 passed, 0 failed, %d skipped" % (self.name, len(self.tests)))
            return 0

        work = tempfile.mkdtemp(prefix="kq-%s-tests." % self.name)
        os.chmod(work, 0o755)
        env = make_env(os.path.abspath(args.source_dir), os.path.abspath(args.build_dir), work)
        cleanups = []
        passed = failed = 0
        try:
            env.start_server()
            handed = prepare(env, work, cleanups) if prepare else env
            for t in self.tests:
                if args.pattern and args.pattern not in t.__name__:
                    continue
                start = time.time()
                try:
                    t(handed)
                    passed += 1
                    print("ok    %s (%.1f s)" % (t.__name__, time.time() - start), flush=True)
                except Exception as e:  # report and go on with the next test
                    failed += 1
                    print("FAIL  %s: %s" % (t.__name__, e), flush=True)
                    if not isinstance(e, AssertionError):
                        traceback.print_exc()
        finally:
            for c in reversed(cleanups):
                c()
            env.stop_server()
            shutil.rmtree(work, ignore_errors=True)
        print("%s: %d passed, %d failed" % (self.name, passed, failed))
        return 1 if failed else 0
