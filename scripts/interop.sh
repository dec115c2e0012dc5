#!/usr/bin/env bash
# The interop leg: the kerquill command-line tool against real IMAP servers
# from Debian's packages, each started here on 127.0.0.1 on a free port,
# loaded with the same corpus (scripts/interop/corpus.py) and checked against
# what the server itself says through imaplib (scripts/interop/check.py).
#
#   bash scripts/interop.sh [--kerquill PATH] [SERVER...]
#
# SERVER: dovecot, cyrus, courier, mailutils (default: all, in that order).
# The tool is PATH, else $KQ_KERQUILL, else build/tools/kerquill.
# KQ_INTEROP=auto (default): a server whose packages cannot be had here is
#   reported "skipped: <why>"; KQ_INTEROP=1: that is a failure too;
#   KQ_INTEROP=0: the leg is left out.
# KQ_INTEROP_KEEP=1 keeps the work directory (servers' data, archives, wire
# traces) also when every check passed; after a failure it is always kept.
# Needs root: the servers switch to nobody for the mail. Cyrus, Courier and
# imap4d are unpacked into .deps/interop/ on the first run (apt-get download;
# see scripts/interop/fetch_debs.py), Dovecot is the installed one.
# Prints a table of server, result and seconds (with what the seconds went
# to); exits 1 when any server failed a check or could not be started.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
HERE=$ROOT/scripts/interop
ALL=(dovecot cyrus courier mailutils)
USER_NAME=kqinterop
export KQ_INTEROP_PASSWORD="pa ss-Interop1"  # a blank on purpose

mode=${KQ_INTEROP:-auto}
case $mode in
    0|1|auto) ;;
    *) echo "KQ_INTEROP must be auto, 0 or 1, not '$mode'" >&2; exit 2 ;;
esac
kerquill=${KQ_KERQUILL:-$ROOT/build/tools/kerquill}
servers=()
while (($#)); do
    case $1 in
        --kerquill) kerquill=${2:?--kerquill wants a path}; shift 2 ;;
        -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) [[ " ${ALL[*]} " == *" $1 "* ]] || { echo "unknown server '$1' (${ALL[*]})" >&2; exit 2; }
           servers+=("$1"); shift ;;
    esac
done
((${#servers[@]})) || servers=("${ALL[@]}")

if [[ $mode == 0 ]]; then
    echo "== interop leg left out (KQ_INTEROP=0)"
    exit 0
fi
[[ -x $kerquill ]] || { echo "interop: no kerquill at $kerquill (build it, or --kerquill PATH)" >&2; exit 1; }
kerquill=$(cd "$(dirname "$kerquill")" && pwd)/$(basename "$kerquill")

work=$(mktemp -d /tmp/kq-interop.XXXXXX)
chmod 755 "$work"
running_script="" running_pid=""
stop_running() {
    if [[ -n $running_pid ]]; then
        bash "$HERE/$running_script.sh" stop "$running_pid" || true
        running_pid=""
    fi
}
trap 'stop_running' EXIT
trap 'stop_running; exit 130' INT TERM HUP

free_port() {
    python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# Seconds with one decimal, from bash's clock (no process per reading).
now() { local t=${EPOCHREALTIME/./}; printf '%s' "${t:0:-5}"; }   # tenths of a second
since() { local d=$(($(now) - $1)); printf '%d.%d' $((d / 10)) $((d % 10)); }

declare -A result seconds detail
failed=0

# Runs one server's part; sets result, seconds and detail for it.
run_server() {
    local s=$1 dir=$work/$1 t err rc out pid login port parts=""
    mkdir -p "$dir"

    if [[ $(id -u) != 0 ]]; then
        err="needs root (the server switches to nobody for the mail)"
        if [[ $mode == auto ]]; then result[$s]="skipped: $err"; else result[$s]="FAILED: $err"; failed=1; fi
        return
    fi

    t=$(now)
    bash "$HERE/$s.sh" fetch >"$dir/fetch.log" 2>&1
    rc=$?
    parts+="fetch $(since "$t")"
    if ((rc != 0)); then
        err=$(grep -v '^fetch_debs: downloading' "$dir/fetch.log" | tail -n 1)
        err=${err#*: }
        if ((rc == 3)) && [[ $mode == auto ]]; then
            result[$s]="skipped: ${err:-packages cannot be had here}"
        else
            result[$s]="FAILED: packages: ${err:-see $dir/fetch.log}"
            failed=1
        fi
        detail[$s]=$parts
        return
    fi

    t=$(now)
    port=$(free_port)
    out=$(bash "$HERE/$s.sh" start "$dir/server" "$port" "$USER_NAME" "$KQ_INTEROP_PASSWORD" 2>"$dir/start.log")
    rc=$?
    pid=$(sed -n 's/^pid=//p' <<<"$out")
    login=$(sed -n 's/^login=//p' <<<"$out")
    parts+=", start $(since "$t")"
    if ((rc != 0)) || [[ -z $pid || -z $login ]]; then
        [[ -n $pid ]] && bash "$HERE/$s.sh" stop "$pid"
        result[$s]="FAILED: could not start: $(tail -n 1 "$dir/start.log")"
        echo "interop: $s did not start; its last words:" >&2
        tail -n 15 "$dir/start.log" >&2
        failed=1
        detail[$s]=$parts
        return
    fi
    running_script=$s running_pid=$pid
    echo "-- $s: up on 127.0.0.1:$port (pid $pid, login $login)"

    t=$(now)
    if ! python3 "$HERE/corpus.py" --port "$port" --login "$login" --password-env KQ_INTEROP_PASSWORD \
            --out "$dir/corpus.json" --lock-command "bash $HERE/$s.sh lock $dir/server $USER_NAME"; then
        result[$s]="FAILED: the corpus could not be loaded"
        failed=1
    fi
    parts+=", corpus $(since "$t")"

    if [[ -z ${result[$s]:-} ]]; then
        t=$(now)
        python3 "$HERE/check.py" --server "$s" --port "$port" --login "$login" \
            --password-env KQ_INTEROP_PASSWORD --kerquill "$kerquill" --corpus "$dir/corpus.json" \
            --work "$dir/checks" | tee "$dir/checks.log"
        rc=${PIPESTATUS[0]}
        parts+=", checks $(since "$t")"
        if ((rc == 0)); then
            result[$s]="passed"
        else
            result[$s]="FAILED: $(grep -c '^[a-z]*: \[' "$dir/checks.log") check failure(s)"
            failed=1
        fi
    fi

    t=$(now)
    stop_running
    parts+=", stop $(since "$t")"
    detail[$s]=$parts
}

leg0=$(now)
for s in "${servers[@]}"; do
    echo "== interop: $s"
    t0=$(now)
    run_server "$s"
    seconds[$s]=$(since "$t0")
done

echo
echo "== interop results (kerquill: $kerquill)"
printf '%-10s %7s  %s\n' SERVER SECONDS RESULT
for s in "${servers[@]}"; do
    printf '%-10s %7s  %s%s\n' "$s" "${seconds[$s]}" "${result[$s]}" "${detail[$s]:+  (${detail[$s]})}"
done
echo "interop leg: $(since "$leg0") s"
if ((failed)) || [[ ${KQ_INTEROP_KEEP:-0} == 1 ]]; then
    echo "work directory kept: $work (servers' data, archives, wire traces under */checks/logs)"
else
    rm -rf "$work"
fi
exit "$failed"
