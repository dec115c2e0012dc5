#!/usr/bin/env python3
"""End-to-end tests of `kerquill copy`: one throwaway Dovecot on loopback with
two users, the source (filled here over IMAP with chosen flags and received
dates) and the target (empty at the start of every test).

    run_copy_tests.py --source-dir SRC --build-dir BUILD [-k PATTERN]

Needs root (Dovecot switches to nobody for the mail) and the dovecot binary.
Prints one line per test and closes with "cli_copy: N passed, N failed".
"""
import hashlib
import imaplib
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_runner  # noqa: E402

SOURCE_USER, SOURCE_PASSWORD = "alice", "from wörd"
TARGET_USER, TARGET_PASSWORD = "bob", "to \"wörd\""
RUN_LIMIT_S = cli_runner.RUN_LIMIT_S

# The source's folders: name on the server (modified UTF-7), messages.
NESTED, NON_ASCII = "Projects/2024", "Entw&APw-rfe"  # "Entwürfe"
FOLDERS = {"INBOX": 9, NESTED: 7, NON_ASCII: 5, "Other": 3, "Bulk": 80}
# Flags the messages cycle through; $Work is a keyword of the user's own.
FLAG_SETS = [(), ("\\Seen",), ("\\Seen", "\\Flagged"), ("\\Answered", "\\Seen"), ("$Work",), ("\\Draft",)]

SUITE = cli_runner.Suite("cli_copy")
test = SUITE.test


class Env(cli_runner.ToolRunner):
    def __init__(self, source, build, work):
        self.source, self.build, self.work = source, build, work
        self.tool = os.path.join(build, "tools", "kerquill")
        self.sandbox = os.path.join(work, "server")
        self.server = {}

    def sandbox_script(self, *argv):
        return subprocess.run(["bash", os.path.join(self.source, "scripts", "dovecot_sandbox.sh"), *argv],
                              check=True, capture_output=True, text=True).stdout

    def start_server(self):
        out = self.sandbox_script("start", self.sandbox)
        self.server = dict(line.split("=", 1) for line in out.split())
        for user, password in ((SOURCE_USER, SOURCE_PASSWORD), (TARGET_USER, TARGET_PASSWORD)):
            self.sandbox_script("add-user", self.sandbox, user, password)
        fill_source(self)

    def stop_server(self):
        subprocess.run(["bash", os.path.join(self.source, "scripts", "dovecot_sandbox.sh"), "stop", self.sandbox])

    @property
    def port(self):
        return int(self.server["KQ_SANDBOX_PORT"])

    def conn(self, target_port=None):
        """Both sides' connection options, the passwords from the environment."""
        return ["--host", "127.0.0.1", "--port", str(self.port), "--plain", "--user", SOURCE_USER,
                "--to-host", "127.0.0.1", "--to-port", str(target_port or self.port), "--to-plain",
                "--to-user", TARGET_USER]

    def env(self, **extra):
        e = dict(os.environ)
        for k in ("KQ_HOST", "KQ_USER", "KQ_DEBUG", "KQ_TO_HOST", "KQ_TO_USER", "KQ_PORT", "KQ_TO_PORT"):
            e.pop(k, None)
        e["KQ_PASSWORD"] = SOURCE_PASSWORD
        e["KQ_TO_PASSWORD"] = TARGET_PASSWORD
        # No configuration file of the machine's user may change a test.
        e["XDG_CONFIG_HOME"] = os.path.join(self.work, "no-config")
        e["XDG_CONFIG_DIRS"] = os.path.join(self.work, "no-config")
        e.update(extra)
        return e


check, expect = cli_runner.check, cli_runner.expect


def login(env, user, password):
    m = imaplib.IMAP4("127.0.0.1", env.port)
    # AUTHENTICATE PLAIN: the passwords are not ASCII, which LOGIN cannot send.
    m.authenticate("PLAIN", lambda _: b"\0" + user.encode() + b"\0" + password.encode())
    return m


def quoted(folder):
    return '"%s"' % folder


def message(folder, i):
    # Long enough that a throttled upload of Bulk takes a while.
    body = "".join("line %d of message %d in %s\r\n" % (k, i, folder) for k in range(12 if folder != "Bulk" else 150))
    return ("From: Alice <alice@example.org>\r\nTo: Bob <bob@example.net>\r\n"
            "Subject: %s %d\r\nMessage-ID: <%s.%d@copy.test>\r\nDate: Mon, 1 Mar 2021 10:00:00 +0000\r\n"
            "\r\n%s" % (folder, i, folder.replace("/", "-"), i, body)).encode()


