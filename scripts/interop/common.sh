# Shared by the interop server scripts (sourced, not run).
#
# Every server script takes the same commands:
#   SERVER.sh fetch                      make its packages ready under .deps/interop/SERVER
#                                        (exit 3: they cannot be had here, the reason on stderr)
#   SERVER.sh start DIR PORT USER PASS   configure it in DIR (created), start it on
#                                        127.0.0.1:PORT with one user, wait for its greeting
#                                        and print "pid=N" and "login=NAME" (the name to log in
#                                        with), one per line
#   SERVER.sh lock DIR USER FOLDER       (only where the server has no IMAP ACL) make FOLDER,
#                                        already created, unreadable to the user
#   SERVER.sh stop PID                   stop what start started
# Needs root: the servers switch to nobody for the mail, as they would in use.

INTEROP_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$INTEROP_DIR/../.." && pwd)
DEPS_INTEROP=$ROOT/.deps/interop

die() { printf '%s: %s\n' "${0##*/}" "$*" >&2; exit 1; }
cannot_have() { printf '%s: %s\n' "${0##*/}" "$*" >&2; exit 3; }

need_root() { [[ $(id -u) == 0 ]] || die "must run as root (the server switches to nobody for the mail)"; }

# DIR must be reachable by nobody, which the servers become for the mail.
prepare_dir() {
    local dir=$1 up
    mkdir -p "$dir"
    chmod 755 "$dir"
    up=$dir
    while [[ $up != / ]]; do
        up=$(dirname "$up")
        [[ $(stat -c %A "$up") == ?????????[xt] ]] || die "$up is not open to other users (chmod o+x)"
    done
}

# The port opens before the server can serve; its greeting is the sign.
# Gives up after about 30 s or when the process is gone.
wait_for_greeting() {
    local port=$1 pid=$2 i line
    for ((i = 0; i < 300; i++)); do
        kill -0 "$pid" 2>/dev/null || return 1
        # Braces: a failed redirection of exec is reported before any 2> of its own applies.
        if { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
            line=""
            IFS= read -r -t 5 line <&3 || true
            exec 3<&-
            [[ $line == "* OK"* ]] && return 0
        fi
        sleep 0.1
    done
    return 1
}

# Runs CMD... in a session of its own, in the background, and sets SERVER_PID.
# Its own session keeps a Ctrl-C on the caller's terminal away from it, and
# lets stop_session find whatever it forked.
start_session() {
    local log=$1
    shift
    python3 -c 'import os, sys; os.setsid(); os.execvp(sys.argv[1], sys.argv[1:])' "$@" \
        </dev/null >>"$log" 2>&1 &
    SERVER_PID=$!
}

# The processes of session SID, leader excluded (read from /proc: procps
# need not be installed).
session_members() {
    local sid=$1 f line pid
    local -a fields
    for f in /proc/[0-9]*/stat; do
        { IFS= read -r line <"$f"; } 2>/dev/null || continue  # it may have ended meanwhile
        # After the command name in parentheses: state ppid pgrp session ...
        read -r -a fields <<<"${line##*) }"
        pid=${f#/proc/}
        pid=${pid%/stat}
        [[ ${fields[3]} == "$sid" && $pid != "$sid" ]] && printf '%s\n' "$pid"
    done
    return 0
}

# SIGTERM to PID, SIGKILL after 10 s; then anything left in its session (the
# children of a server that did not take them down) is killed, by PID.
stop_session() {
    local pid=$1 i left
    [[ $pid =~ ^[0-9]+$ ]] || die "stop wants a PID, not '$pid'"
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 100; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    fi
    for ((i = 0; i < 50; i++)); do
        left=$(session_members "$pid")
        [[ -z $left ]] && return 0
        # shellcheck disable=SC2086
        kill -KILL $left 2>/dev/null || true
        sleep 0.1
    done
    return 0
}

# fetch_packages NAME PACKAGE... [--check BINARY...]: see fetch_debs.py.
fetch_packages() {
    local name=$1
    shift
    mkdir -p "$DEPS_INTEROP"
    python3 "$INTEROP_DIR/fetch_debs.py" "$DEPS_INTEROP/$name" "$@"
}

usage_common() {
    die "usage: $0 fetch | start DIR PORT USER PASS | lock DIR USER FOLDER | stop PID"
}
