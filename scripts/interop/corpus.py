#!/usr/bin/env python3
"""Loads the interop corpus into a running server by APPEND, the same every
run (no clock, no randomness that is not seeded):

    corpus.py --port N --login NAME --password-env VAR --out FILE [--lock-command CMD]

Folders (names in UTF-8 here, sent in modified UTF-7 below the server's
personal namespace, levels joined with its delimiter):
  INBOX             text, HTML, RFC 2047 subjects, RFC 2231 attachment names,
                    an 8-bit body, a 1.5 MB message
  Entwürfe          non-ASCII name;  Entwürfe/Alt below it
  Projects/2024/Q1  nested three deep, made before its parents; Projects and
                    Projects/2024 then made and filled where the server lets a
                    folder hold both messages and folders
  Tom & Jerry       "&" in a name
  Sparse            130 appended, all but 10 expunged: gappy UIDs far above
                    the count
  Leer              empty
  Locked            listed but not readable: SETACL takes the read right away
                    where the server has ACL; else --lock-command FOLDER does
                    it outside IMAP

Writes FILE (JSON): the server's names, the locked folder, notes on what the
server could not take. Exit status 1 when loading failed.
"""
import argparse
import base64
import json
import os
import random
import shlex
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imapref import Ref, mutf7_encode  # noqa: E402

CRLF = b"\r\n"
SPARSE_TOTAL = 130
SPARSE_KEEP = [40, 49, 58, 67, 76, 85, 94, 103, 112, 129]  # positions (from 0) that stay


def internal_date(i):
    """A fixed INTERNALDATE per message, spread over years and zones."""
    zones = ["+0000", "+0200", "-0500", "+0530", "-0800", "+0100"]
    year = 2019 + i % 6
    month = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"][i % 12]
    day = 1 + (i * 7) % 28
    return f'"{day:02d}-{month}-{year} {(i * 5) % 24:02d}:{(i * 13) % 60:02d}:{(i * 29) % 60:02d} {zones[i % 6]}"'


def header_date(i):
    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
    return f"Mon, {1 + (i * 7) % 28} {months[i % 12]} {2019 + i % 6} {(i * 5) % 24:02d}:{(i * 13) % 60:02d}:00 +0000"


def headers(i, subject, extra=()):
    lines = [f"From: Sender {i} <sender{i}@example.org>", "To: Test User <kqtest@example.net>",
             f"Subject: {subject}", f"Date: {header_date(i)}", f"Message-ID: <corpus-{i}@interop.example>",
             "MIME-Version: 1.0", *extra]
    return CRLF.join(line.encode("utf-8") for line in lines) + CRLF


def text_message(i, subject, body=None):
    body = body or f"Message {i} of the interop corpus.\r\nSecond line.\r\n"
    return (headers(i, subject, ["Content-Type: text/plain; charset=us-ascii"]) + CRLF
            + body.encode("utf-8"))


def b64_lines(data):
    enc = base64.b64encode(data)
    return CRLF.join(enc[k:k + 76] for k in range(0, len(enc), 76)) + CRLF


def attachment_message(i, subject, disposition, payload, ctype="application/pdf"):
    boundary = f"=_corpus_{i}_boundary"
    return (headers(i, subject, [f'Content-Type: multipart/mixed; boundary="{boundary}"']) + CRLF
            + b"This is a multi-part message in MIME format." + CRLF
            + f"--{boundary}".encode() + CRLF
            + b"Content-Type: text/plain; charset=utf-8" + CRLF
            + b"Content-Transfer-Encoding: 8bit" + CRLF + CRLF
            + "See the attachment, grüße.".encode() + CRLF
            + f"--{boundary}".encode() + CRLF
            + f"Content-Type: {ctype}".encode() + CRLF
            + b"Content-Transfer-Encoding: base64" + CRLF
            + disposition.encode() + CRLF + CRLF
            + b64_lines(payload)
            + f"--{boundary}--".encode() + CRLF)


