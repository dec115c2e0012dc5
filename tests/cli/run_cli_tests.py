#!/usr/bin/env python3
"""End-to-end tests of the kerquill command-line tool, the installed package
(C example built with find_package, man page, completion, systemd units), the
Python ctypes example and the C# P/Invoke example, against a throwaway
Dovecot on loopback with a generated mailbox.

    run_cli_tests.py --source-dir SRC --build-dir BUILD [-k PATTERN]

Needs root (Dovecot switches to nobody for the mail) and the dovecot binary.
Prints one line per test and closes with "cli: N passed, N failed"; exits 1
when anything failed.
"""
import email
import email.policy
import hashlib
import fcntl
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_runner  # noqa: E402  (the registry and the runner both suites use)

USER, PASSWORD = "clitest", "pa ss\"wörd"  # a blank, a quote and a non-ASCII letter
MESSAGES = 120
RUN_LIMIT_S = cli_runner.RUN_LIMIT_S

SUITE = cli_runner.Suite("cli")
test = SUITE.test


class Env(cli_runner.ToolRunner):
    """Everything a test needs: paths, the server and how to run the tool."""

    def __init__(self, source, build, work):
        self.source, self.build, self.work = source, build, work
        self.tool = os.path.join(build, "tools", "kerquill")
        self.lib = os.path.join(build, "libkerquill.so")
        self.sandbox = os.path.join(work, "server")
        self.maildir = None
        self.server = {}
        self.folder_counts = {}

    def script(self, name):
        return os.path.join(self.source, "scripts", name)

    def start_server(self):
        out = subprocess.run(["bash", self.script("dovecot_sandbox.sh"), "start", self.sandbox],
                             check=True, capture_output=True, text=True).stdout
        self.server = dict(line.split("=", 1) for line in out.split())
        # A password with a blank and a quote goes through the passwd file as is.
        subprocess.run(["bash", self.script("dovecot_sandbox.sh"), "add-user", self.sandbox,
                        USER, PASSWORD], check=True)
        self.maildir = os.path.join(self.sandbox, "mail", USER, "Maildir")
        out = subprocess.run([sys.executable, self.script("make_sample_mailbox.py"), self.maildir,
                              "--messages", str(MESSAGES)], check=True, capture_output=True,
                             text=True).stdout
        for line in out.splitlines():
            m = re.match(r"(.+?)\s+(\d+) messages$", line)
            if m:
                self.folder_counts[m.group(1)] = int(m.group(2))
        subprocess.run(["bash", self.script("dovecot_sandbox.sh"), "fix-owner", self.sandbox],
                       check=True)

    def stop_server(self):
        subprocess.run(["bash", self.script("dovecot_sandbox.sh"), "stop", self.sandbox])

    @property
    def port(self):
        return int(self.server["KQ_SANDBOX_PORT"])

    @property
    def tls_port(self):
        return int(self.server["KQ_SANDBOX_TLS_PORT"])

    @property
    def ca(self):
        return self.server["KQ_SANDBOX_CA"]

    def conn(self, tls=False, port=None):
        if tls:
            return ["--host", "127.0.0.1", "--port", str(port or self.tls_port), "--user", USER,
                    "--ca-file", self.ca]
        return ["--host", "127.0.0.1", "--port", str(port or self.port), "--plain", "--user", USER]

    def env(self, **extra):
        e = dict(os.environ)
        e.pop("KQ_HOST", None)
        e.pop("KQ_USER", None)
        e.pop("KQ_DEBUG", None)
        e["KQ_PASSWORD"] = PASSWORD
        # No configuration file of the machine's user may change a test.
        e["XDG_CONFIG_HOME"] = os.path.join(self.work, "no-config")
        e["XDG_CONFIG_DIRS"] = os.path.join(self.work, "no-config")
        e.update(extra)
        return e


check, expect = cli_runner.check, cli_runner.expect
ThrottleProxy = cli_runner.ThrottleProxy


def manifest_lines(directory):
    path = os.path.join(directory, "manifest.jsonl")
    with open(path, "rb") as f:
        # Flag lines (no "file") record changed flags, not messages.
        return [e for e in (json.loads(line) for line in f if line.startswith(b"{")) if "file" in e]


def source_messages(env, folder):
    """The generated message files of a folder, parsed, by Message-ID."""
    base = env.maildir if folder == "INBOX" else os.path.join(env.maildir, "." + folder.replace("/", "."))
    out = {}
    for name in os.listdir(os.path.join(base, "cur")):
        with open(os.path.join(base, "cur", name), "rb") as f:
            msg = email.message_from_binary_file(f, policy=email.policy.default)
        out[msg["Message-ID"]] = msg
    return out


# --------------------------------------------------------------------- usage


@test
def usage_and_help(env):
    out, _ = expect(env.run("--help"), 0, "--help")
    check("--version" in out and "--account" in out and "Exit status" in out, "--help lists --version: " + out)
    ver, _ = expect(env.run("--version"), 0, "--version")
    check(re.match(r"^kerquill \d+\.\d+\.\d+$", ver.strip()), ver)
    for cmd in ("folders", "probe", "search", "show", "save-attachment", "export", "export-all",
                "verify", "stats"):
        check(cmd in out, "main help lists " + cmd)
        sub, _ = expect(env.run(cmd, "--help"), 0, cmd + " --help")
        check(sub.startswith("Usage: kerquill " + cmd), cmd + " --help shows its usage")
    expect(env.run("no-such-command"), 2, "unknown command")
    expect(env.run(), 2, "no command")
    expect(env.run("search"), 2, "search without a folder")
    expect(env.run("show", "INBOX"), 2, "show without ROW or --uid")
    expect(env.run("search", "INBOX", "--mbox", *env.conn()), 2, "an export option on search")
    expect(env.run("search", "INBOX", "--since", "2024-13-01", *env.conn()), 2, "a bad date")
    expect(env.run("search", "INBOX", "--since", "yesterday", *env.conn()), 2, "a date that is no date")
    expect(env.run("search", "INBOX", "--has-attachments", "yes", *env.conn()), 2, "has-attachments 0|1")
    expect(env.run("search", "INBOX", "--min-bytes", "-5", *env.conn()), 2, "a negative size")
    expect(env.run("search", "INBOX", "--uid-min", "9", "--uid-max", "3", *env.conn()), 2,
           "an empty UID range")
    _, err = expect(env.run("folders", "--password", "x", *env.conn()), 2, "--password on the command line")
    check("KQ_PASSWORD" in err, "the refusal of --password says what to do instead")
    expect(env.run("folders", "--port", "70000", *env.conn()[:-4], "--user", USER), 2, "a port out of range")
    _, err = expect(env.run("folders", "--plain", "--user", USER), 2, "no host")
    check("--host" in err, "a missing host is named")


# ---------------------------------------------------------------- connecting


@test
def connection_settings(env):
    expect(env.run("folders", *env.conn()), 0, "plain login with KQ_PASSWORD")
    expect(env.run("folders", *env.conn(tls=True)), 0, "TLS with the sandbox CA")
    pwfile = os.path.join(env.work, "pw.txt")
    with open(pwfile, "w", encoding="utf-8") as f:
        f.write(PASSWORD + "\n")
    expect(env.run("folders", *env.conn(), "--password-file", pwfile, env=env.env(KQ_PASSWORD="")), 0,
           "password from a file")
    tokfile = os.path.join(env.work, "token.txt")
    with open(tokfile, "w", encoding="utf-8") as f:
        f.write(PASSWORD + "\n")  # the sandbox takes the password as bearer token
    expect(env.run("folders", *env.conn(tls=True), "--oauth-token-file", tokfile,
                   env=env.env(KQ_PASSWORD="")), 0, "XOAUTH2 with a token file")
    _, err = expect(env.run("folders", *env.conn(), env=env.env(KQ_PASSWORD="wrong")), 1, "wrong password")
    check("authentication failed" in err.lower() or "login" in err.lower(), "the library's reason is shown: " + err)
    _, err = expect(env.run("folders", *env.conn(), env=env.env(KQ_PASSWORD="")), 2,
                    "no password and no terminal")
    check("KQ_PASSWORD" in err, "says where a password can come from")
    conn = env.conn(tls=True)
    no_ca = conn[:conn.index("--ca-file")]
    _, err = expect(env.run("folders", *no_ca), 1, "TLS with an untrusted certificate")
    check("certificate" in err.lower() and "--ca-file" in err and "--insecure" in err,
          "the TLS failure is explained in the tool's options: " + err)
    # TLS and plain text on the wrong ports: the remedy is named.
    wrong = ["--host", "127.0.0.1", "--user", USER, "--timeout", "3"]
    _, err = expect(env.run("folders", *wrong, "--port", str(env.port)), 1, "TLS to the plain port")
    check("is this a plain IMAP port? use --plain or --starttls" in err, err)
    _, err = expect(env.run("folders", *wrong, "--port", str(env.tls_port), "--plain"), 1, "plain to the TLS port")
    check("leave out --plain and --starttls" in err, err)
    _, err = expect(env.run("folders", *conn[:-1], os.path.join(env.work, "no-such-ca.pem")), 1, "a missing CA file")
    check("cannot read ca_file " + os.path.join(env.work, "no-such-ca.pem") + ": No such file or directory" in err,
          err)
    _, err = expect(env.run("folders", *no_ca, "--insecure"), 0, "--insecure")
    check("warning" in err and "insecure" in err, "--insecure warns")
    env_only = env.env(KQ_HOST="127.0.0.1", KQ_PORT=str(env.port), KQ_USER=USER)
    expect(env.run("folders", "--plain", env=env_only), 0, "host, port and user from the environment")
    free = socket.socket()
    free.bind(("127.0.0.1", 0))
    dead_port = free.getsockname()[1]
    free.close()
    _, err = expect(env.run("folders", *env.conn(port=dead_port)), 1, "nothing listening")
    check("connect" in err, "a refused connection is reported: " + err)


