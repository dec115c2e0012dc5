#!/usr/bin/env python3
"""The interop checks: the kerquill command-line tool against one running
server that holds the corpus (corpus.py), with the server itself, through
imaplib, as the reference.

    check.py --server NAME --port N --login NAME --password-env VAR
             --kerquill PATH --corpus FILE --work DIR

  a  folders    the folders the tool lists are those LIST gives, with the
                counts and UID ranges SELECT and UID SEARCH ALL give (zeros
                where the server refuses the folder)
  b  search     a search without filters finds every UID of UID SEARCH ALL;
                a search of the unreadable folder fails
  c  export     export of each folder and export-all hold every UID, each
                .eml byte for byte what UID FETCH BODY.PEEK[] returns
  d  rerun      export-all again: nothing new, the archive unchanged; export
                of each folder again: nothing stored
  e  increment  three appended to the INBOX and one expunged: export-all
                stores exactly the three, nothing else changes
  f  verify     verify finds every archive intact; stats counts what the
                manifests list and the server held
  g  restore    the largest folder's export restored into a new folder of
                the personal namespace holds every archived message once,
                with its INTERNALDATE; a second restore adds nothing

Every command runs with KQ_DEBUG=imap; its wire trace is kept in
WORK/logs/NN-COMMAND.log and named with each failure. Prints one line per
failure ("SERVER: FOLDER: what differs") and a summary line; exits 1 when
anything failed.
"""
import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
from imapref import Ref, mutf7_decode  # noqa: E402

# Only a guard against a hung command, not a speed test.
COMMAND_LIMIT_S = 600


def uid_text(uids, limit=30):
    uids = sorted(uids)
    shown = ",".join(map(str, uids[:limit]))
    return shown + (f",... ({len(uids)} in all)" if len(uids) > limit else "")


def own_headers_out(raw):
    """SHA-256 of a message without the header lines an mbox server keeps
    its own bookkeeping in (imap4d rewrites X-IMAPbase and X-UID in the
    first message of a folder), which a restore cannot carry over."""
    head, sep, body = raw.partition(b"\r\n\r\n")
    keep = [l for l in head.split(b"\r\n")
            if not re.match(rb"(?i)(x-imapbase|x-uid|status|x-status|x-keywords):", l)]
    return hashlib.sha256(b"\r\n".join(keep) + sep + body).hexdigest()