def pseudo_random(seed, n):
    r = random.Random(seed)
    return r.randbytes(n)


def inbox_messages():
    """(message bytes, internal date) for the INBOX, numbered from 1."""
    msgs = [
        text_message(1, "Plain ASCII subject"),
        text_message(2, "=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?="),              # Grüße aus Köln
        text_message(3, "=?ISO-8859-1?Q?Caf=E9_cr=E8me?= and more"),
        text_message(4, "=?UTF-8?Q?=E6=97=A5=E6=9C=AC=E8=AA=9E?=\r\n =?UTF-8?B?44Gu5Lu25ZCN?="),  # folded words
        text_message(5, "=?KOI8-R?B?8NLJ18XU?= mixed"),
        attachment_message(6, "RFC 2231 name", "Content-Disposition: attachment; "
                           "filename*=utf-8''%C3%A9t%C3%A9%20r%C3%A9sum%C3%A9.pdf", pseudo_random(6, 3000)),
        attachment_message(7, "RFC 2231 continuations", "Content-Disposition: attachment;\r\n"
                           " filename*0*=utf-8''%E6%97%A5%E6%9C%AC;\r\n filename*1*=%E8%AA%9E.pdf",
                           pseudo_random(7, 2000)),
        attachment_message(8, "=?UTF-8?B?QW5oYW5n?= with encoded-word name",
                           'Content-Disposition: attachment; filename="=?UTF-8?B?w5xiZXJzaWNodC5wZGY=?="',
                           pseudo_random(8, 1500)),
        (headers(9, "HTML only", ["Content-Type: text/html; charset=utf-8"]) + CRLF
         + b"<html><body><p>Hello &amp; welcome</p></body></html>" + CRLF),
        (headers(10, "8-bit body", ["Content-Type: text/plain; charset=utf-8",
                                     "Content-Transfer-Encoding: 8bit"]) + CRLF
         + "Umlaute: äöüß, Kyrillisch: Привет, CJK: 漢字.\r\n".encode()),
        attachment_message(11, "The big one (1.5 MB)", 'Content-Disposition: attachment; filename="big.bin"',
                           pseudo_random(11, 1_120_000), "application/octet-stream"),
        text_message(12, "Last of the INBOX"),
    ]
    return [(m, internal_date(n)) for n, m in enumerate(msgs, 1)]


def folder_messages(first, count, tag):
    return [(text_message(first + k, f"{tag} message {k + 1}"), internal_date(first + k)) for k in range(count)]


def plan():
    """[(levels, messages)], in the order the folders are made."""
    return [
        (["Entwürfe"], folder_messages(100, 5, "Draft")),
        (["Entwürfe", "Alt"], folder_messages(110, 2, "Old draft")),
        (["Projects", "2024", "Q1"], folder_messages(120, 4, "Q1")),
        (["Projects", "2024"], folder_messages(130, 2, "2024")),
        (["Projects"], folder_messages(140, 3, "Project")),
        (["Tom & Jerry"], folder_messages(150, 3, "Cartoon")),
        (["Leer"], []),
        (["Locked"], folder_messages(160, 2, "Secret")),
    ]


def increment_messages():
    """The three messages the checks append after the first export."""
    return [(text_message(900 + k, f"Arrived later {k + 1}"), internal_date(900 + k)) for k in range(3)]


