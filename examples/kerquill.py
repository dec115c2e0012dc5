#!/usr/bin/env python3
"""kerquill from Python through ctypes: every exported function with its
prototype, a small wrapper that turns the library's JSON texts into Python
objects, and a demo when run as a script.

    KQ_HOST=... KQ_USER=... KQ_PASSWORD=... python3 kerquill.py [FOLDER]

The library is found without help when it is in the build directory of this
source tree (build/libkerquill.so beside examples/), on LD_LIBRARY_PATH, or
installed where the system's loader looks (/usr/lib, /usr/local/lib after
ldconfig). Elsewhere (an install under /opt/kerquill, say) name it: set
KERQUILL_LIB to its path, or pass the path to Kerquill(). Standard library only.

Texts in and out are bytes in the library; the wrapper encodes str as UTF-8
and decodes results as UTF-8 with surrogateescape, so bytes that are not
UTF-8 (raw header values) survive a round trip.
"""
import ctypes
import ctypes.util
import json
import os
import sys
import time

_c_str = ctypes.c_char_p
_int = ctypes.c_int

# name: (return type, argument types) -- the whole C API of kerquill.h.
PROTOTYPES = {
    "kq_connect": (_int, [_c_str]),
    "kq_disconnect": (_int, []),
    "kq_status": (_int, []),
    "kq_last_error": (_c_str, []),
    "kq_version": (_c_str, []),
    "kq_folders_json": (_c_str, []),
    "kq_probe_folder": (_c_str, [_c_str]),
    "kq_search": (_int, [_c_str, _c_str]),
    "kq_search_progress": (ctypes.c_double, []),
    "kq_search_cancel": (_int, []),
    "kq_search_count": (_int, []),
    "kq_search_field": (_c_str, [_int, _c_str]),
    "kq_fetch": (_int, [_int]),
    "kq_fetch_uid": (_int, [_c_str, ctypes.c_uint]),
    "kq_fetch_header": (_c_str, []),
    "kq_fetch_body_text": (_c_str, []),
    "kq_fetch_save": (_int, [_c_str]),
    "kq_attachment_count": (_int, []),
    "kq_attachment_field": (_c_str, [_c_str, _int, _c_str]),
    "kq_attachment_save": (_int, [_c_str, _int, _c_str]),
    "kq_attachment_saved_path": (_c_str, []),
    "kq_export_start": (_int, [_c_str]),
    "kq_export_status": (_int, []),
    "kq_export_progress": (ctypes.c_double, []),
    "kq_export_stats_json": (_c_str, []),
    "kq_export_current": (_c_str, []),
    "kq_export_pause": (_int, []),
    "kq_export_resume": (_int, []),
    "kq_export_cancel": (_int, []),
    "kq_verify_dir": (_int, [_c_str]),
    "kq_verify_report_json": (_c_str, []),
    "kq_archive_stats_json": (_c_str, [_c_str]),
    "kq_export_all_folders": (_int, [_c_str]),
    "kq_export_all_status_json": (_c_str, []),
    "kq_restore_start": (_int, [_c_str]),
    "kq_restore_status": (_int, []),
}


def _candidates():
    """Where the library is looked for when no path is given, in order."""
    env = os.environ.get("KERQUILL_LIB")
    if env:
        return [env]
    here = os.path.dirname(os.path.abspath(__file__))
    name = "kerquill.dll" if os.name == "nt" else "libkerquill.so"
    found = [os.path.join(here, os.pardir, "build", name)]   # this source tree's build
    found = [p for p in found if os.path.exists(p)]
    # The loader's own search: LD_LIBRARY_PATH, the run-time cache, PATH on Windows.
    found.append("kerquill.dll" if os.name == "nt" else "libkerquill.so.0")
    system = ctypes.util.find_library("kerquill")
    if system:
        found.append(system)
    return found


def load_library(path=None):
    """Loads libkerquill and declares every prototype on it. Without path:
    KERQUILL_LIB, else this source tree's build/, else the loader's search."""
    tried = []
    lib = None
    for candidate in [path] if path else _candidates():
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            tried.append("%s (%s)" % (candidate, e))
    if lib is None:
        raise OSError("libkerquill not found; tried " + "; ".join(tried) +
                      ". Set KERQUILL_LIB to the path of libkerquill.so")
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def _b(text):
    return None if text is None else text.encode("utf-8", "surrogateescape")


