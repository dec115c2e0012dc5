#!/usr/bin/env bash
# Courier-IMAP from Debian's courier-imap and courier-authlib, unpacked into
# .deps/interop/courier (they conflict with the installed dovecot-imapd).
# Courier reads /etc/courier and talks to its authentication daemon through
# /run/courier, paths built into the binaries, so the server runs in private
# mount and PID namespaces: /usr and /etc are overlays of the unpacked tree
# (and DIR/etc) on the machine's own, /run is empty, and nothing of it is
# seen outside. Users in a userdb; mail in DIR/home/USER/Maildir, owned by
# nobody. Courier's layout of names: every folder below "INBOX.", "." as the
# delimiter. gamin is unpacked too: without its gam_server every session
# waits a second or more for the file monitor. Commands: see common.sh.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PKGS=(courier-imap courier-base courier-authlib courier-authdaemon courier-authlib-userdb gamin)
R=$DEPS_INTEROP/courier/root

cmd_fetch() {
    command -v unshare >/dev/null || cannot_have "unshare (util-linux) is missing"
    grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null \
        || cannot_have "the kernel has no overlay file system"
    fetch_packages courier "${PKGS[@]}" --check /usr/bin/imapd /usr/sbin/couriertcpd \
        /usr/lib/courier/courier/imaplogin /usr/lib/courier/courier-authlib/authdaemond
}

cmd_start() {
    local dir=$1 port=$2 user=$3 pass=$4
    need_root
    [[ -x $R/usr/bin/imapd ]] || die "Courier is not unpacked: run $0 fetch"
    [[ $user =~ ^[A-Za-z0-9._-]+$ ]] || die "user names here are letters, digits, . _ -"
    prepare_dir "$dir"
    dir=$(cd "$dir" && pwd)
    mkdir -p "$dir/etc/courier" "$dir/etc-up" "$dir/etc-work" "$dir/home/$user"
    cat >"$dir/etc/courier/authdaemonrc" <<EOF
authmodulelist="authuserdb"
daemons=2
authdaemonvar=/run/courier/authdaemon
DEBUG_LOGIN=0
DEFAULTOPTIONS=""
LOGGEROPTS=""
EOF
    local hash
    hash=$(openssl passwd -6 -stdin <<<"$pass") || die "openssl could not hash the password"
    printf '%s\tuid=65534|gid=65534|home=%s|mail=%s|systempw=%s\n' "$user" "$dir/home/$user" \
        "$dir/home/$user/Maildir" "$hash" >"$dir/etc/courier/userdb"
    chmod 600 "$dir/etc/courier/userdb"
    start_session "$dir/server.log" unshare --mount --propagation private --pid --fork --kill-child \
        bash "$0" inside "$dir" "$port" "$user"
    if ! wait_for_greeting "$port" "$SERVER_PID"; then
        cmd_stop "$SERVER_PID"
        tail -n 20 "$dir/server.log" >&2 || true
        die "Courier did not come up on port $port"
    fi
    printf 'pid=%s\nlogin=%s\n' "$SERVER_PID" "$user"
}

# Runs as PID 1 of the new namespaces.
cmd_inside() {
    local dir=$1 port=$2 user=$3
    mount -t overlay overlay -o "lowerdir=$R/usr:/usr" /usr
    mount -t overlay overlay -o "lowerdir=$dir/etc:$R/etc:/etc,upperdir=$dir/etc-up,workdir=$dir/etc-work" /etc
    mount -t tmpfs tmpfs /run
    mkdir -p /run/courier/authdaemon
    /usr/sbin/makeuserdb
    /usr/bin/maildirmake.courier "$dir/home/$user/Maildir"
    chown -R nobody:nogroup "$dir/home"
    /usr/lib/courier/courier-authlib/authdaemond &
    cd /
    # The variables the packaged start script gives imapd, without its
    # memory limit (a 1.5 MB message is fine, but no need to find out).
    env -i PATH=/usr/bin:/bin /bin/sh -c "set -a; . /etc/courier/imapd; IMAP_ULIMITD=;
        exec /usr/sbin/couriertcpd -address=127.0.0.1 -maxprocs=20 -nodnslookup -noidentlookup \
            $port /usr/lib/courier/courier/imaplogin /usr/bin/imapd Maildir" &
    wait
}

# unshare ignores SIGTERM while it waits; SIGKILL makes it kill its child,
# PID 1 of the namespace, and the kernel then ends every process in it.
# Courier keeps nothing in memory that a kill could lose.
cmd_stop() {
    local pid=$1 i
    [[ $pid =~ ^[0-9]+$ ]] || die "stop wants a PID, not '$pid'"
    kill -KILL "$pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    stop_session "$pid"
}

case ${1:-} in
    fetch) cmd_fetch ;;
    start) (($# == 5)) || usage_common; cmd_start "$2" "$3" "$4" "$5" ;;
    inside) cmd_inside "$2" "$3" "$4" ;;
    stop) (($# == 2)) || usage_common; cmd_stop "$2" ;;
    *) usage_common ;;
esac
