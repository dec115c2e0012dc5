"""What the tool's end-to-end suites share: the registry their tests join
with @test, and the runner that gives each test the throwaway Dovecot,
prints one line per test and closes with "NAME: N passed, N failed".
"""
import argparse
import os
import shutil
import tempfile
import time
import traceback


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
