#!/usr/bin/env bash
# Runs the whole test suite on this machine: dependencies, a normal build,
# the demo, a ThreadSanitizer build of the threaded tests, an ASan+UBSan build,
# the fuzz harnesses over their corpora and the Windows leg under Wine
# (scripts/test_windows.sh; KQ_WINDOWS=0 leaves it out). After the demo, the
# interop leg runs the tool against other IMAP servers (KQ_INTEROP=0 leaves it out).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
# Checked now, not after the Linux legs' half hour.
case "${KQ_INTEROP:=auto}" in
  0|1|auto) ;;
  *) echo "KQ_INTEROP must be auto, 0 or 1, not '${KQ_INTEROP}'" >&2; exit 2 ;;
esac
case "${KQ_WINDOWS:=auto}" in
  0|1|auto) ;;
  *) echo "KQ_WINDOWS must be auto, 0 or 1, not '${KQ_WINDOWS}'" >&2; exit 2 ;;
esac

bash scripts/deps.sh

run() {  # run DIR [cmake options...]
  local dir=$1; shift
  echo "== build $dir $*"
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  ninja -C "$dir" -j "$jobs"
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure
}

mkdir -p build
run build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The README's first command must keep working: run the demo on the same build.
echo "== demo"
bash scripts/demo.sh --messages 120 > build/demo.log 2>&1 || { tail -n 40 build/demo.log; exit 1; }
tail -n 12 build/demo.log
# The same tool against Cyrus, Courier, GNU Mailutils imap4d and Dovecot on
# loopback (scripts/interop.sh). KQ_INTEROP=auto (the default) reports a
# server whose packages cannot be had here as skipped; KQ_INTEROP=1 insists;
# KQ_INTEROP=0 leaves the leg out. A failed check or a server that does not
# start fails this script, at its end: the legs after it still run.
echo "== interop"
interop_status=0
KQ_INTEROP=$KQ_INTEROP bash scripts/interop.sh --kerquill build/tools/kerquill || interop_status=$?
run build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_SANITIZE=thread -DKQ_BUILD_BENCH=OFF \
    "-DKQ_TEST_FILTER=*Export*:*Batch*:*Job*:*Thread*:*SearchScript*"
run build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_SANITIZE=address,undefined -DKQ_BUILD_BENCH=OFF
# The fuzz harnesses over their checked-in corpora (a regression run, not a campaign).
echo "== fuzz corpora"
bash scripts/fuzz_replay.sh
# The Windows leg: cross build with mingw-w64, then the unit and
# integration suites and the C example under Wine (scripts/test_windows.sh).
# KQ_WINDOWS=auto (the default) runs it whenever mingw-w64 and Wine are
# installed or installable here, and installs them like the other packages;
# KQ_WINDOWS=1 insists (the deps script fails where they cannot be had);
# KQ_WINDOWS=0 leaves it out. A failure in it fails this script.
case "$KQ_WINDOWS" in
  0) echo "== Windows leg left out (KQ_WINDOWS=0)" ;;
  1) bash scripts/test_windows.sh ;;
  auto)
    if bash scripts/deps.sh --mingw-check; then
      bash scripts/test_windows.sh
    else
      echo "== Windows leg left out: mingw-w64 and Wine are neither installed nor installable here (KQ_WINDOWS=1 insists)"
    fi
    ;;
esac
if ((interop_status != 0)); then
  echo "== the interop leg failed (status $interop_status; its table is above, after '== interop')" >&2
  exit "$interop_status"
fi