def fill_source(env):
    m = login(env, SOURCE_USER, SOURCE_PASSWORD)
    try:
        for folder, count in FOLDERS.items():
            if folder != "INBOX":
                m.create(quoted(folder))
            for i in range(count):
                flags = FLAG_SETS[i % len(FLAG_SETS)]
                # Received dates a day and a minute apart, none of them today.
                when = "%02d-Mar-2021 %02d:%02d:07 +0000" % (1 + i % 28, 8 + i // 28, i % 60)
                typ, _ = m.append(quoted(folder), "(%s)" % " ".join(flags), '"%s"' % when, message(folder, i))
                check(typ == "OK", "APPEND to %s" % folder)
    finally:
        m.logout()


def snapshot(env, user, password, folder):
    """The folder's messages as (Message-ID, flags, received date, SHA-256),
    sorted; None when the folder does not exist."""
    m = login(env, user, password)
    try:
        typ, _ = m.select(quoted(folder), readonly=True)
        if typ != "OK":
            return None
        typ, data = m.uid("FETCH", "1:*", "(FLAGS INTERNALDATE BODY.PEEK[])")
        out = []
        for item in data:
            if not isinstance(item, tuple):
                continue
            head, body = item
            flags = re.search(rb"FLAGS \(([^)]*)\)", head).group(1).decode().split()
            date = re.search(rb'INTERNALDATE "([^"]+)"', head).group(1).decode()
            mid = re.search(rb"Message-ID: (<[^>]+>)", body).group(1).decode()
            out.append((mid, tuple(sorted(f for f in flags if f != "\\Recent")),
                        imaplib.Internaldate2tuple(b'INTERNALDATE "%s"' % date.encode()),
                        hashlib.sha256(body).hexdigest()))
        return sorted(out)
    finally:
        m.logout()


def listed_names(m):
    """The folder names of a LIST reply, as the server spells them."""
    _, data = m.list()
    # (\HasNoChildren) "/" INBOX, or a quoted name when it holds a blank.
    return sorted(re.search(rb'(?:"((?:[^"\\]|\\.)*)"|(\S+))$', l).group(1 if l.endswith(b'"') else 2).decode()
                  for l in data if l)


def target_folders(env):
    m = login(env, TARGET_USER, TARGET_PASSWORD)
    try:
        return listed_names(m)
    finally:
        m.logout()


def empty_target(env):
    """Deletes every folder of the target and empties its INBOX."""
    m = login(env, TARGET_USER, TARGET_PASSWORD)
    try:
        # Children before their parents.
        for name in sorted(listed_names(m), key=len, reverse=True):
            if name != "INBOX":
                m.delete(quoted(name))
        _, data = m.select("INBOX")
        if int(data[0]) > 0:
            m.store("1:*", "+FLAGS.SILENT", "(\\Deleted)")
            m.expunge()
    finally:
        m.logout()


def check_copied(env, folder, prefix=""):
    want = snapshot(env, SOURCE_USER, SOURCE_PASSWORD, folder)
    got = snapshot(env, TARGET_USER, TARGET_PASSWORD, prefix + folder)
    check(got is not None, "%s exists on the target: %r" % (prefix + folder, target_folders(env)))
    ids = [g[0] for g in got]
    check(len(ids) == len(set(ids)), "%s: no message twice: %r" % (folder, ids))
    check(got == want, "%s: every message once with its flags and date\nsource: %r\ntarget: %r" % (folder, want, got))


def events(out):
    return [json.loads(l) for l in out.splitlines() if l.startswith("{")]


def target_count(env, folder):
    m = login(env, TARGET_USER, TARGET_PASSWORD)
    try:
        typ, data = m.status(quoted(folder), "(MESSAGES)")
        return int(re.search(rb"MESSAGES (\d+)", data[0]).group(1)) if typ == "OK" else 0
    finally:
        m.logout()


# --------------------------------------------------------------------- tests


@test
def three_folders_arrive_once_and_a_second_run_adds_nothing(env):
    chosen = ["INBOX", NESTED, "Entwürfe"]
    work = env.tmp("copy-three")
    try:
        argv = ["copy", work, *sum((["--folder", f] for f in chosen), []), *env.conn()]
        out, err = expect(env.run(*argv), 0, "copy")
        for folder in ("INBOX", NESTED, NON_ASCII):
            check_copied(env, folder)
        # --folder chose: nothing else went over.
        check(not {"Other", "Bulk"} & set(target_folders(env)), target_folders(env))
        check("Copied 3 folders to %s" % TARGET_USER in out, out)
        check(os.path.isfile(os.path.join(work, "Entwürfe", "manifest.jsonl")), "the archive stays: %r" % os.listdir(work))

        # Again, with events: nothing new on either side.
        out, _ = expect(env.run(*argv, "--log-format", "json"), 0, "copy again")
        evs = events(out)
        for folder in ("INBOX", NESTED, NON_ASCII):
            check_copied(env, folder)
        exported = [e for e in evs if e["event"] == "folder_done"]
        restored = [e for e in evs if e["event"] == "restore_done"]
        check(len(exported) == 3 and all(e["phase"] == "export" and e["new"] == 0 for e in exported), out)
        check(len(restored) == 3 and all(e["phase"] == "restore" and e["restored"] == 0 for e in restored), out)
        check([e["event"] for e in evs][-1] == "copy_done", out)
    finally:
        empty_target(env)


@test
def prefix_and_no_flags(env):
    work = env.tmp("copy-prefix")
    try:
        expect(env.run("copy", work, "--folder", NESTED, "--prefix", "Moved/", "--no-flags", "--quiet",
                       *env.conn()), 0, "copy --prefix --no-flags")
        got = snapshot(env, TARGET_USER, TARGET_PASSWORD, "Moved/" + NESTED)
        want = snapshot(env, SOURCE_USER, SOURCE_PASSWORD, NESTED)
        check(got is not None and [g[0] for g in got] == [w[0] for w in want], "under the prefix: %r" % got)
        check(all(g[1] == () for g in got), "no flags: %r" % got)
        check(NESTED not in target_folders(env), target_folders(env))
    finally:
        empty_target(env)


@test
def an_interrupted_copy_run_again_puts_each_message_there_once(env):
    # A clean stop (SIGTERM) and a hard one (SIGKILL, no chance to record
    # the last uploads) in the middle of the restore phase.
    for sig, status in ((signal.SIGTERM, 143), (signal.SIGKILL, -signal.SIGKILL)):
        work = env.tmp("copy-interrupted")
        proxy = cli_runner.ThrottleProxy(env.port, 0.1, both_ways=True)
        try:
            p = subprocess.Popen([env.tool, "copy", work, "--folder", "Bulk", "--quiet", *env.conn(proxy.port)],
                                 env=env.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            deadline = time.time() + RUN_LIMIT_S
            while target_count(env, "Bulk") == 0 and p.poll() is None and time.time() < deadline:
                time.sleep(0.05)
            os.kill(p.pid, sig)
            # The restore keeps several batches on the wire: what the tool
            # had handed to the system before the stop is cut off with the
            # link, as it would be by a lost connection.
            proxy.close()
            _, err = p.communicate(timeout=RUN_LIMIT_S)
            # Uploads the proxy was still passing on may land a little
            # later: the count is read once it stays put.
            part, last = -1, target_count(env, "Bulk")
            while part != last:
                time.sleep(0.5)
                part, last = last, target_count(env, "Bulk")
            check(p.returncode == status, "%s: exit %d, wanted %d: %s" % (sig.name, p.returncode, status, err))
            check(0 < part < FOLDERS["Bulk"], "%s stopped the restore midway: %d on the target" % (sig.name, part))
            if sig == signal.SIGTERM:
                check("Restore cancelled" in err.decode(), err)

            out, _ = expect(env.run("copy", work, "--folder", "Bulk", *env.conn()), 0, "copy after " + sig.name)
            check_copied(env, "Bulk")
            check("New since the last run: 0 messages" in out, "the export had it all: " + out)
        finally:
            proxy.close()
            empty_target(env)


@test
def target_problems_are_reported(env):
    # Missing or misplaced target settings stop the run before the export starts.
    work = env.tmp("copy-no-target")
    conn = env.conn()
    source = conn[:conn.index("--to-host")]
    no_host = source + ["--to-port", str(env.port), "--to-plain", "--to-user", TARGET_USER]
    no_password = env.env()
    del no_password["KQ_TO_PASSWORD"]
    for what, argv, run_env, words in (
            ("no --to-host", no_host, None, ["--to-host", "KQ_TO_HOST"]),
            ("no target password and no terminal", conn, no_password, ["KQ_TO_PASSWORD", "--to-password-file"]),
            ("a target password on the command line", conn + ["--to-password", "x"], None, ["KQ_TO_PASSWORD"])):
        _, err = expect(env.run("copy", work, "--folder", "INBOX", *argv, env=run_env), 2, what)
        check(all(w in err for w in words), "%s: %s" % (what, err))
        check(not os.path.exists(work), "%s: nothing exported" % what)

    # The environment stands in for the --to- options, as KQ_HOST does.
    work = env.tmp("copy-env")
    try:
        expect(env.run("copy", work, "--folder", NESTED, *source, "--to-plain",
                       env=env.env(KQ_TO_HOST="127.0.0.1", KQ_TO_PORT=str(env.port), KQ_TO_USER=TARGET_USER)),
               0, "copy with KQ_TO_HOST, KQ_TO_PORT, KQ_TO_USER")
        check_copied(env, NESTED)
    finally:
        empty_target(env)

    # A wrong target password: the export is done and kept; nothing reached the target.
    work = env.tmp("copy-bad-login")
    _, err = expect(env.run("copy", work, "--folder", NESTED, *conn, env=env.env(KQ_TO_PASSWORD="wrong")), 1,
                    "copy with a wrong target password")
    check("cannot log in to 127.0.0.1:%d as %s" % (env.port, TARGET_USER) in err, err)
    check("kept in " + work in err and "run the same command again" in err, err)
    with open(os.path.join(work, "Projects_2024", "manifest.jsonl")) as f:
        check(sum('"file"' in l for l in f) == FOLDERS[NESTED], "the export is complete and kept")
    check(target_folders(env) == ["INBOX"], target_folders(env))

    # The same mailbox on both sides is refused.
    same = conn[:conn.index("--to-user")] + ["--to-user", SOURCE_USER]
    _, err = expect(env.run("copy", work, *same), 2, "copy onto the source")
    check("the target is the source" in err, err)


@test
def a_folder_the_export_fails_on_is_not_sent(env):
    work = env.tmp("copy-missing-folder")
    try:
        out, err = expect(env.run("copy", work, "--folder", NESTED, "--folder", "Nope", "--log-format", "json",
                                  *env.conn()), 1, "copy of a missing folder")
        check("the copy is not complete" in err and "Nope" in err, err)
        check_copied(env, NESTED)
        check("Nope" not in target_folders(env), target_folders(env))
        evs = events(out)
        check([e["folder"] for e in evs if e["event"] == "folder_failed"] == ["Nope"], out)
        check(any(e["event"] == "error" and e["exit"] == 1 for e in evs), out)
    finally:
        empty_target(env)


@test
def dry_run_counts_without_the_target(env):
    work = env.tmp("copy-dry-run")
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))  # bound, never listening: nothing answers there
    try:
        no_password = env.env()
        del no_password["KQ_TO_PASSWORD"]
        out, _ = expect(env.run("copy", work, "--folder", "Other", "--dry-run", *env.conn(closed.getsockname()[1]),
                                env=no_password), 0, "copy --dry-run")
        check(re.search(r"^Other\s+%d\s+0\s+%d$" % (FOLDERS["Other"], FOLDERS["Other"]), out, re.M), out)
        check("Dry run: %d messages to fetch" % FOLDERS["Other"] in out, out)
        check(target_folders(env) == ["INBOX"], "nothing on the target: %r" % target_folders(env))
        check(not os.path.exists(work), "nothing archived")
    finally:
        closed.close()


@test
def target_account_from_the_configuration_file(env):
    config = os.path.join(env.work, "copy-config.toml")
    with open(config, "w") as f:
        f.write('[accounts.old]\nhost = "127.0.0.1"\nport = %d\ntls = "none"\nuser = "%s"\n\n'
                '[accounts.new]\nhost = "127.0.0.1"\nport = %d\ntls = "none"\nuser = "%s"\n'
                % (env.port, SOURCE_USER, env.port, TARGET_USER))
    work = env.tmp("copy-accounts")
    try:
        expect(env.run("--config", config, "--account", "old", "copy", work, "--to-account", "new",
                       "--folder", "Other", "--quiet"), 0, "copy between two accounts")
        check_copied(env, "Other")
        _, err = expect(env.run("--config", config, "--account", "old", "copy", work, "--to-account", "nope"),
                        2, "an unknown target account")
        check("no account 'nope'" in err and "old, new" in err, err)
        _, err = expect(env.run("--config", config, "--all-accounts", "copy", work, "--to-account", "new"),
                        2, "--all-accounts")
        check("--all-accounts" in err, err)
    finally:
        empty_target(env)


def main():
    return SUITE.main(Env)


if __name__ == "__main__":
    sys.exit(main())