class Loader:
    def __init__(self, args):
        self.args = args
        self.password = os.environ[args.password_env]
        self.ref = Ref(args.port, args.login, self.password)
        self.prefix, self.delim = self.ref.namespace()
        self.notes = []
        self.folders = {}  # UTF-8 path ("/" between levels) -> server name

    def name(self, levels):
        return self.prefix + self.delim.join(mutf7_encode(x) for x in levels)

    def create(self, levels):
        name = self.name(levels)
        typ, data = self.ref.m.create(f'"{name}"')
        if typ != "OK":
            # A parent made implicitly by an earlier child may already exist.
            if self.ref.select(name) is None and not any(n == name for _, _, n in self.ref.list_all()):
                return None, f"CREATE {name}: {data[0].decode(errors='replace')}"
        return name, None

    def fill(self, name, messages):
        self.ref.append_many(name, messages)

    def load(self):
        # Leftovers of an earlier run would change every UID: start clean.
        typ, data = self.ref.m.status("INBOX", "(MESSAGES)")
        if typ != "OK" or b"MESSAGES 0)" not in data[0]:
            raise RuntimeError(f"the INBOX is not empty ({data}): load the corpus into a new server only")
        self.fill("INBOX", inbox_messages())
        self.folders["INBOX"] = "INBOX"
        for levels, messages in plan():
            path = "/".join(levels)
            name, err = self.create(levels)
            if err:
                self.notes.append(f"{path} not made: {err}")
                continue
            try:
                self.fill(name, messages)
            except RuntimeError as e:
                self.notes.append(f"{path} holds no messages: {e}")
            self.folders[path] = name
        self.sparse()
        self.lock()

    def sparse(self):
        name, err = self.create(["Sparse"])
        if err:
            raise RuntimeError(err)
        self.folders["Sparse"] = name
        self.fill(name, folder_messages(200, SPARSE_TOTAL, "Sparse"))
        if self.ref.select(name, readonly=False) is None:
            raise RuntimeError(f"cannot select {name}")
        uids = self.ref.uids()
        if len(uids) != SPARSE_TOTAL:
            raise RuntimeError(f"{name} holds {len(uids)} messages after {SPARSE_TOTAL} appends")
        gone = [u for k, u in enumerate(uids) if k not in SPARSE_KEEP]
        for k in range(0, len(gone), 50):
            typ, data = self.ref.m.uid("STORE", ",".join(map(str, gone[k:k + 50])), "+FLAGS.SILENT", r"(\Deleted)")
            if typ != "OK":
                raise RuntimeError(f"STORE \\Deleted in {name}: {data}")
        typ, data = self.ref.m.expunge()
        if typ != "OK":
            raise RuntimeError(f"EXPUNGE in {name}: {data}")
        self.ref.m.close()

    def locked_now(self, name):
        """Whether a new session of the user is refused the folder."""
        other = Ref(self.args.port, self.args.login, self.password)
        try:
            return other.select(name) is None
        finally:
            other.close()

    def lock(self):
        name = self.folders.get("Locked")
        if name is None:
            return
        how = None
        if "ACL" in self.ref.m.capabilities:
            user = self.args.login
            for ident, rights in ((user, "l"), (user, "la"), ("owner", "l"), ("owner", "la")):
                typ, _ = self.ref.m.setacl(f'"{name}"', ident, rights)
                if typ == "OK" and self.locked_now(name):
                    how = f'SETACL "{ident}" "{rights}"'
                    break
        if how is None and self.args.lock_command:
            p = subprocess.run([*shlex.split(self.args.lock_command), name], capture_output=True, text=True)
            if p.returncode == 0 and self.locked_now(name):
                how = "file permissions (the server has no IMAP ACL)"
        if how is None:
            self.notes.append("Locked: the server cannot make a listed folder unreadable; it stays readable")
            self.locked = None
        else:
            self.notes.append(f"Locked: unreadable through {how}")
            self.locked = name

    def write(self, path):
        with open(path, "w") as f:
            json.dump({"prefix": self.prefix, "delimiter": self.delim, "folders": self.folders,
                       "locked": getattr(self, "locked", None), "notes": self.notes}, f,
                      indent=1, ensure_ascii=False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--login", required=True)
    ap.add_argument("--password-env", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--lock-command")
    args = ap.parse_args()
    loader = Loader(args)
    try:
        loader.load()
    except Exception as e:
        print(f"corpus: loading failed: {e}", file=sys.stderr)
        return 1
    finally:
        loader.ref.close()
    loader.write(args.out)
    for note in loader.notes:
        print(f"corpus: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
