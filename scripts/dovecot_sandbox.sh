#!/usr/bin/env bash
# A throwaway Dovecot on loopback for the demo and the command-line tests.
#
#   dovecot_sandbox.sh start DIR            configure and start; prints the
#                                           settings as shell assignments and
#                                           writes them to DIR/server.env
#   dovecot_sandbox.sh add-user DIR USER PASS
#   dovecot_sandbox.sh maildir DIR USER     prints the user's Maildir path
#   dovecot_sandbox.sh fix-owner DIR        gives the mail to nobody:nogroup
#                                           (after writing Maildir files)
#   dovecot_sandbox.sh stop DIR             stops the server started in DIR
#
# The server listens on 127.0.0.1 only, on two free high ports (plain IMAP and
# IMAP over TLS from the first byte; LOGIN, PLAIN and XOAUTH2 with the password
# as token), with a self-signed certificate made by
# openssl for 127.0.0.1/localhost (DIR/ca.pem is the file to trust). Users live
# in a passwd-file; mail is stored as nobody:nogroup under DIR/mail. Needs root
# (Dovecot drops to nobody for the mail processes).
set -euo pipefail

die() { printf 'dovecot_sandbox: %s\n' "$*" >&2; exit 1; }

# Port 0 lets the kernel pick a free port; we close it again and hand the
# number to Dovecot (a tiny race nobody on a test machine loses).
free_port() {
    python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

find_dovecot() {
    local d
    for d in "$(command -v dovecot 2>/dev/null || true)" /usr/sbin/dovecot /usr/local/sbin/dovecot; do
        [[ -n $d && -x $d ]] && { printf '%s' "$d"; return; }
    done
    die "dovecot not found (install dovecot-imapd, e.g. with scripts/deps.sh)"
}

write_config() {
    local dir=$1 plain=$2 tls=$3
    cat >"$dir/dovecot.conf" <<EOF
# Throwaway loopback server; nothing here is meant for real mail.
instance_name = kerquill-sandbox
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
protocols = imap
listen = 127.0.0.1
# One zone for the received dates, whatever the machine's.
import_environment = TZ=UTC
ssl = yes
ssl_cert = <$dir/ca.pem
ssl_key = <$dir/key.pem
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
# With a passwd-file, XOAUTH2 takes the user's password as the bearer token.
auth_mechanisms = plain login xoauth2 oauthbearer
# A wrong password is answered at once instead of after seconds.
auth_failure_delay = 0
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
mail_fsync = never
first_valid_uid = 1
first_valid_gid = 1
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:~/Maildir
namespace inbox {
  inbox = yes
  separator = /
}
# COMPRESS=DEFLATE on offer.
mail_plugins = \$mail_plugins zlib
protocol imap {
  mail_plugins = \$mail_plugins imap_zlib
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
    port = $plain
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = $tls
    ssl = yes
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
}

make_cert() {
    local dir=$1
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
        -keyout "$dir/key.pem" -out "$dir/ca.pem" -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -addext "basicConstraints=critical,CA:TRUE" >/dev/null 2>&1 \
        || die "openssl could not make the certificate"
    chmod 600 "$dir/key.pem"
}

# The port opens before the server can serve; its greeting is the sign.
wait_for_greeting() {
    local port=$1 pid=$2 i
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || return 1
        if python3 -c 'import socket, sys
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
    sys.exit(0 if s.recv(64).startswith(b"* OK") else 1)
except OSError:
    sys.exit(1)' "$port"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

cmd_start() {
    local dir=${1:?usage: start DIR}
    [[ $(id -u) == 0 ]] || die "must run as root (Dovecot switches to nobody for mail)"
    local bin
    bin=$(find_dovecot)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    [[ -f $dir/dovecot.pid ]] && kill -0 "$(cat "$dir/dovecot.pid")" 2>/dev/null \
        && die "a server already runs for $dir"
    # Dovecot's users (dovecot for the passwd file, nobody for the mail) must
    # be able to walk down to DIR.
    chmod 755 "$dir"
    local up=$dir
    while [[ $up != / ]]; do
        up=$(dirname "$up")
        [[ $(stat -c %A "$up") == ?????????[xt] ]] \
            || die "$up is not open to other users (chmod o+x), so Dovecot cannot reach $dir"
    done
    mkdir -p "$dir/run" "$dir/state" "$dir/mail"
    chown nobody:nogroup "$dir/mail"
    touch "$dir/passwd"
    chmod 644 "$dir/passwd"
    make_cert "$dir"
    local plain tls
    plain=$(free_port)
    tls=$(free_port)
    while [[ $tls == "$plain" ]]; do tls=$(free_port); done
    write_config "$dir" "$plain" "$tls"

    # A session of its own keeps a Ctrl-C on the caller's terminal away from
    # the server, so a cancelled export can still finish its current message.
    python3 -c 'import os, sys; os.setsid(); os.execv(sys.argv[1], sys.argv[1:])' \
        "$bin" -F -c "$dir/dovecot.conf" </dev/null >>"$dir/dovecot.out" 2>&1 &
    local pid=$!
    echo "$pid" >"$dir/dovecot.pid"
    if ! wait_for_greeting "$plain" "$pid"; then
        kill "$pid" 2>/dev/null || true
        tail -n 20 "$dir/dovecot.out" "$dir/dovecot.log" >&2 2>/dev/null || true
        die "Dovecot did not come up"
    fi
    {
        printf 'KQ_SANDBOX_DIR=%q\n' "$dir"
        printf 'KQ_SANDBOX_PID=%s\n' "$pid"
        printf 'KQ_SANDBOX_HOST=127.0.0.1\n'
        printf 'KQ_SANDBOX_PORT=%s\n' "$plain"
        printf 'KQ_SANDBOX_TLS_PORT=%s\n' "$tls"
        printf 'KQ_SANDBOX_CA=%q\n' "$dir/ca.pem"
    } | tee "$dir/server.env"
}

cmd_add_user() {
    local dir=${1:?usage: add-user DIR USER PASS} user=${2:?user} pass=${3:?password}
    [[ $user =~ ^[A-Za-z0-9._-]+$ ]] || die "user names here are letters, digits, . _ -"
    [[ $pass != *:* && $pass != *$'\n'* ]] || die "a password may not hold ':' or a line break"
    grep -q "^$user:" "$dir/passwd" 2>/dev/null && die "user $user exists"
    printf '%s:{PLAIN}%s\n' "$user" "$pass" >>"$dir/passwd"
    mkdir -p "$dir/mail/$user/Maildir"/{cur,new,tmp}
    chown -R nobody:nogroup "$dir/mail/$user"
}

cmd_maildir() {
    local dir=${1:?usage: maildir DIR USER} user=${2:?user}
    printf '%s\n' "$dir/mail/$user/Maildir"
}

cmd_fix_owner() {
    local dir=${1:?usage: fix-owner DIR}
    chown -R nobody:nogroup "$dir/mail"
}

cmd_stop() {
    local dir=${1:?usage: stop DIR}
    local pidfile=$dir/dovecot.pid pid i
    [[ -f $pidfile ]] || return 0
    pid=$(cat "$pidfile")
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for ((i = 0; i < 100; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
}

case ${1:-} in
    start) shift; cmd_start "$@" ;;
    add-user) shift; cmd_add_user "$@" ;;
    maildir) shift; cmd_maildir "$@" ;;
    fix-owner) shift; cmd_fix_owner "$@" ;;
    stop) shift; cmd_stop "$@" ;;
    *) die "usage: $0 start|add-user|maildir|fix-owner|stop DIR [...]" ;;
esac