class Checks:
    def __init__(self, args):
        self.a = args
        self.password = os.environ[args.password_env]
        self.failures = []
        self.passed = []
        self.expunged = {}
        self.uidvalidity = {}
        self.ncmd = 0
        self.logs = os.path.join(args.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        with open(args.corpus) as f:
            self.corpus = json.load(f)
        self.ref = Ref(args.port, args.login, self.password)

    # ------------------------------------------------------------ helpers

    def fail(self, check, folder, text, log=None):
        where = f"{mutf7_decode(folder)}: " if folder else ""
        line = f"{self.a.server}: [{check}] {where}{text}"
        if log:
            line += f"  (trace: {log})"
        self.failures.append(line)
        print(line, flush=True)

    def kq(self, *argv, conn=True):
        """Runs the tool; returns (status, stdout, log path)."""
        self.ncmd += 1
        log = os.path.join(self.logs, f"{self.ncmd:02d}-{argv[0]}.log")
        cmd = [self.a.kerquill, *argv]
        if conn:
            cmd += ["--host", "127.0.0.1", "--port", str(self.a.port), "--plain", "--user", self.a.login]
        env = dict(os.environ, KQ_PASSWORD=self.password, KQ_DEBUG="imap",
                   XDG_CONFIG_HOME=os.path.join(self.a.work, "no-config"),
                   XDG_CONFIG_DIRS=os.path.join(self.a.work, "no-config"))
        for k in ("KQ_HOST", "KQ_USER", "KQ_PORT", "KQ_CA_FILE"):
            env.pop(k, None)
        with open(log, "wb") as err:
            err.write(("$ " + " ".join(cmd) + "\n").encode())
            err.flush()
            try:
                p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL,
                                   env=env, timeout=COMMAND_LIMIT_S)
            except subprocess.TimeoutExpired:
                return None, "", log
        out = p.stdout.decode("utf-8", "replace")
        with open(log, "ab") as err:
            err.write(b"--- stdout\n" + p.stdout)
        return p.returncode, out, log

    def last_stderr_line(self, log):
        """What the tool said on stderr, without the wire trace."""
        with open(log, "rb") as f:
            lines = [x for x in f.read().decode("utf-8", "replace").split("--- stdout")[0].splitlines()
                     if x and not x.startswith(("S: ", "C: ", "$ "))]
        return " ".join(lines)[:400]

    def server_view(self):
        """{name: (count, uids) or None when refused}, in LIST order."""
        view = {}
        for flags, _, name in self.ref.list_all():
            if name in view:
                continue
            if "\\noselect" in {f.lower() for f in flags} or "\\nonexistent" in {f.lower() for f in flags}:
                view[name] = None
                continue
            n = self.ref.select(name)
            view[name] = None if n is None else (n, self.ref.uids())
            if n is not None:
                self.uidvalidity[name] = self.ref.uidvalidity(name)
        if self.ref.m.state == "SELECTED":
            self.ref.m.close()
        return view

    def ref_meta(self, name, uids):
        """{uid: (RFC822.SIZE, INTERNALDATE text)} from the server."""
        out = {}
        if not uids:
            return out
        self.ref.select(name)
        typ, data = self.ref.m.uid("FETCH", "1:*", "(UID RFC822.SIZE INTERNALDATE)")
        for item in data:
            if not isinstance(item, bytes):
                continue
            u = re.search(rb"UID (\d+)", item)
            z = re.search(rb"RFC822\.SIZE (\d+)", item)
            d = re.search(rb'INTERNALDATE "([^"]*)"', item)
            if u and z and d:
                out[int(u.group(1))] = (int(z.group(1)), d.group(1).decode().strip())
        return out

    def readable(self, view):
        return [n for n, v in view.items() if v is not None]

    def fetch_all(self, name, uids):
        self.ref.select(name)
        return {u: self.ref.fetch_body(u) for u in uids}

    @staticmethod
    def manifest(dir_):
        """[(uid, file, entry)] of dir_/manifest.jsonl, [] when there is none."""
        path = os.path.join(dir_, "manifest.jsonl")
        out = []
        if not os.path.exists(path):
            return out
        with open(path, "rb") as f:
            for line in f:
                if line.strip():
                    e = json.loads(line)
                    # A flag line records changed flags, not a message.
                    if "file" not in e and "ts_flags" in e:
                        continue
                    out.append((int(e["uid"]), e["file"], e))
        return out

    @staticmethod
    def snapshot(dir_):
        """{relative path: digest} of every file; for resume.json only what
        it records as stored (its counters of the last run may change)."""
        snap = {}
        for top, _, files in os.walk(dir_):
            for fn in files:
                p = os.path.join(top, fn)
                with open(p, "rb") as f:
                    data = f.read()
                if fn == "resume.json":
                    try:
                        r = json.loads(data)
                        data = json.dumps([r.get(k) for k in ("folder", "uidvalidity", "last_uid", "completed")]).encode()
                    except ValueError:
                        pass
                snap[os.path.relpath(p, dir_)] = hashlib.sha256(data).hexdigest()
        return snap

    def compare_archive(self, check, name, dir_, uids, bodies, log, kept=()):
        """The archive in dir_ against the server's UIDs and bytes; kept are
        UIDs expunged since an earlier run that the archive rightly still holds.
        Entries of an earlier UIDVALIDITY are history, not compared."""
        entries = self.manifest(dir_)
        current = self.uidvalidity[name]
        listed = {}
        dups = set()
        for uid, file, e in entries:
            if e.get("uidvalidity") not in (None, current):
                continue
            if uid in listed:
                dups.add(uid)
            listed[uid] = file
        ok = True
        missing = set(uids) - set(listed)
        extra = set(listed) - set(uids) - set(kept)
        if missing:
            ok = False
            self.fail(check, name, f"UIDs missing from archive: {uid_text(missing)}", log)
        if extra:
            ok = False
            self.fail(check, name, f"UIDs in archive the server does not hold: {uid_text(extra)}", log)
        if dups:
            ok = False
            self.fail(check, name, f"UIDs listed twice in manifest.jsonl: {uid_text(dups)}", log)
        differ = []
        for uid in sorted(set(uids) & set(listed)):
            path = os.path.join(dir_, listed[uid])
            try:
                with open(path, "rb") as f:
                    got = f.read()
            except OSError as e:
                differ.append(f"uid {uid}: {listed[uid]} unreadable ({e.strerror})")
                continue
            want = bodies[uid]
            if got != want:
                at = next((k for k in range(min(len(got), len(want))) if got[k] != want[k]),
                          min(len(got), len(want)))
                differ.append(f"uid {uid}: {listed[uid]} has {len(got)} bytes, the server {len(want)}; "
                              f"first difference at byte {at}")
        if differ:
            ok = False
            self.fail(check, name, "archived bytes differ from BODY.PEEK[]: " + "; ".join(differ[:5])
                      + (f"; ... ({len(differ)} in all)" if len(differ) > 5 else ""), log)
        return ok

    # ------------------------------------------------------------ the checks

    def check_folders(self, view):
        st, out, log = self.kq("folders", "--json")
        if st != 0:
            self.fail("a", None, f"kerquill folders failed ({st}): {self.last_stderr_line(log)}", log)
            return
        listed = json.loads(out)
        names = [f["name"] for f in listed]
        ok = True
        missing = [n for n in view if n not in names]
        extra = [n for n in names if n not in view]
        if missing:
            ok = False
            self.fail("a", None, "folders the server lists that kerquill does not: "
                      + ", ".join(map(mutf7_decode, missing)), log)
        if extra:
            ok = False
            self.fail("a", None, "folders kerquill lists that the server does not: "
                      + ", ".join(map(mutf7_decode, extra)), log)
        if len(set(names)) != len(names):
            ok = False
            self.fail("a", None, "kerquill lists a folder twice", log)
        elif not missing and not extra and names != list(view):
            ok = False
            self.fail("a", None, "folders not in the server's order: kerquill "
                      + ", ".join(map(mutf7_decode, names)) + "; LIST " + ", ".join(map(mutf7_decode, view)), log)
        for f in listed:
            name = f["name"]
            if name not in view:
                continue
            if mutf7_decode(name) != f["display"]:
                ok = False
                self.fail("a", name, f"display name {f['display']!r}, expected {mutf7_decode(name)!r}", log)
            v = view[name]
            want = (0, 0, 0) if v is None else (v[0], min(v[1], default=0), max(v[1], default=0))
            got = (f["count"], f["uid_min"], f["uid_max"])
            if got != want:
                ok = False
                self.fail("a", name, f"count/uid_min/uid_max {got[0]}/{got[1]}/{got[2]}, "
                          f"the server {want[0]}/{want[1]}/{want[2]}", log)
        if ok:
            self.passed.append("a")

    def check_search(self, view):
        ok = True
        for name in self.readable(view):
            st, out, log = self.kq("search", name, "--json")
            if st != 0:
                ok = False
                self.fail("b", name, f"kerquill search failed ({st}): {self.last_stderr_line(log)}", log)
                continue
            rows = json.loads(out)
            got = [r["uid"] for r in rows]
            want = view[name][1]
            meta = self.ref_meta(name, want)
            odd = [f"uid {r['uid']}: {r['bytes']} bytes, \"{r['date'].strip()}\"; the server "
                   f"{meta[r['uid']][0]}, \"{meta[r['uid']][1]}\"" for r in rows
                   if r["uid"] in meta and (r["bytes"], r["date"].strip()) != meta[r["uid"]]]
            if odd:
                ok = False
                self.fail("b", name, "size or received date differs from RFC822.SIZE/INTERNALDATE: "
                          + "; ".join(odd[:3]) + (f"; ... ({len(odd)} in all)" if len(odd) > 3 else ""), log)
            if sorted(got) != got:
                ok = False
                self.fail("b", name, "rows not in ascending UID order", log)
            if set(want) - set(got):
                ok = False
                self.fail("b", name, f"UIDs the search missed: {uid_text(set(want) - set(got))}", log)
            if set(got) - set(want):
                ok = False
                self.fail("b", name, f"UIDs the search found that the server does not hold: "
                          f"{uid_text(set(got) - set(want))}", log)
        locked = self.corpus.get("locked")
        if locked:
            st, out, log = self.kq("search", locked, "--json")
            if st == 0:
                ok = False
                self.fail("b", locked, f"search of the unreadable folder succeeded with {out.strip()[:80]}", log)
        if ok:
            self.passed.append("b")

    def check_export(self, view):
        ok = True
        self.bodies = {}
        self.export_dirs = {}
        self.export_uids = {}
        self.export_uv = {}
        for k, name in enumerate(self.readable(view)):
            uids = view[name][1]
            self.bodies[name] = self.fetch_all(name, uids)
            dir_ = os.path.join(self.a.work, "export", f"{k:02d}")
            st, out, log = self.kq("export", name, dir_, "--quiet")
            if st != 0:
                ok = False
                self.fail("c", name, f"kerquill export failed ({st}): {self.last_stderr_line(log)}", log)
                continue
            self.export_dirs[name] = dir_
            self.export_uids[name] = uids
            self.export_uv[name] = self.uidvalidity[name]
            if uids or os.path.exists(dir_):
                ok &= self.compare_archive("c", name, dir_, uids, self.bodies[name], log)
        self.all_dir = os.path.join(self.a.work, "all")
        self.all_args = []
        st, out, log = self.kq("export-all", self.all_dir, "--quiet")
        if st != 0:
            ok = False
            self.fail("c", None, f"kerquill export-all failed ({st}): {self.last_stderr_line(log)}", log)
            locked = self.corpus.get("locked")
            if locked:
                # So that the later checks look past this one fault.
                self.all_args = ["--exclude", locked]
                st, out, log = self.kq("export-all", self.all_dir, "--quiet", *self.all_args)
                print(f"{self.a.server}: note: export-all again with --exclude {locked}: "
                      + ("done; the checks below use it" if st == 0 else f"failed too ({st})"))
        archives = self.archives()
        for name in self.readable(view):
            uids = view[name][1]
            if name not in archives:
                if uids:
                    ok = False
                    self.fail("c", name, f"export-all made no archive for it ({len(uids)} messages)", log)
                continue
            ok &= self.compare_archive("c", name, archives[name], uids, self.bodies[name], log)
        locked = self.corpus.get("locked")
        if locked and locked in archives and self.manifest(archives[locked]):
            ok = False
            self.fail("c", locked, "export-all archived messages of the unreadable folder", log)
        if ok:
            self.passed.append("c")

    def archives(self):
        """{server folder name: subdirectory of the export-all directory}, read from the manifests."""
        out = {}
        if not os.path.isdir(self.all_dir):
            return out
        for sub in sorted(os.listdir(self.all_dir)):
            entries = self.manifest(os.path.join(self.all_dir, sub))
            if entries:
                out[entries[0][2].get("folder", sub)] = os.path.join(self.all_dir, sub)
        return out

    def check_rerun(self, view):
        ok = True
        before = self.snapshot(self.all_dir)
        st, out, log = self.kq("export-all", self.all_dir, *self.all_args)
        if st != 0:
            ok = False
            self.fail("d", None, f"second export-all failed ({st}): {self.last_stderr_line(log)}", log)
        elif "New since the last run: 0 messages." not in out:
            ok = False
            line = next((x for x in out.splitlines() if x.startswith("New since")), "no 'New since' line")
            self.fail("d", None, f"second export-all reports new messages: {line}", log)
        after = self.snapshot(self.all_dir)
        added = sorted(set(after) - set(before))
        gone = sorted(set(before) - set(after))
        changed = sorted(p for p in set(before) & set(after) if before[p] != after[p])
        for what, paths in (("files added", added), ("files removed", gone), ("files changed", changed)):
            if paths:
                ok = False
                self.fail("d", None, f"second export-all: {what}: {', '.join(paths[:8])}"
                          + (f" ... ({len(paths)} in all)" if len(paths) > 8 else ""), log)
        for name, dir_ in self.export_dirs.items():
            if not view[name][1]:
                continue
            snap = self.snapshot(dir_)
            st, out, log = self.kq("export", name, dir_)
            if st != 0:
                ok = False
                self.fail("d", name, f"second export failed ({st}): {self.last_stderr_line(log)}", log)
                continue
            if "Exported 0 messages" not in out:
                ok = False
                line = next((x for x in out.splitlines() if x.startswith("Exported")), "no 'Exported' line")
                self.fail("d", name, f"second export stored messages again: {line}", log)
            now = self.snapshot(dir_)
            diff = sorted(p for p in set(snap) | set(now)
                          if snap.get(p) != now.get(p))
            if diff:
                ok = False
                self.fail("d", name, f"second export changed the archive: {', '.join(diff[:8])}", log)
        if ok:
            self.passed.append("d")

    def check_increment(self, view):
        ok = True
        inbox = "INBOX"
        old = view[inbox][1]
        uv_before = self.uidvalidity[inbox]
        self.ref.select(inbox, readonly=False)
        for msg, date in corpus.increment_messages():
            self.ref.append(inbox, msg, date)
        gone = old[0]
        self.ref.m.uid("STORE", str(gone), "+FLAGS.SILENT", r"(\Deleted)")
        self.ref.m.expunge()
        now = self.ref.uids()
        new = sorted(set(now) - set(old))
        uv_after = self.ref.uidvalidity(inbox)
        if len(new) != 3 or gone in now:
            self.fail("e", inbox, f"the server did not take the change: new UIDs {new}, {gone} still there")
            return
        fresh = self.fetch_all(inbox, now)
        if uv_after != uv_before:
            # The server renumbered the folder: every message is new to the archive.
            print(f"{self.a.server}: note: INBOX: UIDVALIDITY changed from {uv_before} to {uv_after} "
                  f"on the append and expunge; every message counts as new")
            self.uidvalidity[inbox] = uv_after
            self.bodies[inbox] = fresh
            expect_new = len(now)
        else:
            self.bodies[inbox].update((u, fresh[u]) for u in new)
            expect_new = 3
        before = self.snapshot(self.all_dir)
        had = self.manifest(self.archives().get(inbox, "/nonexistent"))
        st, out, log = self.kq("export-all", self.all_dir, *self.all_args)
        if st != 0:
            ok = False
            self.fail("e", None, f"export-all after the change failed ({st}): {self.last_stderr_line(log)}", log)
        elif f"New since the last run: {expect_new} message" not in out:
            ok = False
            line = next((x for x in out.splitlines() if x.startswith("New since")), "no 'New since' line")
            self.fail("e", None, f"expected {expect_new} new: the tool says '{line}'", log)
        archives = self.archives()
        if inbox in archives:
            ok &= self.compare_archive("e", inbox, archives[inbox], now, self.bodies[inbox], log,
                                       kept=[gone] if uv_after == uv_before else [])
            stored = self.manifest(archives[inbox])
            lost = {(e.get("uidvalidity"), u) for u, _, e in had} - {(e.get("uidvalidity"), u) for u, _, e in stored}
            if lost:
                ok = False
                self.fail("e", inbox, f"entries of an earlier run left the manifest: UIDs {uid_text(u for _, u in lost)}", log)
            added = len(stored) - len(had)
            if added != expect_new:
                ok = False
                self.fail("e", inbox, f"{added} manifest entries added, expected {expect_new}", log)
        else:
            ok = False
            self.fail("e", inbox, "no INBOX archive after the change", log)
        after = self.snapshot(self.all_dir)
        inbox_sub = os.path.relpath(archives.get(inbox, self.all_dir), self.all_dir) + os.sep
        outside = sorted(p for p in set(before) | set(after)
                         if before.get(p) != after.get(p) and not p.startswith(inbox_sub))
        if outside:
            ok = False
            self.fail("e", None, f"files outside the INBOX archive changed: {', '.join(outside[:8])}", log)
        if uv_after == uv_before:
            self.expunged = {inbox: [gone]}
        view[inbox] = (len(now), now)
        if ok:
            self.passed.append("e")

    def check_verify(self, view):
        ok = True
        dirs = [("export-all", self.all_dir)] + [(n, d) for n, d in self.export_dirs.items()
                                                  if os.path.exists(os.path.join(d, "manifest.jsonl"))]
        for label, dir_ in dirs:
            st, out, log = self.kq("verify", dir_, "--json", conn=False)
            checked = None
            if st != 0:
                ok = False
                self.fail("f", None, f"verify {label} failed ({st}): {out.strip()[:300]}", log)
            else:
                checked = json.loads(out).get("total")
            st, out, log = self.kq("stats", dir_, "--json", conn=False)
            if st != 0:
                ok = False
                self.fail("f", None, f"stats {label} failed ({st}): {self.last_stderr_line(log)}", log)
                continue
            stats = json.loads(out)
            # Distinct messages: a folder renumbered by the server (new
            # UIDVALIDITY) holds a UID once per numbering.
            entries, history = {}, 0
            for top, _, files in os.walk(dir_):
                if "manifest.jsonl" in files:
                    for uid, _, e in self.manifest(top):
                        key = (e.get("folder"), e.get("uidvalidity"), uid)
                        entries.setdefault(key, e)
            numbering = self.uidvalidity if label == "export-all" else {label: self.export_uv[label]}
            for (folder, uv, _), _ in entries.items():
                if uv is not None and folder in numbering and uv != numbering[folder]:
                    history += 1
            if label == "export-all":
                held = sum(len(v[1]) for v in view.values() if v is not None)
                kept = sum(len(v) for v in self.expunged.values())
            else:
                held, kept = len(self.export_uids[label]), 0  # made before the increment
            if len(entries) != held + kept + history:
                ok = False
                self.fail("f", None, f"{label}: the manifests list {len(entries)} messages; the server held "
                          f"{held}, +{kept} expunged since, +{history} of an earlier UIDVALIDITY", log)
            if stats.get("messages") != len(entries) or (checked is not None and checked != len(entries)):
                ok = False
                self.fail("f", None, f"{label}: stats counts {stats.get('messages')} messages, verify checked "
                          f"{checked}, the manifests list {len(entries)}", log)
            size = sum(int(e.get("size", 0)) for e in entries.values())
            if stats.get("bytes") != size:
                ok = False
                self.fail("f", None, f"{label}: stats counts {stats.get('bytes')} bytes; the manifests add up to {size}", log)
        if ok:
            self.passed.append("f")

    def check_restore(self, view):
        dirs = [n for n, d in self.export_dirs.items() if self.export_uids.get(n)]
        if not dirs:
            return
        name = max(dirs, key=lambda n: len(self.export_uids[n]))
        prefix, _ = self.ref.namespace()
        target = prefix + "kq-restored"
        # What the archive holds (the folder itself has changed since).
        entries = [e for _, _, e in self.manifest(self.export_dirs[name])]
        want = []
        for e in entries:
            with open(os.path.join(self.export_dirs[name], e["file"]), "rb") as f:
                want.append(own_headers_out(f.read()))
        want.sort()
        # As UTC seconds: a server may give the date back in its own zone.
        dates = sorted(int(e.get("ts", -1)) for e in entries)
        ok = True
        for round_ in (1, 2):
            st, out, log = self.kq("restore", self.export_dirs[name], "--to", mutf7_decode(target), "--quiet")
            if st != 0:
                self.fail("g", name, f"restore {round_} failed ({st}): {self.last_stderr_line(log)}", log)
                ok = False
                break
            if self.ref.select(target) is None:
                self.fail("g", name, f"restore {round_}: the server has no folder {target}", log)
                ok = False
                break
            uids = self.ref.uids()
            got = sorted(own_headers_out(self.ref.fetch_body(u) or b"") for u in uids)
            if got != want:
                lost = sorted(e.get("uid") for e, w in zip(entries, want) if w not in got)
                self.fail("g", name, f"restore {round_}: {target} holds {len(got)} messages, "
                          f"{len(set(got) & set(want))} distinct of the {len(want)} archived; none "
                          f"with the bytes of archived UIDs {lost}", log)
                ok = False
                break
            got_dates = sorted(int(datetime.datetime.strptime(d.strip(), "%d-%b-%Y %H:%M:%S %z").timestamp())
                               for _, d in self.ref_meta(target, uids).values())
            if got_dates != dates:
                self.fail("g", name, f"restore {round_}: INTERNALDATEs differ from the source folder's", log)
                ok = False
                break
        if self.ref.m.state == "SELECTED":
            self.ref.m.close()
        if ok:
            self.passed.append("g")

    def run(self):
        for note in self.corpus.get("notes", []):
            print(f"{self.a.server}: note: {note}")
        view = self.server_view()
        self.check_folders(view)
        self.check_search(view)
        self.check_export(view)
        self.check_rerun(view)
        self.check_increment(view)
        self.check_verify(view)
        self.check_restore(view)
        self.ref.close()
        print(f"{self.a.server}: checks passed: {' '.join(self.passed) or 'none'}; "
              f"{len(self.failures)} failure(s); traces in {self.logs}")
        return 1 if self.failures else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--login", required=True)
    ap.add_argument("--password-env", required=True)
    ap.add_argument("--kerquill", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    return Checks(args).run()


if __name__ == "__main__":
    sys.exit(main())