# ------------------------------------------------------------------ folders


@test
def folders_and_probe(env):
    out, _ = expect(env.run("folders", *env.conn()), 0, "folders")
    for name, count in env.folder_counts.items():
        check(re.search(r"^%s\s+%d\s" % (re.escape(name), count), out, re.M),
              "folders lists %s with %d messages:\n%s" % (name, count, out))
    out, _ = expect(env.run("folders", "--json", *env.conn()), 0, "folders --json")
    listed = {f["name"]: f["count"] for f in json.loads(out)}
    check(listed == env.folder_counts, "folders --json counts %r == %r" % (listed, env.folder_counts))

    out, _ = expect(env.run("probe", "INBOX", "--json", *env.conn()), 0, "probe --json")
    p = json.loads(out)
    check(p["folder"] == "INBOX" and p["total_messages"] == env.folder_counts["INBOX"], "probe counts INBOX")
    check(p["sampled"] > 0 and p["estimated_bytes"] > 0, "probe sampled something: %r" % p)
    out, _ = expect(env.run("probe", "Projects/2024", *env.conn()), 0, "probe of a child folder")
    check("Messages:" in out and str(env.folder_counts["Projects/2024"]) in out, out)
    _, err = expect(env.run("probe", "No Such Folder", *env.conn()), 1, "probe of a missing folder")
    check("No Such Folder" in err, "the missing folder is named: " + err)


# ------------------------------------------------------------------- search


def search_json(env, folder, *opts):
    out, _ = expect(env.run("search", folder, "--json", *opts, *env.conn()), 0, "search " + " ".join(opts))
    return json.loads(out)


@test
def search_filters(env):
    rows = search_json(env, "Sent")
    check(len(rows) == env.folder_counts["Sent"], "all of Sent found")
    check([r["row"] for r in rows] == list(range(len(rows))), "rows are numbered from 0")
    uids = [r["uid"] for r in rows]
    check(uids == sorted(uids), "rows in UID order")

    out, _ = expect(env.run("search", "Sent", *env.conn()), 0, "search table")
    check(out.splitlines()[0].split()[:3] == ["ROW", "UID", "DATE"], "table header")
    check(re.search(r"^%d messages in Sent$" % len(rows), out, re.M), "table footer: " + out[-200:])

    some = search_json(env, "INBOX", "--subject", "invoice")
    check(some and all("invoice" in r["subject"].lower() for r in some), "subject filter, any case")
    big = search_json(env, "INBOX", "--min-bytes", "20000")
    check(big and all(r["bytes"] >= 20000 for r in big), "size filter")
    att = search_json(env, "INBOX", "--has-attachments", "1")
    check(att and all(r["has_attachments"] == 1 for r in att), "attachment filter")
    dated = search_json(env, "INBOX", "--since", "2021-01-01", "--before", "2022-01-01")
    for r in dated:
        check("-2021 " in r["date"], "date filter keeps 2021 only: " + r["date"])
    band = search_json(env, "INBOX", "--uid-min", "5", "--uid-max", "9")
    check([r["uid"] for r in band] == [5, 6, 7, 8, 9], "UID range")
    empty = search_json(env, "INBOX", "--from", "nobody-sends-this@nowhere")
    check(empty == [], "no match gives an empty list")
    _, err = expect(env.run("search", "Nope", *env.conn()), 1, "search in a missing folder")
    check("Nope" in err, err)


# --------------------------------------------------------------- one message


@test
def show_and_save_attachment(env):
    rows = search_json(env, "INBOX", "--has-attachments", "1")
    check(rows, "some INBOX message has attachments")
    target = rows[0]
    out, _ = expect(env.run("show", "INBOX", str(target["row"]), "--has-attachments", "1", "--json",
                            *env.conn()), 0, "show --json")
    msg = json.loads(out)
    check(msg["uid"] == target["uid"], "show finds the row of the same search")
    check("Message-ID:" in msg["header"] or "Message-Id:" in msg["header"], "header block returned")
    check(msg["attachments"], "attachments listed")
    check(all(a["ctype"].split(";")[0] in ("application/pdf", "image/png", "text/csv")
              for a in msg["attachments"]), "attachment types: %r" % msg["attachments"])

    by_uid, _ = expect(env.run("show", "INBOX", "--uid", str(target["uid"]), *env.conn()), 0, "show --uid")
    check("Subject:" in by_uid and "Attachments (" in by_uid, by_uid[:500])
    check("\x1b" not in by_uid, "no escape bytes reach the terminal")

    # The saved attachment must equal what the generator put in.
    msgid = re.search(r"^Message-I[Dd]:\s*(\S+)", msg["header"], re.M).group(1)
    original = source_messages(env, "INBOX")[msgid]
    parts = [p for p in original.iter_attachments()]
    want = parts[0].get_content()
    if isinstance(want, str):
        want = want.encode("utf-8")
    dest = env.tmp("attachments")
    out, _ = expect(env.run("save-attachment", "INBOX", "0", dest, "--uid", str(target["uid"]),
                            *env.conn()), 0, "save-attachment")
    files = os.listdir(dest)
    check(len(files) == 1, "one file saved: %r" % files)
    with open(os.path.join(dest, files[0]), "rb") as f:
        got = f.read()
    check(got.replace(b"\r\n", b"\n") == want.replace(b"\r\n", b"\n"),
          "saved attachment equals the original (%d vs %d bytes)" % (len(got), len(want)))
    # The line names the file written and its size; saved again, the file
    # gets a new name, and the line says which.
    def saved_line(name):
        return re.compile(r"saved %s \([\d.]+ k?B\)$" % re.escape(os.path.join(dest, name)))
    check(saved_line(files[0]).match(out.strip()), out)
    out, _ = expect(env.run("save-attachment", "INBOX", "0", dest, "--uid", str(target["uid"]),
                            *env.conn()), 0, "save-attachment again")
    stem, ext = os.path.splitext(files[0])
    check(saved_line(stem + " (2)" + ext).match(out.strip()), out)
    check(sorted(os.listdir(dest)) == sorted([files[0], stem + " (2)" + ext]), os.listdir(dest))

    _, err = expect(env.run("save-attachment", "INBOX", "99", dest, "--uid", str(target["uid"]),
                            *env.conn()), 1, "attachment number out of range")
    check("attachment" in err, err)
    _, err = expect(env.run("show", "INBOX", "100000", *env.conn()), 1, "row out of range")
    check("row 100000" in err, err)
    _, err = expect(env.run("show", "INBOX", "--uid", "999999", *env.conn()), 1, "UID that does not exist")

    # Every generated message has readable text: plain, decoded
    # quoted-printable, or HTML without its tags.
    for r in search_json(env, "Old Stuff"):
        out, _ = expect(env.run("show", "Old Stuff", "--uid", str(r["uid"]), "--json", *env.conn()), 0,
                        "show of uid %d" % r["uid"])
        body = json.loads(out)["body"]
        check(len(body.split()) >= 10, "uid %d has a body text: %r" % (r["uid"], body[:200]))
        check("<p>" not in body and "=\n" not in body, "uid %d body is decoded: %r" % (r["uid"], body[:200]))

    raw = os.path.join(env.work, "raw.eml")
    expect(env.run("show", "INBOX", "--uid", str(target["uid"]), "--save-eml", raw, *env.conn()), 0,
           "show --save-eml")
    with open(raw, "rb") as f:
        check(msgid.encode() in f.read(), "the raw message is saved")


# -------------------------------------------------------------------- export


def check_archive(directory, count):
    lines = manifest_lines(directory)
    uids = [l["uid"] for l in lines]
    check(len(uids) == len(set(uids)), "no UID twice in the manifest")
    check(len(uids) == count, "manifest has %d entries, wanted %d" % (len(uids), count))
    for l in lines:
        with open(os.path.join(directory, l["file"]), "rb") as f:
            check(hashlib.sha256(f.read()).hexdigest() == l["sha256"], "digest of " + l["file"])


@test
def export_with_progress_lines(env):
    dest = env.tmp("export-sent")
    out, err = expect(env.run("export", "Sent", dest, "--progress-interval", "1", *env.conn()), 0, "export")
    n = env.folder_counts["Sent"]
    check(re.search(r"^progress: Sent %d/%d 100%%" % (n, n), err, re.M), "a final progress line: " + err)
    check("\r" not in err and "\x1b" not in err, "no terminal control codes when not on a terminal")
    check("Exported %d messages" % n in out, out)
    check_archive(dest, n)
    check(all(re.match(r"uid-\d+\.eml$", l["file"]) for l in manifest_lines(dest)), "flat layout by default")
    check(not os.path.exists(os.path.join(dest, "all.mbox")), "no mbox unless asked")

    out, _ = expect(env.run("export", "Sent", dest, *env.conn()), 0, "export again")
    check("Exported 0 messages" in out and "skipped" in out, "a second run skips everything: " + out)
    check_archive(dest, n)

    out, _ = expect(env.run("verify", dest), 0, "verify")
    check("%d of %d files intact" % (n, n) in out, out)
    out, _ = expect(env.run("stats", dest, "--json"), 0, "stats --json")
    check(json.loads(out)["messages"] == n, out)


def drop_folder(name):
    """Deletes a folder a test made, so the folder lists of later tests stay as the sample made them."""
    m = imap_session()
    try:
        m.delete('"%s"' % name)
    finally:
        m.logout()


