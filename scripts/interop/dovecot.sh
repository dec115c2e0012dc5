#!/usr/bin/env bash
# Dovecot as scripts/deps.sh installs it (dovecot-imapd), with a
# configuration of its own in DIR: the ACL plugin on (so the test user can
# take a folder's read right from itself), users in a passwd-file, Maildir
# owned by nobody, "/" as the delimiter. Commands: see common.sh.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

find_dovecot() {
    local d
    for d in "$(command -v dovecot 2>/dev/null || true)" /usr/sbin/dovecot; do
        [[ -n $d && -x $d ]] && { printf '%s' "$d"; return 0; }
    done
    return 1
}

cmd_fetch() {
    find_dovecot >/dev/null || cannot_have "dovecot is not installed (scripts/deps.sh installs dovecot-imapd)"
}

cmd_start() {
    local dir=$1 port=$2 user=$3 pass=$4 bin
    need_root
    bin=$(find_dovecot) || die "dovecot is not installed"
    [[ $user =~ ^[A-Za-z0-9._-]+$ ]] || die "user names here are letters, digits, . _ -"
    [[ $pass != *:* && $pass != *$'\n'* ]] || die "a password may not hold ':' or a line break"
    prepare_dir "$dir"
    dir=$(cd "$dir" && pwd)
    mkdir -p "$dir/run" "$dir/state" "$dir/mail/$user"
    printf '%s:{PLAIN}%s\n' "$user" "$pass" >"$dir/passwd"
    chmod 644 "$dir/passwd"
    cat >"$dir/dovecot.conf" <<EOF
# Throwaway loopback server; nothing here is meant for real mail.
instance_name = kerquill-interop-$port
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
protocols = imap
listen = 127.0.0.1
import_environment = TZ=UTC
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_failure_delay = 0
mail_fsync = never
first_valid_uid = 1
first_valid_gid = 1
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:~/Maildir
mail_plugins = acl
protocol imap {
  mail_plugins = \$mail_plugins imap_acl
}
plugin {
  acl = vfile
}
namespace inbox {
  inbox = yes
  separator = /
}
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/passwd
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$dir/mail/%u
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    port = 0
  }
}
service pop3-login {
  inet_listener pop3 {
    port = 0
  }
  inet_listener pop3s {
    port = 0
  }
}
EOF
    chown -R nobody:nogroup "$dir/mail"
    start_session "$dir/server.log" "$bin" -F -c "$dir/dovecot.conf"
    if ! wait_for_greeting "$port" "$SERVER_PID"; then
        stop_session "$SERVER_PID"
        tail -n 20 "$dir/server.log" "$dir/dovecot.log" >&2 2>/dev/null || true
        die "Dovecot did not come up on port $port"
    fi
    printf 'pid=%s\nlogin=%s\n' "$SERVER_PID" "$user"
}

case ${1:-} in
    fetch) cmd_fetch ;;
    start) (($# == 5)) || usage_common; cmd_start "$2" "$3" "$4" "$5" ;;
    stop) (($# == 2)) || usage_common; stop_session "$2" ;;
    *) usage_common ;;
esac
