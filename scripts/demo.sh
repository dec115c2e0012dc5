#!/usr/bin/env bash
# kerquill in one command: installs what is missing, builds the library and
# the kerquill tool, starts a throwaway Dovecot on 127.0.0.1 with a generated
# sample mailbox, and runs the tool against it: list the folders, search,
# show a message, export every folder with live progress, verify and
# summarise the archive. The server is stopped when the script ends, however
# it ends; the archive stays in build/demo-archive.
#
#   bash scripts/demo.sh [--messages N]     (as root; default 300 messages)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MESSAGES=300
while (($#)); do
    case $1 in
        --messages) MESSAGES=${2:?--messages wants a number}; shift 2 ;;
        -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ $MESSAGES =~ ^[0-9]+$ && $MESSAGES -ge 10 ]] || { echo "demo: --messages wants 10 or more" >&2; exit 2; }

if [[ -t 1 ]]; then B=$'\e[1m'; D=$'\e[2m'; N=$'\e[0m'; else B= D= N=; fi
step() { printf '\n%s==> %s%s\n' "$B" "$*" "$N"; }
show() { printf '%s$ %s%s\n' "$D" "$*" "$N"; "$@"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

[[ $(id -u) == 0 ]] || die "run as root: it installs packages and runs Dovecot (which switches to nobody)"

step "Installing what is missing (Debian packages, Mbed TLS 3.6, yyjson 0.12)"
bash "$ROOT/scripts/deps.sh"

step "Building libkerquill and the kerquill tool (build/)"
mkdir -p "$ROOT/build"
LOG=$ROOT/build/demo-build.log
cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$LOG" 2>&1 \
    || { tail -n 30 "$LOG"; die "cmake failed"; }
ninja -C "$ROOT/build" kerquill_cli >>"$LOG" 2>&1 || { tail -n 30 "$LOG"; die "build failed"; }
tail -n 1 "$LOG"
KQ="$ROOT/build/tools/kerquill"
kerquill() { "$KQ" "$@"; }

WORK=$(mktemp -d /tmp/kerquill-demo.XXXXXX)
chmod 755 "$WORK"  # Dovecot's own users must reach the server directory
ARCHIVE=$ROOT/build/demo-archive
cleanup() {
    local rc=$?
    if ((rc != 0)) && [[ -f $WORK/server/dovecot.log ]]; then
        printf '\n--- last lines of the server log ---\n' >&2
        tail -n 15 "$WORK/server/dovecot.log" >&2
    fi
    bash "$ROOT/scripts/dovecot_sandbox.sh" stop "$WORK/server" || true
    rm -rf "$WORK"
    if ((rc != 0)); then printf '\ndemo: stopped (status %d); the server is shut down.\n' "$rc" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "Starting a throwaway Dovecot on 127.0.0.1 (plain IMAP and IMAP over TLS)"
eval "$(bash "$ROOT/scripts/dovecot_sandbox.sh" start "$WORK/server")"
PASSWORD=$(python3 -c 'import secrets; print(secrets.token_urlsafe(12))')
bash "$ROOT/scripts/dovecot_sandbox.sh" add-user "$WORK/server" demo "$PASSWORD"
echo "server pid $KQ_SANDBOX_PID, IMAP port $KQ_SANDBOX_PORT, IMAPS port $KQ_SANDBOX_TLS_PORT"

step "Writing a sample mailbox of $MESSAGES messages"
python3 "$ROOT/scripts/make_sample_mailbox.py" "$(bash "$ROOT/scripts/dovecot_sandbox.sh" maildir "$WORK/server" demo)" \
    --messages "$MESSAGES"
bash "$ROOT/scripts/dovecot_sandbox.sh" fix-owner "$WORK/server"

# The tool takes its connection from these (or from --host/--port/--user/
# --ca-file); the password never goes on a command line.
export KQ_HOST=127.0.0.1 KQ_PORT=$KQ_SANDBOX_TLS_PORT KQ_USER=demo KQ_CA_FILE=$KQ_SANDBOX_CA
export KQ_PASSWORD=$PASSWORD
echo "KQ_HOST=$KQ_HOST KQ_PORT=$KQ_PORT KQ_USER=$KQ_USER KQ_CA_FILE=$KQ_CA_FILE KQ_PASSWORD=(set)"

step "Which folders are there?"
show kerquill folders

step "How big is INBOX, and how much of it has attachments?"
show kerquill probe INBOX

step "Searching INBOX for invoices"
show kerquill search INBOX --subject invoice

step "Reading one message that has attachments"
# Big messages flagged as having attachments (a subject that merely mentions
# "attachment" flags a small one too).
UID_WITH_ATT=$("$KQ" search INBOX --has-attachments 1 --min-bytes 20000 --json | python3 -c 'import json, sys
rows = json.load(sys.stdin); print(rows[0]["uid"] if rows else "")')
if [[ -n $UID_WITH_ATT ]]; then
    show kerquill show INBOX --uid "$UID_WITH_ATT" | sed -n 1,30p
fi

step "Archiving every folder into $ARCHIVE"
rm -rf "$ARCHIVE"
show kerquill export-all "$ARCHIVE"

step "Checking every archived file against its SHA-256 digest"
show kerquill verify "$ARCHIVE"

step "What the archive holds"
show kerquill stats "$ARCHIVE"

step "Done"
FIRST=$(cd "$ARCHIVE" && find . -name 'uid-*.eml' | sort | head -n 1)
cat <<EOF
The archive is in $ARCHIVE:
  one directory per folder (Projects/2024 -> Projects_2024), messages as
  YYYY-MM/uid-N.eml, each folder with a manifest.jsonl of SHA-256 digests.

Look at it:
  ls $ARCHIVE
  less $ARCHIVE/${FIRST#./}
  head -n 3 $ARCHIVE/INBOX/manifest.jsonl
  $KQ verify $ARCHIVE
  $KQ stats $ARCHIVE

Against your own server (the password is asked for, or taken from KQ_PASSWORD):
  $KQ folders --host imap.example.org --user you@example.org
  $KQ export-all ~/mail-archive --host imap.example.org --user you@example.org

The demo server is stopped now; run the demo again for a fresh one.
EOF
