#!/usr/bin/env bash
# The Windows leg of the test suite: cross-builds kerquill.dll, kerquill.exe
# and the tests with mingw-w64, runs them under Wine (headless), and runs the
# C example under Wine against a throwaway Dovecot on 127.0.0.1.
#   bash scripts/test_windows.sh        (scripts/test.sh calls it)
# Needs root on a fresh machine: the deps script installs mingw-w64 and Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
BUILD=$ROOT/build-win

bash scripts/deps.sh --mingw
PREFIX=$ROOT/.deps/mingw/prefix
deps_at=$SECONDS

# One prefix of our own, no desktop, no Mono/Gecko installers; the server is
# started once and kept, which turns every later start into well under a
# second. It is stopped (for this prefix only) when the script ends.
# No debugger either: with winedbg a crashed test program can end with
# status 0, and ctest would count it as passed.
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" DISPLAY=
mkdir -p "$BUILD"
sandbox=""
agent_pid=""
cleanup() {
    [[ -n $agent_pid ]] && { kill "$agent_pid" 2>/dev/null; wait "$agent_pid" 2>/dev/null; } || true
    [[ -n $sandbox ]] && bash scripts/dovecot_sandbox.sh stop "$sandbox" >/dev/null 2>&1 || true
    [[ -n $sandbox ]] && rm -rf "$sandbox"
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "== wine prefix"
    # Without the 32-bit half of Wine wineboot reports a missing syswow64
    # helper and exits non-zero; the 64-bit prefix is made all the same.
    wineboot -i >"$BUILD/wineboot.log" 2>&1 || true
    # The registry files are written when the server exits, not when
    # wineboot returns.
    wineserver -w
    [[ -f $WINEPREFIX/system.reg ]] || { cat "$BUILD/wineboot.log"; echo "wine prefix not made"; exit 1; }
fi
wineserver -p 2>/dev/null || true  # already running for this prefix is fine
# The first program of a session also starts Wine's own services; they must
# not inherit ctest's output pipes, or ctest waits for them forever.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true

wine_at=$SECONDS

echo "== build build-win (mingw-w64)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw/toolchain.cmake \
    -DKQ_DEPS_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_BENCH=OFF \
    >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
ninja -C "$BUILD" -j "$jobs"
built_at=$SECONDS
# The test programs cannot start the Linux Dovecot themselves: this helper
# does it for them over loopback (tests/support/host_agent.py).
rm -f "$BUILD/host_agent.port"
python3 tests/support/host_agent.py --port-file "$BUILD/host_agent.port" >"$BUILD/host_agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do [[ -s $BUILD/host_agent.port ]] && break; sleep 0.1; done
[[ -s $BUILD/host_agent.port ]] || { cat "$BUILD/host_agent.log"; echo "host agent did not start"; exit 1; }
export KQ_TEST_HOST_AGENT=$(cat "$BUILD/host_agent.port")
echo "== test build-win (under Wine)"
ctest --test-dir "$BUILD" --output-on-failure
tested_at=$SECONDS
# ctest shows a passing program's output only in its log: list what Wine
# could not do (each skip's reason, how often) and what ran smaller there.
echo "== skipped or reduced under Wine (reason, times)"
# (Windows programs end their lines with CR LF.)
awk '{ sub(/\r$/, "") } /: Skipped$/ { getline why; sub(/\r$/, "", why); print "  " why }
     /\[   NOTE   \]/ { sub(/.*\[   NOTE   \] /, ""); print "  " $0 }' \
    "$BUILD/Testing/Temporary/LastTest.log" | sort | uniq -c | sort -rn

# The C example, built against the installed package like any host, talks to
# a Linux Dovecot over loopback: TLS verified with the server's CA file, then
# plain TCP.
echo "== C example under Wine"
stage=$BUILD/stage
cmake --install "$BUILD" --prefix "$stage" >/dev/null
cmake -S examples -B "$BUILD/hello" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw/toolchain.cmake" \
    -DCMAKE_PREFIX_PATH="$stage" >"$BUILD/hello.configure.log" 2>&1 || { cat "$BUILD/hello.configure.log"; exit 1; }
ninja -C "$BUILD/hello" >/dev/null
cp "$stage/bin/kerquill.dll" "$BUILD/hello/"

sandbox=$(mktemp -d /tmp/kqwin.XXXXXX)
eval "$(bash scripts/dovecot_sandbox.sh start "$sandbox")"
bash scripts/dovecot_sandbox.sh add-user "$sandbox" winhost 'pw-under-wine'
maildir=$(bash scripts/dovecot_sandbox.sh maildir "$sandbox" winhost)
printf 'From: Ann <ann@example.org>\r\nTo: winhost@example.org\r\nSubject: hello from Wine\r\nDate: Tue, 01 Dec 2026 10:00:00 +0000\r\nMessage-ID: <w1@example.org>\r\n\r\nbody\r\n' \
    >"$maildir/new/1764583200.w1.kq"
bash scripts/dovecot_sandbox.sh fix-owner "$sandbox"

hello() {  # hello WHAT KEY=VALUE...: runs hello.exe, which must print the test mail's subject
    local what=$1 out
    shift
    if ! out=$(cd "$BUILD/hello" && env KQ_HOST=127.0.0.1 KQ_USER=winhost KQ_PASSWORD=pw-under-wine "$@" \
               wine ./hello.exe 2>&1); then
        printf 'C example (%s) failed under Wine:\n%s\n' "$what" "$out"
        exit 1
    fi
    grep -q "hello from Wine" <<<"$out" || { printf 'C example (%s): subject missing:\n%s\n' "$what" "$out"; exit 1; }
    echo "C example under Wine ($what): ok"
}
hello "TLS, CA file" KQ_PORT="$KQ_SANDBOX_TLS_PORT" KQ_CA_FILE="$KQ_SANDBOX_CA"
hello "plain TCP" KQ_PORT="$KQ_SANDBOX_PORT" KQ_PLAIN=1
mmss() { printf '%d min %d s' $(($1 / 60)) $(($1 % 60)); }
echo "== Windows leg: $(mmss $SECONDS): deps $(mmss $deps_at), Wine prefix $(mmss $((wine_at - deps_at))), cross build $(mmss $((built_at - wine_at))), tests under Wine $(mmss $((tested_at - built_at))) (each suite's time above), C example $(mmss $((SECONDS - tested_at)))"