def _s(raw):
    return (raw or b"").decode("utf-8", "surrogateescape")


class KerquillError(RuntimeError):
    pass


class Kerquill:
    """One process-wide library state, as in C: one connection, one search
    result, one fetched message, one export job."""

    def __init__(self, path=None):
        self.lib = load_library(path)

    # -- helpers --------------------------------------------------------------
    def last_error(self):
        return _s(self.lib.kq_last_error())

    def version(self):
        return _s(self.lib.kq_version())

    def _check(self, rc, what):
        if rc != 0:
            raise KerquillError("%s: %s" % (what, self.last_error()))

    def _json(self, raw, what):
        text = _s(raw)
        if not text:
            raise KerquillError("%s: %s" % (what, self.last_error()))
        return json.loads(text)

    # -- connection -------------------------------------------------------------
    def connect(self, host, user, password=None, port=993, ssl=True, ca_file=None,
                oauth_token=None, timeout_s=30, tls_verify=True):
        cfg = {"host": host, "port": port, "ssl": 1 if ssl else 0, "user": user,
               "timeout_s": timeout_s, "tls_verify": 1 if tls_verify else 0}
        if password is not None:
            cfg["pass"] = password
        if oauth_token is not None:
            cfg["oauth_token"] = oauth_token
        if ca_file:
            cfg["ca_file"] = ca_file
        self._check(self.lib.kq_connect(_b(json.dumps(cfg, ensure_ascii=False))), "connect")

    def disconnect(self):
        self.lib.kq_disconnect()

    def status(self):
        return self.lib.kq_status()

    # -- folders and search -------------------------------------------------------
    def folders(self):
        return self._json(self.lib.kq_folders_json(), "folders")

    def probe(self, folder):
        return self._json(self.lib.kq_probe_folder(_b(folder)), "probe")

    def search(self, folder, **criteria):
        """Returns the found rows as dicts; criteria as in the C API
        (since, before, from_, to, subject, min_bytes, has_attachments,
        uid_min, uid_max)."""
        crit = {k.rstrip("_"): v for k, v in criteria.items() if v is not None}
        self._check(self.lib.kq_search(_b(folder), _b(json.dumps(crit))), "search")
        rows = []
        for i in range(self.lib.kq_search_count()):
            row = {k: _s(self.lib.kq_search_field(i, _b(k)))
                   for k in ("uid", "date", "bytes", "from", "to", "subject", "has_attachments")}
            for k in ("uid", "bytes", "has_attachments"):
                row[k] = int(row[k] or 0)
            rows.append(row)
        return rows

    def search_progress(self):
        """Share of the running search done; safe from another thread."""
        return self.lib.kq_search_progress()

    def cancel_search(self):
        """Stops a search running in another thread; True when one ran."""
        return self.lib.kq_search_cancel() == 0

    # -- one message ------------------------------------------------------------
    def fetch(self, row):
        self._check(self.lib.kq_fetch(row), "fetch")
        return self._fetched()

    def fetch_uid(self, folder, uid):
        """Fetches one message by UID; the search result stays as it is."""
        self._check(self.lib.kq_fetch_uid(_b(folder), uid), "fetch uid")
        return self._fetched()

    def _fetched(self):
        atts = []
        for i in range(self.lib.kq_attachment_count()):
            atts.append({"name": _s(self.lib.kq_attachment_field(None, i, b"name")),
                         "ctype": _s(self.lib.kq_attachment_field(None, i, b"ctype")),
                         "size": int(_s(self.lib.kq_attachment_field(None, i, b"size")) or 0)})
        return {"header": _s(self.lib.kq_fetch_header()),
                "body": _s(self.lib.kq_fetch_body_text()),
                "attachments": atts}

    def save_message(self, path):
        self._check(self.lib.kq_fetch_save(_b(path)), "save message")

    def save_attachment(self, index, directory):
        """Saves attachment row index into directory; returns the file's path
        (the name may carry " (2)" when the first choice was taken)."""
        self._check(self.lib.kq_attachment_save(None, index, _b(directory)), "save attachment")
        return _s(self.lib.kq_attachment_saved_path())

    # -- export ------------------------------------------------------------------
    def export(self, directory, mbox=False, dated=False, resume=True, manifest=True,
               poll_s=0.2, on_progress=None):
        """Exports the last search result and waits for the job; returns the
        final counters. on_progress(stats, current) is called while it runs."""
        cfg = {"dir": directory, "format": "eml+mbox" if mbox else "eml",
               "naming": "YYYY\\MM\\uid" if dated else "uid",
               "resume": 1 if resume else 0, "manifest": 1 if manifest else 0}
        self._check(self.lib.kq_export_start(_b(json.dumps(cfg))), "export")
        # A pause (from another thread) is not the end: wait on through it
        # until the job is done, cancelled or failed.
        while True:
            stats = self.export_stats()
            if stats["state"] not in ("running", "paused"):
                break
            if on_progress:
                on_progress(stats, _s(self.lib.kq_export_current()))
            time.sleep(poll_s)
        if stats["state"] == "error":
            # The job failed on the library's thread: its reason is in the
            # stats, not in this thread's kq_last_error.
            raise KerquillError("export: %s" % stats.get("error", "unknown error"))
        return stats

    def export_stats(self):
        return json.loads(_s(self.lib.kq_export_stats_json()))

    def export_progress(self):
        return self.lib.kq_export_progress()

    def pause(self):
        return self.lib.kq_export_pause() == 0

    def resume(self):
        return self.lib.kq_export_resume() == 0

    def cancel(self):
        return self.lib.kq_export_cancel() == 0

    def export_all(self, directory, folders=None, resume=True, manifest=True, poll_s=0.25):
        cfg = {"dir": directory, "resume": 1 if resume else 0, "manifest": 1 if manifest else 0}
        if folders:
            cfg["folders"] = list(folders)
        self._check(self.lib.kq_export_all_folders(_b(json.dumps(cfg))), "export all")
        while True:
            status = json.loads(_s(self.lib.kq_export_all_status_json()))
            if status["state"] != 1:
                return status
            time.sleep(poll_s)

    # -- archives ----------------------------------------------------------------
    def verify(self, directory):
        self._check(self.lib.kq_verify_dir(_b(directory)), "verify")
        return json.loads(_s(self.lib.kq_verify_report_json()))

    def archive_stats(self, directory):
        return self._json(self.lib.kq_archive_stats_json(_b(directory)), "archive stats")