@test
def restore_puts_an_archive_back_once(env):
    try:
        restore_once(env)
    finally:
        drop_folder("Restored Sent")


def restore_once(env):
    dest = env.tmp("restore-src")
    expect(env.run("export", "Sent", dest, *env.conn()), 0, "export")
    n = env.folder_counts["Sent"]
    expect(env.run("restore", dest, *env.conn()), 2, "restore without --to")
    out, err = expect(env.run("restore", dest, "--to", "Restored Sent", "--progress-interval", "1",
                              *env.conn()), 0, "restore")
    check("Restored %d messages" % n in out, out)
    check(re.search(r"^progress: Restored Sent %d/%d 100%%" % (n, n), err, re.M), "a final progress line: " + err)
    out, _ = expect(env.run("restore", dest, "--to", "Restored Sent", *env.conn()), 0, "restore again")
    check("Restored 0 messages" in out and "%d messages were already there" % n in out, out)
    again = env.tmp("restore-again")
    expect(env.run("export", "Restored Sent", again, *env.conn()), 0, "export the restored folder")
    digests = lambda d: sorted(l["sha256"] for l in manifest_lines(d))
    check(digests(again) == digests(dest), "the same messages came back, each once")

    # A changed file is not sent and fails the run, naming its UID.
    line = manifest_lines(dest)[0]
    with open(os.path.join(dest, line["file"]), "ab") as f:
        f.write(b"tampered\r\n")
    os.remove(os.path.join(dest, "restore.jsonl"))
    out, err = expect(env.run("restore", dest, "--to", "Restored Sent", *env.conn()), 1, "restore of a tampered archive")
    check("uid %d" % line["uid"] in err and "sha256" in err, err)


@test
def restore_all_puts_a_tree_back_under_a_prefix(env):
    try:
        restore_all_under_a_prefix(env)
    finally:
        drop_folder("Copy of Sent")


def restore_all_under_a_prefix(env):
    tree = env.tmp("restore-tree")
    expect(env.run("export-all", tree, "--folder", "Sent", "--quiet", *env.conn()), 0, "export-all")
    n = env.folder_counts["Sent"]
    out, _ = expect(env.run("restore-all", tree, "--prefix", "Copy of ", *env.conn()), 0, "restore-all")
    check("Restored %d messages" % n in out and "Copy of Sent" in out, out)
    again = env.tmp("restore-tree-again")
    expect(env.run("export", "Copy of Sent", again, *env.conn()), 0, "export the restored folder")
    check(len(manifest_lines(again)) == n, "every message once")


@test
def restore_all_under_a_prefix_with_letters_beyond_ascii(env):
    m = imap_session()
    box = "Entw&APw-rfe"  # "Entwürfe" in modified UTF-7
    target = "&ANw-ber/Entw&APw-rfe"  # "Über/Entwürfe"
    m.create(box)
    for i in range(3):
        m.append(box, None, None, ("Subject: draft %d\r\nMessage-ID: <prefix%d@x>\r\n\r\ntext %d\r\n" % (i, i, i)).encode())
    try:
        tree = env.tmp("restore-tree-utf8")
        expect(env.run("export-all", tree, "--folder", "Entwürfe", "--quiet", *env.conn()), 0, "export-all")
        out, _ = expect(env.run("restore-all", tree, "--prefix", "Über/", *env.conn()), 0, "restore-all")
        check("Restored 3 messages" in out and "into Über/Entwürfe " in out and "&" not in out, out)
        _, listed = m.list('""', '"&ANw-ber/*"')
        names = [l.decode().rsplit(" ", 1)[-1].strip('"') for l in listed if l]
        check(names == [target], "the folder under its own letters: %r" % names)
        _, count = m.select('"%s"' % target, readonly=True)
        _, ids = m.search(None, "ALL")
        got = sorted(m.fetch(n, "(BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")[1][0][1].strip() for n in ids[0].split())
        check(got == [b"Message-ID: <prefix%d@x>" % i for i in range(3)], "every message once: %r" % got)
        m.close()

        # Run again: the same target, nothing sent twice; the event names it in UTF-8.
        out, _ = expect(env.run("restore-all", tree, "--prefix", "Über/", "--log-format", "json", *env.conn()), 0,
                        "restore-all again")
        done = [e for e in (json.loads(l) for l in out.splitlines()) if e["event"] == "restore_done"]
        check(len(done) == 1 and done[0]["folder"] == "Über/Entwürfe" and done[0]["restored"] == 0 and
              done[0]["present"] == 3, out)
    finally:
        for name in (target, "&ANw-ber", box):
            try:
                m.delete('"%s"' % name)
            except Exception:
                pass
        m.logout()


@test
def folder_created_again_is_reported(env):
    import imaplib
    box = "Recreated"
    m = imaplib.IMAP4("127.0.0.1", env.port)
    # AUTHENTICATE PLAIN: the password is not ASCII, which LOGIN cannot send.
    m.authenticate("PLAIN", lambda _: b"\0" + USER.encode() + b"\0" + PASSWORD.encode())
    m.create(box)
    for i in range(3):
        m.append(box, None, None, ("Subject: first %d\r\nMessage-ID: <r%d@x>\r\n\r\nbody %d\r\n" % (i, i, i)).encode())
    dest = env.tmp("export-recreated")
    out, _ = expect(env.run("export", box, dest, *env.conn()), 0, "export")
    check("Exported 3 messages" in out, out)
    # Deleted and created again by another client: UIDs start again at 1.
    m.delete(box)
    m.create(box)
    for i in range(4):
        m.append(box, None, None, ("Subject: second %d\r\nMessage-ID: <s%d@x>\r\n\r\nnew %d\r\n" % (i, i, i)).encode())
    try:
        out, _ = expect(env.run("export", box, dest, *env.conn()), 0, "export after re-creation")
        check("Exported 4 messages" in out, out)
        check("deleted and created again" in out and "skipped" not in out, out)
        out, _ = expect(env.run("verify", dest), 0, "verify")
        check("7 of 7 files intact" in out, out)
    finally:
        # The other tests count the mailbox's folders.
        m.delete(box)
        m.logout()


@test
def export_onto_a_full_disk_says_why_and_what_to_do(env):
    if not os.path.exists("/dev/full"):
        print("note  export_onto_a_full_disk_says_why_and_what_to_do: skipped, no /dev/full")
        return
    # all.mbox is a link to a device that is always full.
    dest = env.tmp("full-disk")
    os.makedirs(dest)
    os.symlink("/dev/full", os.path.join(dest, "all.mbox"))
    _, err = expect(env.run("export", "Old Stuff", dest, "--mbox", "--quiet", *env.conn()), 1,
                    "export onto a full disk")
    check("cannot write %s: No space left on device" % os.path.join(dest, "all.mbox") in err, err)
    check("make room on that disk first" in err and "run the same command again" not in err, err)


@test
def export_as_maildir(env):
    import mailbox
    dest = env.tmp("export-maildir")
    expect(env.run("export", "INBOX", dest, "--format", "maildir", "--quiet", *env.conn()), 0,
           "export --format maildir")
    n = env.folder_counts["INBOX"]
    check_archive(dest, n)
    lines = manifest_lines(dest)
    check(all(re.match(r"cur/\d+\.U\d+_\d+\.kerquill:2,[DFRST]*$", l["file"]) for l in lines),
          "Maildir names: %r" % [l["file"] for l in lines[:3]])
    check(all(isinstance(l.get("flags"), list) for l in lines), "every line records the flags")
    box = mailbox.Maildir(dest, factory=None, create=False)
    digests = sorted(hashlib.sha256(box.get_bytes(k)).hexdigest() for k in box.keys())
    check(len(digests) == n, "Python's Maildir reads %d messages, wanted %d" % (len(digests), n))
    check(digests == sorted(l["sha256"] for l in lines), "Python's Maildir reads the exported bytes")
    expect(env.run("export", "INBOX", dest, "--format", "mh", *env.conn()), 2, "an unknown --format")

    dest = env.tmp("export-all-maildir")
    expect(env.run("export-all", dest, "--folder", "INBOX", "--format", "maildir", "--mbox", "--quiet",
                   *env.conn()), 0, "export-all --format maildir --mbox")
    inbox = os.path.join(dest, "INBOX")
    check_archive(inbox, n)
    check(all(os.path.isdir(os.path.join(inbox, sub)) for sub in ("cur", "new", "tmp")), "a Maildir per folder")
    with open(os.path.join(inbox, "all.mbox"), "rb") as f:
        check(f.read().count(b"\nFrom ") + 1 >= n, "export-all --mbox writes all.mbox")


@test
def export_options(env):
    dest = env.tmp("export-dated")
    expect(env.run("export", "Archive", dest, "--dated", "--mbox", "--quiet", *env.conn()), 0,
           "export --dated --mbox")
    lines = manifest_lines(dest)
    check(lines and all(re.match(r"\d{4}-\d{2}/uid-\d+\.eml$", l["file"]) for l in lines),
          "dated layout: %r" % [l["file"] for l in lines[:3]])
    with open(os.path.join(dest, "all.mbox"), "rb") as f:
        check(f.read().count(b"\nFrom ") + 1 >= len(lines), "all.mbox holds every message")

    dest = env.tmp("export-filtered")
    out, _ = expect(env.run("export", "INBOX", dest, "--has-attachments", "1", "--quiet", *env.conn()), 0,
                    "export of a search")
    want = len(search_json(env, "INBOX", "--has-attachments", "1"))
    check_archive(dest, want)

    dest = env.tmp("export-none")
    out, _ = expect(env.run("export", "INBOX", dest, "--from", "nobody@nowhere", *env.conn()), 0,
                    "export of an empty search")
    check("Nothing to export" in out, out)


