#!/usr/bin/env bash
# Cyrus IMAP from Debian's cyrus-imapd, unpacked into .deps/interop/cyrus
# (it conflicts with the installed dovecot-imapd) and run from there with
# LD_LIBRARY_PATH. Debian's layout of names: every folder below INBOX, "." as
# the delimiter. Passwords in a sasldb of DIR; the master process drops to
# nobody and forks one imapd per connection. Commands: see common.sh.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PKGS=(cyrus-imapd cyrus-common sasl2-bin)
R=$DEPS_INTEROP/cyrus/root
BIN=$R/usr/lib/cyrus/bin

cmd_fetch() {
    fetch_packages cyrus "${PKGS[@]}" --check /usr/lib/cyrus/bin/master /usr/lib/cyrus/bin/imapd \
        /usr/lib/cyrus/bin/ctl_cyrusdb /usr/sbin/saslpasswd2
}

cmd_start() {
    local dir=$1 port=$2 user=$3 pass=$4
    need_root
    [[ -x $BIN/master ]] || die "Cyrus is not unpacked: run $0 fetch"
    prepare_dir "$dir"
    dir=$(cd "$dir" && pwd)
    mkdir -p "$dir"/{conf,spool,run,sieve}
    cat >"$dir/imapd.conf" <<EOF
# Throwaway loopback server; nothing here is meant for real mail.
configdirectory: $dir/conf
partition-default: $dir/spool
defaultpartition: default
proc_path: $dir/run/proc
mboxname_lockpath: $dir/run/lock
lmtpsocket: $dir/run/lmtp
idlesocket: $dir/run/idle
notifysocket: $dir/run/notify
sievedir: $dir/sieve
cyrus_user: nobody
cyrus_group: nogroup
altnamespace: no
unixhierarchysep: no
# The user's INBOX is made at the first login.
autocreate_quota: 0
allowplaintext: yes
sasl_pwcheck_method: auxprop
sasl_auxprop_plugin: sasldb
sasl_sasldb_path: $dir/sasldb2
sasl_mech_list: PLAIN LOGIN
idlemethod: poll
EOF
    # Commands with full paths: the master looks for them in /usr/lib/cyrus/bin.
    cat >"$dir/cyrus.conf" <<EOF
START {
  recover cmd="$BIN/ctl_cyrusdb -C $dir/imapd.conf -r"
}
SERVICES {
  imap cmd="$BIN/imapd -C $dir/imapd.conf" listen="127.0.0.1:$port" prefork=0
}
EVENTS {
}
EOF
    export LD_LIBRARY_PATH=$R/usr/lib/x86_64-linux-gnu
    printf '%s' "$pass" | "$R/usr/sbin/saslpasswd2" -p -c -f "$dir/sasldb2" "$user" \
        || die "saslpasswd2 could not add $user"
    chown -R nobody:nogroup "$dir"
    start_session "$dir/server.log" "$BIN/master" -C "$dir/imapd.conf" -M "$dir/cyrus.conf" -p "$dir/master.pid"
    if ! wait_for_greeting "$port" "$SERVER_PID"; then
        stop_session "$SERVER_PID"
        tail -n 20 "$dir/server.log" >&2 || true
        die "Cyrus did not come up on port $port (it logs to syslog only)"
    fi
    printf 'pid=%s\nlogin=%s\n' "$SERVER_PID" "$user"
}

case ${1:-} in
    fetch) cmd_fetch ;;
    start) (($# == 5)) || usage_common; cmd_start "$2" "$3" "$4" "$5" ;;
    stop) (($# == 2)) || usage_common; stop_session "$2" ;;
    *) usage_common ;;
esac