def main(argv):
    folder = argv[1] if len(argv) > 1 else "INBOX"
    env = os.environ
    if not all(env.get(k) for k in ("KQ_HOST", "KQ_USER", "KQ_PASSWORD")):
        print("set KQ_HOST, KQ_USER and KQ_PASSWORD (and KQ_PORT, KQ_PLAIN=1, KQ_CA_FILE as needed)",
              file=sys.stderr)
        return 2
    plain = env.get("KQ_PLAIN", "0") not in ("", "0")
    kq = Kerquill()
    try:
        kq.connect(env["KQ_HOST"], env["KQ_USER"], env["KQ_PASSWORD"],
                   port=int(env.get("KQ_PORT") or (143 if plain else 993)), ssl=not plain,
                   ca_file=env.get("KQ_CA_FILE"))
        print("kerquill %s" % kq.version())
        for f in kq.folders():
            print("%-24s %6d messages" % (f["name"], f["count"]))
        rows = kq.search(folder)
        print("%s: %d messages" % (folder, len(rows)))
        if rows:
            msg = kq.fetch(len(rows) - 1)
            print("newest: uid %d, %s" % (rows[-1]["uid"], rows[-1]["subject"]))
            print("  %d characters of text, %d attachments"
                  % (len(msg["body"]), len(msg["attachments"])))
        return 0
    except KerquillError as e:
        print("kerquill.py: %s" % e, file=sys.stderr)
        return 1
    finally:
        kq.disconnect()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