def wait_for(pred, limit_s, what):
    end = time.time() + limit_s
    while time.time() < end:
        if pred():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def entries(directory):
    try:
        return len(manifest_lines(directory))
    except (OSError, ValueError):
        return 0


@test
def ctrl_c_leaves_a_resumable_archive(env):
    proxy = ThrottleProxy(env.port)
    dest = env.tmp("export-interrupted")
    n = env.folder_counts["INBOX"]
    try:
        p = subprocess.Popen([env.tool, "export", "INBOX", dest, "--progress-interval", "1",
                              *env.conn(port=proxy.port)], env=env.env(), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            # Early: a cancel stores what is on its way and writes the resume state.
            wait_for(lambda: entries(dest) >= 2 or p.poll() is not None, 120, "the first messages")
            check(p.poll() is None, "the throttled export is still running")
            p.send_signal(signal.SIGINT)
            out, err = p.communicate(timeout=60)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        err = err.decode("utf-8", "replace")
        check(p.returncode == 1, "a cancelled export exits 1, got %d: %s" % (p.returncode, err))
        check("resumable" in err and "run the same command again" in err, err)
        stored = entries(dest)
        check(0 < stored < n, "stopped part way (%d of %d)" % (stored, n))
        expect(env.run("verify", dest), 0, "the part archive verifies")

        out, _ = expect(env.run("export", "INBOX", dest, *env.conn()), 0, "the resumed export")
        # The resume state may lag the files by up to two seconds of work.
        m = re.search(r"^(\d+) messages? stored by an earlier run", out, re.M)
        check(m and stored - 9 <= int(m.group(1)) <= stored, "the second run skips what was stored (%d): %s"
              % (stored, out))
        check_archive(dest, n)
        expect(env.run("verify", dest), 0, "the completed archive verifies")

        # A second Ctrl-C does not wait for the job.
        dest2 = env.tmp("export-aborted")
        p = subprocess.Popen([env.tool, "export", "INBOX", dest2, "--quiet", *env.conn(port=proxy.port)],
                             env=env.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        try:
            wait_for(lambda: entries(dest2) >= 1 or p.poll() is not None, 120, "the first message")
            p.send_signal(signal.SIGINT)
            time.sleep(0.05)
            p.send_signal(signal.SIGINT)
            p.communicate(timeout=20)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        check(p.returncode == 130, "a second Ctrl-C exits 130 at once, got %d" % p.returncode)
    finally:
        proxy.close()


@test
def export_all_verify_and_stats(env):
    dest = env.tmp("export-all")
    out, err = expect(env.run("export-all", dest, "--progress-interval", "1", *env.conn(tls=True)), 0,
                      "export-all")
    check("progress:" in err, "progress lines: " + err[-500:])
    total = sum(env.folder_counts.values())
    check("Archived %d messages" % total in out, out)
    for name, count in env.folder_counts.items():
        sub = os.path.join(dest, name.replace("/", "_"))
        check(os.path.isdir(sub), "folder directory " + sub)
        check_archive(sub, count)

    out, _ = expect(env.run("verify", dest), 0, "verify of an export-all directory")
    check("%d of %d files intact" % (total, total) in out, out)
    out, _ = expect(env.run("stats", dest), 0, "stats of an export-all directory")
    check(re.search(r"^Messages:\s+%d$" % total, out, re.M), out)
    check(re.search(r"^Projects_2024\s+%d\s" % env.folder_counts["Projects/2024"], out, re.M), out)
    stats = json.loads(expect(env.run("stats", dest, "--json"), 0, "stats --json")[0])
    check(stats["messages"] == total and len(stats["archives"]) == len(env.folder_counts), stats)

    # Damage: one file changed, one gone.
    sub = os.path.join(dest, "Sent")
    lines = manifest_lines(sub)
    with open(os.path.join(sub, lines[0]["file"]), "ab") as f:
        f.write(b"tampered\n")
    os.remove(os.path.join(sub, lines[1]["file"]))
    out, err = expect(env.run("verify", dest), 3, "verify finds damage (status 3)")
    check(re.search(r"corrupt\s+uid %d" % lines[0]["uid"], out), out)
    check(re.search(r"missing\s+uid %d" % lines[1]["uid"], out), out)
    check("1 missing and 1 corrupt" in err, err)
    rep = json.loads(expect(env.run("verify", dest, "--json"), 3, "verify --json")[0])
    check(rep["missing"] == 1 and rep["corrupt"] == 1, rep)

    _, err = expect(env.run("verify", env.tmp("no-archive-here")), 1, "verify without a manifest")
    check("manifest" in err, err)

    only = env.tmp("export-some")
    expect(env.run("export-all", only, "--folder", "Old Stuff", "--folder", "Projects/2024", "--flat",
                   "--quiet", *env.conn()), 0, "export-all --folder")
    check(sorted(os.listdir(only)) == ["Old Stuff", "Projects_2024"], os.listdir(only))
    check(all(re.match(r"uid-\d+\.eml$", l["file"]) for l in manifest_lines(os.path.join(only, "Old Stuff"))),
          "--flat layout")


@test
def export_all_on_three_connections(env):
    dest = env.tmp("export-all-connections")
    out, _ = expect(env.run("export-all", dest, "--connections", "3", *env.conn()), 0, "export-all --connections 3")
    total = sum(env.folder_counts.values())
    check("Archived %d messages" % total in out, out)
    for name, count in env.folder_counts.items():
        check_archive(os.path.join(dest, name.replace("/", "_")), count)
    # A re-run on three connections finds everything stored.
    out, _ = expect(env.run("export-all", dest, "--connections", "3", *env.conn()), 0, "the re-run")
    check("New since the last run: 0 messages." in out, out)
    _, err = expect(env.run("export-all", env.tmp("connections-bad"), "--connections", "9", *env.conn()), 2,
                    "--connections 9")
    check("--connections wants 1 to 8" in err, err)


@test
def ctrl_c_during_export_all(env):
    proxy = ThrottleProxy(env.port)
    dest = env.tmp("export-all-interrupted")
    try:
        p = subprocess.Popen([env.tool, "export-all", dest, "--progress-interval", "1",
                              *env.conn(port=proxy.port)], env=env.env(), stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        def stored():
            return sum(entries(os.path.join(dest, d)) for d in os.listdir(dest)) if os.path.isdir(dest) else 0
        try:
            wait_for(lambda: stored() >= 12 or p.poll() is not None, 120, "the first messages")
            check(p.poll() is None, "the throttled batch is still running")
            p.send_signal(signal.SIGINT)
            out, err = p.communicate(timeout=60)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        err = err.decode("utf-8", "replace")
        check(p.returncode == 1 and "resumable" in err, "cancelled batch: %d %s" % (p.returncode, err))
        check(stored() < sum(env.folder_counts.values()), "stopped before the end")
    finally:
        proxy.close()
    expect(env.run("export-all", dest, "--quiet", *env.conn()), 0, "the resumed batch")
    for name, count in env.folder_counts.items():
        check_archive(os.path.join(dest, name.replace("/", "_")), count)
    expect(env.run("verify", dest), 0, "the resumed batch verifies")


# ------------------------------------------------------- daily, scheduled use


def write_file(env, name, text):
    path = os.path.join(env.work, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def password_file(env):
    return write_file(env, "secret/pw.txt", PASSWORD + "\n")


def toml_str(text):
    return json.dumps(text)  # a JSON string is a valid TOML basic string here


def two_accounts(env, archive):
    pw = password_file(env)
    return """# two accounts of one user
[accounts.plain]
host = "127.0.0.1"
port = %d
user = %s
tls = "none"
password_command = %s

[accounts.secure]
host = "127.0.0.1"
port = %d
user = %s
tls = "implicit"
ca_file = %s
tls_verify = true
password_command = %s
archive = %s
include = ["Old*", "Projects/%%"]
naming = "flat"
""" % (env.port, toml_str(USER), toml_str("cat " + shlex.quote(pw)), env.tls_port, toml_str(USER),
       toml_str(env.ca), toml_str("cat " + shlex.quote(pw)), toml_str(archive))


@test
def config_file_with_two_accounts(env):
    archive = env.tmp("account-archive")
    cfg = write_file(env, "cfg/config.toml", two_accounts(env, archive))
    no_pw = env.env(KQ_PASSWORD="")
    out, _ = expect(env.run("--config", cfg, "--account", "plain", "folders", env=no_pw), 0,
                    "account before the command")
    check(re.search(r"^Old Stuff\s+%d\s" % env.folder_counts["Old Stuff"], out, re.M), out)
    expect(env.run("folders", "--config", cfg, "--account", "secure", env=no_pw), 0,
           "account after the command (TLS, CA file from the account)")

    # The XDG place is found without --config.
    xdg = os.path.join(env.work, "xdg")
    os.makedirs(os.path.join(xdg, "kerquill"), exist_ok=True)
    shutil.copy(cfg, os.path.join(xdg, "kerquill", "config.toml"))
    xdg_env = env.env(KQ_PASSWORD="", XDG_CONFIG_HOME=xdg)
    out, err = expect(env.run("-v", "--account", "plain", "probe", "Sent", env=xdg_env), 0,
                      "config from $XDG_CONFIG_HOME")
    check(os.path.join(xdg, "kerquill", "config.toml") in err, "-v names the file: " + err)

    # Options on the command line win over the account.
    free = socket.socket()
    free.bind(("127.0.0.1", 0))
    dead = free.getsockname()[1]
    free.close()
    _, err = expect(env.run("--account", "plain", "folders", "--port", str(dead), env=xdg_env), 1,
                    "--port overrides the account's port")
    check(str(dead) in err, err)

    # archive, include and naming of the account drive export-all, verify and stats.
    out, _ = expect(env.run("--account", "secure", "export-all", "--quiet", env=xdg_env), 0,
                    "export-all into the account's archive")
    check(sorted(os.listdir(archive)) == ["Old Stuff", "Projects_2024"], os.listdir(archive))
    check(all(re.match(r"uid-\d+\.eml$", l["file"]) for l in manifest_lines(os.path.join(archive, "Old Stuff"))),
          "naming = flat")
    expect(env.run("verify", "--account", "secure", env=xdg_env), 0, "verify of the account's archive")
    out, _ = expect(env.run("export", "Sent", "--account", "secure", "--quiet", env=xdg_env), 0,
                    "export FOLDER into ARCHIVE/FOLDER")
    check_archive(os.path.join(archive, "Sent"), env.folder_counts["Sent"])

    # Mistakes in the file name the file, the line and the key.
    _, err = expect(env.run("--account", "nope", "folders", env=xdg_env), 2, "unknown account")
    check("plain" in err and "secure" in err, "the known accounts are listed: " + err)
    bad = write_file(env, "cfg/bad-key.toml", "[accounts.a]\nhost = \"h\"\nprot = 993\n")
    _, err = expect(env.run("--config", bad, "--account", "a", "folders"), 2, "unknown key")
    check("bad-key.toml:3" in err and "prot" in err, err)
    bad = write_file(env, "cfg/bad-type.toml", "[accounts.a]\nhost = \"h\"\nport = \"143\"\n")
    _, err = expect(env.run("--config", bad, "--account", "a", "folders"), 2, "wrong type")
    check("bad-type.toml:3" in err and "port" in err and "integer" in err, err)
    _, err = expect(env.run("--config", os.path.join(env.work, "missing.toml"), "--account", "a", "folders"), 2,
                    "missing --config file")
    check("missing.toml" in err, err)
    _, err = expect(env.run("--account", "a", "folders"), 2, "--account without any file")
    check("config" in err, err)


@test
def password_and_token_commands(env):
    pw = password_file(env)
    counter = os.path.join(env.work, "secret", "runs")
    cmd = "echo run >> %s; cat %s" % (shlex.quote(counter), shlex.quote(pw))
    no_pw = env.env(KQ_PASSWORD="")
    for _ in range(2):
        expect(env.run("folders", *env.conn(), "--password-command", cmd, env=no_pw), 0, "--password-command")
    with open(counter) as f:
        check(len(f.read().split()) == 2, "the command runs for each connection")
    _, err = expect(env.run("folders", *env.conn(), "--password-command", "exit 3", env=no_pw), 1,
                    "a failing password command")
    check("password command failed" in err and "status 3" in err, err)
    _, err = expect(env.run("folders", *env.conn(), "--password-command", "true", env=no_pw), 1,
                    "a password command that prints nothing")
    check("printed nothing" in err, err)
    # The sandbox takes the password as bearer token.
    expect(env.run("folders", *env.conn(tls=True), "--oauth-token-command", "cat " + shlex.quote(pw), env=no_pw),
           0, "--oauth-token-command")
    cfg = write_file(env, "cfg/token.toml", """[accounts.t]
host = "127.0.0.1"
port = %d
user = %s
ca_file = %s
oauth_token_command = %s
""" % (env.tls_port, toml_str(USER), toml_str(env.ca), toml_str("cat " + shlex.quote(pw))))
    expect(env.run("--config", cfg, "--account", "t", "folders", env=no_pw), 0, "oauth_token_command")


def folder_dirs(directory):
    return sorted(d for d in os.listdir(directory) if os.path.isdir(os.path.join(directory, d)))


@test
def include_and_exclude_patterns(env):
    dest = env.tmp("patterns-1")
    out, _ = expect(env.run("export-all", dest, "--exclude", "Projects*", "--exclude", "Sent",
                            *env.conn()), 0, "export-all --exclude")
    check(folder_dirs(dest) == ["Archive", "INBOX", "Old Stuff"], folder_dirs(dest))
    want = sum(env.folder_counts[f] for f in ("Archive", "INBOX", "Old Stuff"))
    check("Archived %d messages" % want in out, out)

    dest = env.tmp("patterns-2")
    expect(env.run("export-all", dest, "--include", "%", "--exclude", "inbox", "--quiet", *env.conn()), 0,
           "% does not cross the hierarchy delimiter; INBOX in any case")
    check(folder_dirs(dest) == ["Archive", "Old Stuff", "Projects", "Sent"], folder_dirs(dest))

    dest = env.tmp("patterns-3")
    expect(env.run("export-all", dest, "--include", "Projects/*", "--quiet", *env.conn()), 0, "--include")
    check(folder_dirs(dest) == ["Projects_2024"], folder_dirs(dest))

    _, err = expect(env.run("export-all", env.tmp("patterns-4"), "--include", "Nothing*", "--quiet", *env.conn()),
                    1, "no folder matches")
    check("no folder" in err, err)


def secret_in_process(pid, secret):
    """True when the secret shows in the command line or environment of the
    process or any other on the machine (what ps and /proc show)."""
    needle = secret.encode("utf-8")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        files = ["cmdline"] + (["environ"] if int(entry) == pid else [])
        for name in files:
            try:
                with open(os.path.join("/proc", entry, name), "rb") as f:
                    if needle in f.read():
                        return True
            except OSError:
                pass
    return False


@test
def sigterm_and_sighup_stop_cleanly(env):
    proxy = ThrottleProxy(env.port)
    pw = password_file(env)
    no_pw = env.env(KQ_PASSWORD="")
    dest = env.tmp("export-sigterm")
    n = env.folder_counts["INBOX"]
    try:
        p = subprocess.Popen([env.tool, "export", "INBOX", dest, "--progress-interval", "1",
                              "--password-command", "cat " + shlex.quote(pw), *env.conn(port=proxy.port)],
                             env=no_pw, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for(lambda: entries(dest) >= 2 or p.poll() is not None, 120, "the first messages")
            check(p.poll() is None, "the throttled export is still running")
            check(not secret_in_process(p.pid, PASSWORD), "the password shows in no process list or environment")
            p.send_signal(signal.SIGTERM)
            out, err = p.communicate(timeout=60)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        err = err.decode("utf-8", "replace")
        check(p.returncode == 143, "SIGTERM stops cleanly with 143, got %d: %s" % (p.returncode, err[-1500:]))
        check("resumable" in err, err[-1500:])
        check(os.path.exists(os.path.join(dest, "resume.json")), "resume.json written")
        stored = entries(dest)
        check(0 < stored < n, "stopped part way (%d of %d)" % (stored, n))
        expect(env.run("verify", dest), 0, "the part archive verifies")
        out, _ = expect(env.run("export", "INBOX", dest, *env.conn()), 0, "the resumed export")
        m = re.search(r"^New since the last run: (\d+) messages?\.$", out, re.M)
        check(m and n - stored <= int(m.group(1)) <= n - stored + 9, "the re-run says what was new: " + out)
        check_archive(dest, n)

        # SIGHUP (a closed terminal or session) during export-all.
        dest = env.tmp("export-all-sighup")
        p = subprocess.Popen([env.tool, "export-all", dest, "--progress-interval", "1", *env.conn(port=proxy.port)],
                             env=env.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        def stored_all():
            return sum(entries(os.path.join(dest, d)) for d in os.listdir(dest)) if os.path.isdir(dest) else 0
        try:
            wait_for(lambda: stored_all() >= 12 or p.poll() is not None, 120, "the first messages")
            check(p.poll() is None, "the throttled batch is still running")
            p.send_signal(signal.SIGHUP)
            out, err = p.communicate(timeout=60)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        err = err.decode("utf-8", "replace")
        check(p.returncode == 129 and "resumable" in err, "SIGHUP: %d %s" % (p.returncode, err[-1500:]))
    finally:
        proxy.close()
    out, _ = expect(env.run("export-all", dest, "--quiet", *env.conn()), 0, "the resumed batch")
    for name, count in env.folder_counts.items():
        check_archive(os.path.join(dest, name.replace("/", "_")), count)


def library_has(word):
    """Whether the library's sources mention a feature yet (it is being built
    alongside the tool)."""
    for root in ("src", "include"):
        for base, _, files in os.walk(os.path.join(ENV_SOURCE[0], root)):
            for name in files:
                try:
                    with open(os.path.join(base, name), encoding="utf-8", errors="replace") as f:
                        if word.lower() in f.read().lower():
                            return True
                except OSError:
                    pass
    return False


ENV_SOURCE = [""]
ENV = [None]


@test
def verbose_output_hides_secrets(env):
    _, err = expect(env.run("-v", "folders", *env.conn()), 0, "-v")
    check("connecting to 127.0.0.1:%d" % env.port in err and "logged in" in err, err)
    command = "cat " + shlex.quote(password_file(env))
    _, err = expect(env.run("-v", "folders", "--password-command", command, *env.conn(), env=env.env(KQ_PASSWORD="")),
                    0, "-v with a password command")
    check("running the password command" in err and password_file(env) not in err,
          "-v does not show the command line: " + err)
    quoted = json.dumps(PASSWORD)[1:-1]
    for argv, what in (((*env.conn(),), "LOGIN over plain IMAP"),
                       ((*env.conn(tls=True), "--oauth-token-file", password_file(env)), "XOAUTH2 over TLS")):
        out, err = expect(env.run("folders", "-vv", *argv), 0, "-vv with " + what)
        for form in (PASSWORD, quoted, PASSWORD.encode("utf-8").hex()):
            check(form not in out + err, "-vv shows no password (%s): %s" % (what, err[-3000:]))
        if re.search(r"^C: ", err, re.M):
            check(re.search(r"^S: ", err, re.M), "the server's side is traced too")
        else:
            print("note  verbose_output_hides_secrets: the library does not trace KQ_DEBUG=imap yet; "
                  "only the absence of the password was checked")


@test
def starttls(env):
    if not library_has("starttls"):
        print("note  starttls: skipped, the library has no STARTTLS yet (\"ssl\": 2)")
        return
    expect(env.run("folders", "--starttls", "--host", "127.0.0.1", "--port", str(env.port), "--user", USER,
                   "--ca-file", env.ca), 0, "--starttls")
    cfg = write_file(env, "cfg/starttls.toml", """[accounts.s]
host = "127.0.0.1"
port = %d
user = %s
tls = "starttls"
ca_file = %s
""" % (env.port, toml_str(USER), toml_str(env.ca)))
    expect(env.run("--config", cfg, "folders"), 0, "tls = starttls (the one account of the file)")
    _, err = expect(env.run("folders", "--starttls", "--host", "127.0.0.1", "--port", str(env.port), "--user",
                            USER), 1, "STARTTLS checks the certificate")


@test
def export_reports(env):
    dest = env.tmp("reports")
    out, err = expect(env.run("export-all", dest, "--folder", "Old Stuff", "--progress-interval", "1",
                              *env.conn()), 0, "export-all --folder")
    rows = [l for l in out.splitlines() if l and not l.startswith(("FOLDER", "Archived", "New", "Check"))]
    check(len(rows) == 1 and rows[0].startswith("Old Stuff"), "only that folder's line: " + out)
    check("Archived %d messages" % env.folder_counts["Old Stuff"] in out, out)
    expect(env.run("export-all", dest, "--folder", "Sent", "--quiet", *env.conn()), 0, "a second folder")
    out, _ = expect(env.run("export-all", dest, "--folder", "Old Stuff", *env.conn()), 0, "again")
    check("Archived %d messages" % env.folder_counts["Old Stuff"] in out, "the totals stay that folder's: " + out)
    check("New since the last run: 0 messages." in out, out)

    # One new message arrives; the next run says so.
    sent = os.path.join(env.maildir, ".Sent")
    with open(os.path.join(sent, "new", "%d.M1P1.kqnew" % int(time.time())), "wb") as f:
        f.write(b"From: a@example.org\r\nTo: b@example.org\r\nSubject: fresh\r\n"
                b"Message-ID: <fresh@example.org>\r\n\r\nnew text\r\n")
    subprocess.run(["bash", env.script("dovecot_sandbox.sh"), "fix-owner", env.sandbox], check=True)
    env.folder_counts["Sent"] += 1
    out, _ = expect(env.run("export-all", dest, "--folder", "Sent", *env.conn()), 0, "after new mail")
    check("New since the last run: 1 message." in out, out)

    # No progress line reads 0/0 before the job has counted its messages.
    dest = env.tmp("reports-progress")
    _, err = expect(env.run("export", "Archive", dest, "--progress-interval", "1", *env.conn()), 0, "export")
    lines = [l for l in err.splitlines() if l.startswith("progress:")]
    check(lines and all(" 0/0 " not in l for l in lines), "no 0/0 line: %r" % lines[:3])
    _, err = expect(env.run("export", "Archive", dest, "--progress-interval", "1", *env.conn()), 0, "re-run")
    check(" 0/0 " not in err and "nothing new" in err, err)


@test
def export_all_passes_over_an_unreadable_folder(env):
    # A user of its own, whose one folder the server lists but cannot read.
    user = "cli-locked"
    subprocess.run(["bash", env.script("dovecot_sandbox.sh"), "add-user", env.sandbox, user, PASSWORD], check=True)
    maildir = subprocess.run(["bash", env.script("dovecot_sandbox.sh"), "maildir", env.sandbox, user],
                             check=True, capture_output=True, text=True).stdout.strip()
    for folder in ("", ".Locked"):
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, folder, sub), exist_ok=True)
        with open(os.path.join(maildir, folder, "cur", "1.M1P1.kq:2,S"), "wb") as f:
            f.write(b"From: a@example.org\r\nTo: b@example.org\r\nSubject: one\r\n"
                    b"Message-ID: <one%s@example.org>\r\n\r\ntext\r\n" % folder.encode())
    subprocess.run(["bash", env.script("dovecot_sandbox.sh"), "fix-owner", env.sandbox], check=True)
    locked = os.path.join(maildir, ".Locked")
    os.chmod(locked, 0)
    conn = ("--host", "127.0.0.1", "--port", str(env.port), "--plain", "--user", user)
    try:
        # Dovecot looks at its passwd file again only once a second.
        wait_for(lambda: env.run("folders", *conn)[0] == 0, 30, "the new user's first login")
        dest = env.tmp("export-all-locked")
        out, err = expect(env.run("export-all", dest, *conn), 0, "export-all with an unreadable folder")
    finally:
        os.chmod(locked, 0o700)
    warnings = [l for l in err.splitlines() if l.startswith("kerquill: warning: folder Locked is not readable: ")]
    check(len(warnings) == 1 and warnings[0].endswith("; passed over"), "one warning: " + err)
    check("Passed over 1 unreadable folder: Locked." in out, out)
    check(os.listdir(dest) == ["INBOX"], os.listdir(dest))
    check_archive(os.path.join(dest, "INBOX"), 1)


# ------------------------------------------------- output for scripts and cron


def listed_folders(out):
    """Folder names of a `folders` table in a pipe: every line but the total."""
    return [re.sub(r"\s+\d+\s+(?:\d+-\d+|-)$", "", l) for l in out.splitlines()[:-1] if l.strip()]


def imap_session():
    import imaplib
    m = imaplib.IMAP4("127.0.0.1", ENV[0].port)
    # AUTHENTICATE PLAIN: the password is not ASCII, which LOGIN cannot send.
    m.authenticate("PLAIN", lambda _: b"\0" + USER.encode() + b"\0" + PASSWORD.encode())
    return m


@test
def folders_come_inbox_first_with_utf8_names(env):
    m = imap_session()
    box = "Entw&APw-rfe"  # "Entwürfe" in modified UTF-7
    m.create(box)
    m.append(box, None, None, b"Subject: draft\r\nMessage-ID: <draft@x>\r\n\r\ntext\r\n")
    try:
        out, _ = expect(env.run("folders", *env.conn()), 0, "folders")
        names = listed_folders(out)
        check(out.startswith("INBOX"), "the first line is INBOX's: " + out)
        want = ["INBOX"] + sorted(n for n in list(env.folder_counts) + ["Entwürfe"] if n != "INBOX")
        check(names == want, "INBOX, then name order: %r" % names)
        check("Entw&APw-rfe" not in out, "no modified UTF-7 in the table: " + out)

        # The order of the batch, its progress and its closing table.
        dest = env.tmp("utf8-names")
        out, err = expect(env.run("export-all", dest, *env.conn()), 0, "export-all")
        rows = [l.split("  ")[0] for l in out.splitlines()[1:] if not l.startswith(("Archived", "New", "Check"))]
        check(rows == want, "closing table in listing order: %r" % rows)
        closing = [l for l in err.splitlines() if re.match(r"progress: .*  done: ", l)]
        check([l[len("progress: "):l.index("  done: ")] for l in closing] == want,
              "one closing line per folder, in order: %r" % closing)
        check(os.path.isdir(os.path.join(dest, "Entwürfe")), os.listdir(dest))

        dest = env.tmp("utf8-exclude")
        expect(env.run("export-all", dest, "--exclude", "Entwürfe", "--quiet", *env.conn()), 0, "--exclude UTF-8")
        check("Entwürfe" not in os.listdir(dest) and "INBOX" in os.listdir(dest), os.listdir(dest))
    finally:
        # The other tests count the mailbox's folders.
        m.delete(box)
        m.logout()


@test
def quiet_and_json_events_for_scripts(env):
    dest = env.tmp("quiet")
    out, err = expect(env.run("export-all", dest, "--quiet", *env.conn()), 0, "export-all --quiet")
    check(out == "" and err == "", "nothing at all on success: %r %r" % (out, err))
    out, err = expect(env.run("export", "Sent", env.tmp("quiet-one"), "--quiet", *env.conn()), 0, "export --quiet")
    check(out == "" and err == "", "export is silent too: %r %r" % (out, err))

    dest = env.tmp("json-events")
    out, err = expect(env.run("export-all", dest, "--log-format", "json", *env.conn()), 0, "--log-format json")
    events = [json.loads(l) for l in out.splitlines()]
    check(all(isinstance(e.get("time"), str) and e.get("event") for e in events), "every line an event: " + out)
    done = {e["folder"]: e for e in events if e["event"] == "folder_done"}
    check(set(done) == set(env.folder_counts), "a done event per folder: %r" % sorted(done))
    check(all(done[f]["new"] == c and done[f]["messages"] == c for f, c in env.folder_counts.items()), out)
    started = [e["folder"] for e in events if e["event"] == "folder_started"]
    check(sorted(started) == sorted(env.folder_counts), started)
    totals = [e for e in events if e["event"] == "totals"]
    check(len(totals) == 1 and totals[0]["messages"] == sum(env.folder_counts.values()), totals)

    _, err = expect(env.run("export-all", dest, "--log-format", "yaml", *env.conn()), 2, "unknown log format")
    check("--log-format" in err, err)
    out, _ = expect(env.run("export-all", dest, "--folder", "Nope", "--log-format", "json", *env.conn()), 1,
                    "a failing run")
    events = [json.loads(l) for l in out.splitlines()]
    check([e["folder"] for e in events if e["event"] == "folder_failed"] == ["Nope"], out)
    check(any(e["event"] == "error" and e["exit"] == 1 for e in events), out)


@test
def a_held_archive_refuses_a_second_run(env):
    # Another run's hold, taken the way the library takes it; the message
    # names the pid it wrote.
    dest = env.tmp("held")
    os.makedirs(dest, exist_ok=True)
    with open(os.path.join(dest, ".kerquill.lock"), "w") as hold:
        fcntl.flock(hold, fcntl.LOCK_EX | fcntl.LOCK_NB)
        hold.write("%d\n" % os.getpid())
        hold.flush()
        for cmd in (["export", "INBOX", dest], ["export-all", dest]):
            _, err = expect(env.run(*cmd, *env.conn()), 75, " ".join(cmd[:1]) + " on a held archive")
            check("archive %s is in use by another run (pid %d)" % (dest, os.getpid()) in err, err)
        check(sorted(os.listdir(dest)) == [".kerquill.lock"], "nothing written: %r" % os.listdir(dest))
    expect(env.run("export", "INBOX", dest, "--quiet", *env.conn()), 0, "export once the hold is gone")
    check_archive(dest, env.folder_counts["INBOX"])


@test
def progress_lines_in_a_log(env):
    dest = env.tmp("progress-log")
    interval = 2
    start = time.time()
    _, err = expect(env.run("export-all", dest, "--progress-interval", str(interval), *env.conn()), 0,
                    "export-all into a log")
    elapsed = time.time() - start
    lines = [l for l in err.splitlines() if l.startswith("progress: ")]
    names = set(env.folder_counts)
    for l in lines:
        check(any(l.startswith("progress: %s " % n) for n in names), "names a folder: " + l)
        check("uid=" not in l, "no message subjects without -v: " + l)
    closing = [l for l in lines if "  done: " in l]
    check(len(closing) == len(names), "one closing line per folder: %r" % closing)
    for n, c in env.folder_counts.items():
        check("progress: %s  done: %d new message" % (n, c) in err, "%s's own count: %s" % (n, err))
    # Besides the closing lines, one line per interval while anything runs.
    periodic = len(lines) - len(closing)
    check(periodic <= elapsed / interval + 2, "%d periodic lines in %.1f s: %r" % (periodic, elapsed, lines))

    # A failed folder is called failed, not done.
    _, err = expect(env.run("export-all", env.tmp("progress-fail"), "--folder", "Nope", "--folder", "Sent",
                            *env.conn()), 1, "one folder fails")
    check(re.search(r"^progress: Nope  failed: ", err, re.M) and "Nope  done" not in err, err)


@test
def new_mail_is_counted_under_its_folder(env):
    dest = env.tmp("new-mail")
    expect(env.run("export-all", dest, "--quiet", *env.conn()), 0, "first run")
    with open(os.path.join(env.maildir, "new", "%d.M2P2.kqnew" % int(time.time())), "wb") as f:
        f.write(b"From: a@example.org\r\nTo: b@example.org\r\nSubject: fresh in the inbox\r\n"
                b"Message-ID: <fresh-inbox@example.org>\r\n\r\nnew text\r\n")
    subprocess.run(["bash", env.script("dovecot_sandbox.sh"), "fix-owner", env.sandbox], check=True)
    env.folder_counts["INBOX"] += 1
    out, err = expect(env.run("export-all", dest, *env.conn()), 0, "after new mail in INBOX")
    new = {m.group(1): int(m.group(2)) for m in re.finditer(r"^(.+?)\s+\d+\s+\S+ \S+\s+(\d+)$", out, re.M)}
    check(new == dict((f, 1 if f == "INBOX" else 0) for f in env.folder_counts), "NEW per folder: %r" % new)
    check("progress: INBOX  done: 1 new message, " in err and err.count("done: 1 new message") == 1, err)


@test
def dry_run_counts_and_writes_nothing(env):
    dest = env.tmp("dry-run")
    expect(env.run("export-all", dest, "--folder", "Sent", "--quiet", *env.conn()), 0, "one folder archived")
    before = sorted(os.listdir(dest))
    out, _ = expect(env.run("export-all", dest, "--dry-run", "--log-format", "json", *env.conn()), 0, "--dry-run")
    plan = {e["folder"]: e for e in map(json.loads, out.splitlines()) if e["event"] == "folder_plan"}
    check(set(plan) == set(env.folder_counts), plan)
    for f, c in env.folder_counts.items():
        check(plan[f]["on_server"] == c, "%s on the server: %r" % (f, plan[f]))
        want = (c, 0) if f == "Sent" else (0, c)
        check((plan[f]["archived"], plan[f]["to_fetch"]) == want, "%s: %r" % (f, plan[f]))
    check(sorted(os.listdir(dest)) == before, "nothing written: %r" % os.listdir(dest))

    fresh = env.tmp("dry-run-fresh")
    out, _ = expect(env.run("export-all", fresh, "--dry-run", *env.conn()), 0, "--dry-run into a new directory")
    check(not os.path.exists(fresh), "no directory created")
    check(re.search(r"^INBOX\s+%d\s+0\s+%d$" % ((env.folder_counts["INBOX"],) * 2), out, re.M), out)
    check("Dry run: %d messages to fetch" % sum(env.folder_counts.values()) in out, out)


@test
def since_exports_only_newer_messages(env):
    days = sorted(short_day(r["date"]) for r in search_json(env, "Archive"))
    day = days[len(days) // 2]
    want = len(search_json(env, "Archive", "--since", day))
    check(0 < want < len(days), "the day splits the folder (%s: %d of %d)" % (day, want, len(days)))
    dest = env.tmp("since")
    expect(env.run("export-all", dest, "--folder", "Archive", "--since", day, "--quiet", *env.conn()), 0, "--since")
    check_archive(os.path.join(dest, "Archive"), want)
    # The same archive, completed by a run without the date.
    out, _ = expect(env.run("export-all", dest, "--folder", "Archive", *env.conn()), 0, "then everything")
    check("New since the last run: %d messages." % (len(days) - want) in out, out)
    check_archive(os.path.join(dest, "Archive"), len(days))

    for bad in ("2024-02-30", "2024-1-5", "yesterday"):
        _, err = expect(env.run("export-all", dest, "--since", bad, *env.conn()), 2, "--since " + bad)
        check("--since wants a day written YYYY-MM-DD" in err and bad in err, err)


def short_day(internal_date):
    """' 7-Jul-2024 09:05:00 +0200' -> '2024-07-07' (the server's day is close enough to split a folder)."""
    d = time.strptime(internal_date.split()[0], "%d-%b-%Y")
    return time.strftime("%Y-%m-%d", d)


@test
def several_accounts_and_all_accounts(env):
    pw = password_file(env)
    free = socket.socket()
    free.bind(("127.0.0.1", 0))
    dead = free.getsockname()[1]
    free.close()
    cfg = write_file(env, "cfg/several.toml", """[accounts.work]
host = "127.0.0.1"
port = %d
user = %s
tls = "none"
password_command = %s

[accounts.broken]
host = "127.0.0.1"
port = %d
user = %s
tls = "none"
password_command = %s
""" % (env.port, toml_str(USER), toml_str("cat " + shlex.quote(pw)), dead, toml_str(USER),
       toml_str("cat " + shlex.quote(pw))))
    _, err = expect(env.run("--config", cfg, "folders"), 2, "several accounts, none chosen")
    check(err.strip() == "kerquill: several accounts in %s: choose one with --account (work, broken) "
          "or use --all-accounts" % cfg, err)
    out, err = expect(env.run("--config", cfg, "--all-accounts", "folders"), 4, "--all-accounts, one failing")
    check(out.startswith("== account work ==\nINBOX") and "== account broken ==" in out, out)
    check("kerquill: 1 of 2 accounts failed: broken" in err, err)
    out, _ = expect(env.run("--config", cfg, "--all-accounts", "export-all", env.tmp("all-accounts"),
                            "--folder", "Sent", "--log-format", "json"), 4, "events name the account")
    events = [json.loads(l) for l in out.splitlines()]
    check({e.get("account") for e in events if e["event"] == "folder_done"} == {"work"}, out)
    check(any(e["event"] == "error" and e["account"] == "broken" for e in events), out)


@test
def export_all_failure_names_the_folder_that_failed(env):
    # The batch goes on after "Nope" and ends at "Sent": the failure is Nope's.
    dest = env.tmp("export-all-nope")
    _, err = expect(env.run("export-all", dest, "--folder", "Nope", "--folder", "Sent", "--quiet", *env.conn()), 1,
                    "export-all with a folder the server does not have")
    check("the export of folder Nope failed: search Nope failed: cannot open mailbox Nope: " in err, err)
    check("Sent" not in err, err)
    check_archive(os.path.join(dest, "Sent"), env.folder_counts["Sent"])


@test
def export_failure_gives_the_jobs_reason(env):
    # The archive directory cannot be made: the start says so with the
    # system's reason, never "unknown error".
    blocker = env.tmp("export-blocker")
    with open(blocker, "wb") as f:
        f.write(b"a file where a directory should be\n")
    dest = os.path.join(blocker, "archive")
    _, err = expect(env.run("export", "Archive", dest, "--quiet", *env.conn()), 1,
                    "export into a directory that cannot be made")
    check("cannot write " + dest in err, err)
    check("unknown error" not in err, err)


# ------------------------------------------------------------------ packages


@test
def installed_package_and_c_example(env):
    prefix = env.tmp("prefix")
    subprocess.run(["cmake", "--install", env.build, "--prefix", prefix], check=True,
                   capture_output=True)
    for rel in ("include/kerquill.h", "lib/libkerquill.so", "lib/libyyjson.so.0",
                "lib/cmake/kerquill/kerquillConfig.cmake", "lib/pkgconfig/kerquill.pc", "bin/kerquill"):
        check(os.path.exists(os.path.join(prefix, rel)), "installed " + rel)
    # The tool's man page, completion and the systemd user units for a nightly run.
    if shutil.which("help2man"):
        with open(os.path.join(prefix, "share", "man", "man1", "kerquill.1"), encoding="utf-8") as f:
            man = f.read()
        check(man.startswith(".\\\"") and ".TH KERQUILL" in man, "a man page: " + man[:200])
        for section in ("CONFIGURATION", "FOLDER PATTERNS", "SIGNALS", "password_command"):
            check(section in man, "the man page covers " + section)
        check("export\\-all" in man and "\\-\\-include" in man, "every command's options are in the man page")
    else:
        print("note  installed_package_and_c_example: help2man missing, man page not checked")
    unit = os.path.join(prefix, "share", "systemd", "user", "kerquill-export@.service")
    with open(unit, encoding="utf-8") as f:
        text = f.read()
    check("ExecStart=%s/bin/kerquill --account %%i export-all" % prefix in text, "the service runs the installed tool: " + text)
    with open(os.path.join(prefix, "share", "systemd", "user", "kerquill-export@.timer"), encoding="utf-8") as f:
        check("OnCalendar=" in f.read(), "a timer")
    completion = os.path.join(prefix, "share", "bash-completion", "completions", "kerquill")
    cfg = write_file(env, "cfg/completion.toml", '[accounts.work]\nhost = "h"\n\n[accounts."home mail"]\nhost = "g"\n')
    def complete(*words):
        script = ('source %s; COMP_WORDS=(%s); COMP_CWORD=%d; _kerquill; printf "%%s\\n" "${COMPREPLY[@]}"'
                  % (shlex.quote(completion), " ".join(shlex.quote(w) for w in words), len(words) - 1))
        p = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
        check(p.returncode == 0, "completion ran: " + p.stderr)
        return p.stdout.split("\n")
    check({"export", "export-all"} <= set(complete("kerquill", "exp")), "commands complete")
    check("--exclude" in complete("kerquill", "export-all", "--ex"), "export-all options complete")
    check("--exclude" not in complete("kerquill", "export", "--ex"), "export has no --exclude")
    check(set(complete("kerquill", "--config", cfg, "--account", "")) >= {"work", "home\\ mail"},
          "accounts complete, blanks escaped: %r" % complete("kerquill", "--config", cfg, "--account", ""))
    check(complete("kerquill", "--config", cfg, "--account", "h") == ["home\\ mail", ""], "by prefix")

    # The installed tool finds its library through its run path alone.
    clean = env.env()
    clean.pop("LD_LIBRARY_PATH", None)
    expect(subprocess_run([os.path.join(prefix, "bin", "kerquill"), "folders", *env.conn()], clean),
           0, "installed kerquill")

    build = env.tmp("hello-build")
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    for cmd in (["cmake", "-S", os.path.join(env.source, "examples"), "-B", build, *gen,
                 "-DCMAKE_PREFIX_PATH=" + prefix],
                ["cmake", "--build", build]):
        p = subprocess.run(cmd, capture_output=True, text=True)
        check(p.returncode == 0, "%s failed:\n%s%s" % (" ".join(cmd), p.stdout[-3000:], p.stderr[-3000:]))
    hello_env = env.env(KQ_HOST="127.0.0.1", KQ_PORT=str(env.tls_port), KQ_USER=USER, KQ_CA_FILE=env.ca)
    hello_env.pop("LD_LIBRARY_PATH", None)
    out, _ = expect(subprocess_run([os.path.join(build, "hello")], hello_env), 0, "the C example")
    check("INBOX holds %d messages" % env.folder_counts["INBOX"] in out, out)
    # The same host over plain TCP.
    plain_env = env.env(KQ_HOST="127.0.0.1", KQ_PORT=str(env.port), KQ_USER=USER, KQ_PLAIN="1")
    plain_env.pop("LD_LIBRARY_PATH", None)
    out, _ = expect(subprocess_run([os.path.join(build, "hello")], plain_env), 0, "the C example over plain TCP")
    check("INBOX holds %d messages" % env.folder_counts["INBOX"] in out, out)

    pc = subprocess.run(["pkg-config", "--cflags", "--libs", "kerquill"], capture_output=True, text=True,
                        env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig")))
    if pc.returncode == 0 or shutil.which("pkg-config"):
        check(pc.returncode == 0 and "-lkerquill" in pc.stdout, "pkg-config: " + pc.stdout + pc.stderr)


def subprocess_run(argv, env):
    p = subprocess.run(argv, capture_output=True, env=env, stdin=subprocess.DEVNULL, timeout=RUN_LIMIT_S)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


@test
def python_ctypes_example(env):
    example = os.path.join(env.source, "examples", "kerquill.py")
    py_env = env.env(KQ_HOST="127.0.0.1", KQ_PORT=str(env.port), KQ_USER=USER, KQ_PLAIN="1",
                     KERQUILL_LIB=env.lib)
    out, _ = expect(subprocess_run([sys.executable, example, "Projects/2024"], py_env), 0, "kerquill.py")
    check("Projects/2024: %d messages" % env.folder_counts["Projects/2024"] in out, out)

    # The wrapper as a module: every prototype resolves and an export works.
    sys.path.insert(0, os.path.dirname(example))
    try:
        import kerquill as kqpy
    finally:
        sys.path.pop(0)
    with open(os.path.join(env.source, "include", "kerquill.h")) as f:
        declared = set(re.findall(r"KQ_API [^(]*\b(kq_[a-z_]+)\(", f.read()))
    check(declared == set(kqpy.PROTOTYPES), "prototypes match the header: %r" % (declared ^ set(kqpy.PROTOTYPES)))
    kq = kqpy.Kerquill(env.lib)
    try:
        kq.connect("127.0.0.1", USER, PASSWORD, port=env.port, ssl=False)
        rows = kq.search("Old Stuff")
        check(len(rows) == env.folder_counts["Old Stuff"], "search through ctypes")
        dest = env.tmp("py-export")
        stats = kq.export(dest)
        check(stats["done"] == len(rows), "export through ctypes: %r" % stats)
        report = kq.verify(dest)
        check(report["ok"] == len(rows) and report["corrupt"] == 0, report)
    finally:
        kq.disconnect()


@test
def csharp_pinvoke_example(env):
    mcs, mono = shutil.which("mcs"), shutil.which("mono")
    if not mcs or not mono:
        print("note  csharp_pinvoke_example: skipped, Mono's mcs and mono are missing (scripts/deps.sh installs mono-mcs)")
        return
    src = os.path.join(env.source, "examples", "csharp")
    with open(os.path.join(src, "Kerquill.cs"), encoding="utf-8") as f:
        declared = set(re.findall(r"static extern \w+ (kq_[a-z_]+)\(", f.read()))
    with open(os.path.join(env.source, "include", "kerquill.h")) as f:
        header = set(re.findall(r"KQ_API [^(]*\b(kq_[a-z_]+)\(", f.read()))
    check(declared == header, "the P/Invoke declarations cover the header: %r" % (declared ^ header))

    exe = os.path.join(env.tmp("csharp"), "kerquill-demo.exe")
    os.makedirs(os.path.dirname(exe))
    p = subprocess.run([mcs, "-warnaserror", "-out:" + exe, os.path.join(src, "Kerquill.cs"),
                        os.path.join(src, "KerquillDemo.cs")], capture_output=True, text=True)
    check(p.returncode == 0, "mcs: " + p.stdout + p.stderr)
    dest = env.tmp("csharp-archive")
    cs_env = env.env(KQ_HOST="127.0.0.1", KQ_PORT=str(env.tls_port), KQ_USER=USER, KQ_CA_FILE=env.ca,
                     LD_LIBRARY_PATH=env.build)
    out, _ = expect(subprocess_run([mono, exe, "Old Stuff", dest], cs_env), 0, "the C# example")
    n = env.folder_counts["Old Stuff"]
    check("Old Stuff: %d messages" % n in out, out)
    lines = dict(l.split(": ", 1) for l in out.splitlines() if ": " in l)
    check(json.loads(lines["export"])["done"] == n, out)
    check(json.loads(lines["verify"])["ok"] == n, out)
    check(len(json.loads(lines["folders"])) == len(env.folder_counts), out)
    check_archive(dest, n)
    _, err = expect(subprocess_run([mono, exe, "Old Stuff"], env.env(KQ_HOST="127.0.0.1", KQ_PORT=str(env.port),
                                                                    KQ_USER=USER, KQ_PLAIN="1", KQ_PASSWORD="wrong",
                                                                    LD_LIBRARY_PATH=env.build)),
                    1, "the C# example with a wrong password")
    check("authentication failed" in err.lower(), "the library's reason reaches C#: " + err)


# ------------------------------------------------------------------- runner


def main():
    def prepare(env, work, cleanups):
        ENV_SOURCE[0] = env.source
        ENV[0] = env
        return env
    return SUITE.main(Env, prepare)


if __name__ == "__main__":
    sys.exit(main())
