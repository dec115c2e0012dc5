#!/usr/bin/env bash
# GNU Mailutils imap4d from Debian's mailutils-imap4d, unpacked into
# .deps/interop/mailutils and run from there with LD_LIBRARY_PATH, as nobody
# (started by root through setpriv). Its virtual-domain users log in as
# USER@interop.test with a crypt(3) password from DIR/passwd/interop.test.
# Mail in mbox files: the INBOX in DIR/home/USER/INBOX, the folders below
# DIR/home/USER/mail with "/" as the delimiter. imap4d has no IMAP ACL, so
# "lock" takes a folder's file away from nobody instead. Commands: see
# common.sh.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PKGS=(mailutils-imap4d)
R=$DEPS_INTEROP/mailutils/root
DOMAIN=interop.test

cmd_fetch() {
    command -v setpriv >/dev/null || cannot_have "setpriv (util-linux) is missing"
    fetch_packages mailutils "${PKGS[@]}" --check /usr/sbin/imap4d
}

cmd_start() {
    local dir=$1 port=$2 user=$3 pass=$4
    need_root
    [[ -x $R/usr/sbin/imap4d ]] || die "imap4d is not unpacked: run $0 fetch"
    [[ $user =~ ^[A-Za-z0-9._-]+$ ]] || die "user names here are letters, digits, . _ -"
    prepare_dir "$dir"
    dir=$(cd "$dir" && pwd)
    mkdir -p "$dir/passwd" "$dir/home/$user/mail"
    local hash
    hash=$(openssl passwd -6 -stdin <<<"$pass") || die "openssl could not hash the password"
    printf '%s:%s:65534:65534::%s:/bin/false\n' "$user" "$hash" "$dir/home/$user" >"$dir/passwd/$DOMAIN"
    # imap4d does not make a missing INBOX on APPEND.
    touch "$dir/home/$user/INBOX"
    cat >"$dir/imap4d.conf" <<EOF
# Throwaway loopback server; nothing here is meant for real mail.
logging { syslog no; severity notice; };
auth {
  authorization virtdomain;
  authentication generic;
};
virtdomain { passwd-dir "$dir/passwd"; };
mailbox { mailbox-pattern "mbox://$dir/home/\${user}/INBOX"; };
namespace personal {
  prefix "" { directory "$dir/home/\${user}/mail"; delimiter "/"; };
};
# Lock files would go next to the mbox files; fcntl locks need no
# directory rights and no external locker.
locking { type kernel; };
mode daemon;
foreground yes;
pidfile "$dir/imap4d.pid";
max-children 20;
tcp-wrappers { enable no; };
server 127.0.0.1:$port { };
EOF
    chown -R nobody:nogroup "$dir"
    chown root:root "$dir/imap4d.conf" "$dir/passwd"
    start_session "$dir/server.log" env "LD_LIBRARY_PATH=$R/usr/lib/x86_64-linux-gnu" \
        setpriv --reuid=nobody --regid=nogroup --clear-groups \
        "$R/usr/sbin/imap4d" "--config-file=$dir/imap4d.conf"
    if ! wait_for_greeting "$port" "$SERVER_PID"; then
        stop_session "$SERVER_PID"
        tail -n 20 "$dir/server.log" >&2 || true
        die "imap4d did not come up on port $port"
    fi
    printf 'pid=%s\nlogin=%s\n' "$SERVER_PID" "$user@$DOMAIN"
}

# FOLDER as the server names it (modified UTF-7, "/" between levels) is a
# file of that name below mail/; root's and mode 000, nobody cannot open it.
cmd_lock() {
    local dir=$1 user=$2 folder=$3 path
    [[ $folder != *..* && $folder != /* ]] || die "odd folder name '$folder'"
    path=$dir/home/$user/mail/$folder
    [[ -f $path ]] || die "no mailbox file $path"
    chown root:root "$path"
    chmod 000 "$path"
}

case ${1:-} in
    fetch) cmd_fetch ;;
    start) (($# == 5)) || usage_common; cmd_start "$2" "$3" "$4" "$5" ;;
    lock) (($# == 4)) || usage_common; cmd_lock "$2" "$3" "$4" ;;
    stop) (($# == 2)) || usage_common; stop_session "$2" ;;
    *) usage_common ;;
esac
