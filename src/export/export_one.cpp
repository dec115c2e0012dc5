#include "export/export_one.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "archive/durable.h"
#include "archive/generation.h"
#include "archive/layout.h"
#include "archive/manifest.h"
#include "archive/mbox.h"
#include "base/error.h"
#include "base/sha256.h"
#include "export/spool.h"
#include "platform/platform.h"

namespace kq {

std::string sha256_hex(const void *data, std::size_t len) {
  unsigned char sum[32];
  sha256::digest(data, len, sum);
  static const char k_hex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (int i = 0; i < 32; ++i) {
    out[2 * i] = k_hex[sum[i] >> 4];
    out[2 * i + 1] = k_hex[sum[i] & 15];
  }
  return out;
}

void manifest_line(std::string &out, const char *folder, const std::string &file,
                   const char *sha256_hex, std::uint64_t size, const search_hit &hit,
                   std::uint64_t uidvalidity, const std::vector<std::string> *flags,
                   const std::vector<std::string> *labels) {
  manifest_fields f;
  f.uid = hit.uid;
  f.folder = folder;
  f.uidvalidity = uidvalidity;
  f.file = file;
  f.sha256 = sha256_hex;
  f.size = size;
  f.from = hit.from;
  f.subject = hit.subject;
  f.date = hit.date;
  f.ts = hit.ts;
  f.flags = flags;
  f.labels = labels;
  manifest_format_line(out, f);
}

namespace {

// True when the file at path holds exactly data.
bool holds_bytes(const char *path, const char *data, std::size_t len) {
  if (plat::file_size(path) != static_cast<long long>(len)) return false;
  char buf[65536];
  for (std::size_t off = 0; off < len;) {
    std::size_t want = std::min(sizeof buf, len - off);
    if (plat::read_at(path, static_cast<long long>(off), buf, want) != static_cast<long long>(want) ||
        std::memcmp(buf, data + off, want) != 0)
      return false;
    off += want;
  }
  return true;
}

// True when the files at a and b hold the same bytes, read in chunks.
bool same_bytes(const char *a, const char *b) {
  long long size = plat::file_size(a);
  if (size < 0 || size != plat::file_size(b)) return false;
  std::FILE *fa = plat::file_open(a, "rb");
  std::FILE *fb = fa ? plat::file_open(b, "rb") : nullptr;
  bool same = fa && fb;
  std::vector<char> ba(same ? 65536 : 0), bb(ba.size());
  while (same) {
    std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) same = false;
    else if (na < ba.size()) {
      same = !std::ferror(fa) && !std::ferror(fb);
      break;
    }
  }
  if (fa) std::fclose(fa);
  if (fb) std::fclose(fb);
  return same;
}

// A fetched body: its bytes in memory, or a complete spool file on disk.
struct body_ref {
  const char *data = nullptr;
  std::size_t len = 0;
  body_spool *spool = nullptr;
  std::uint64_t size() const { return spool ? static_cast<std::uint64_t>(spool->size()) : len; }
};

// Writes a message file that does not exist yet. An existing file is kept
// as it is when it holds these very bytes (a message stored again after a
// lost resume.json). With different bytes it is never replaced: when the
// manifest lists every archived file (a line per file, and none names this
// one) it is the torn file of a run that was stopped mid-write and is moved
// aside; otherwise nothing can tell it from an archived message, and the
// message is not stored.
bool write_eml(bool names_indexed, const char *path, const char *data, std::size_t len) {
  std::string_view bytes(data, len);
  bool exists = false;
  if (plat::create_new_file(path, bytes, &exists)) return true;
  int err = plat::last_errno();
  if (exists && holds_bytes(path, data, len)) return true;
  if (exists && names_indexed) {
    std::string aside = std::string(path) + ".damaged";
    if (plat::file_replace(path, aside.c_str()) && plat::create_new_file(path, bytes, &exists))
      return true;
  }
  if (exists) set_err("%s already holds a different message; it is not replaced", path);
  else set_err("cannot write %s: %s", path, plat::error_text(err));
  return false;
}

// write_eml for a body spooled to disk: the spool file is moved under the
// message's name, with the same rules for a name already taken.
bool move_eml(bool names_indexed, body_spool &sp, const char *path) {
  bool exists = false;
  if (plat::file_move_new(sp.path().c_str(), path, &exists)) {
    sp.claimed();
    return true;
  }
  int err = plat::last_errno();
  if (exists && same_bytes(path, sp.path().c_str())) return true;
  if (exists && names_indexed) {
    std::string aside = std::string(path) + ".damaged";
    if (plat::file_replace(path, aside.c_str()) && plat::file_move_new(sp.path().c_str(), path, &exists)) {
      sp.claimed();
      return true;
    }
  }
  if (exists) set_err("%s already holds a different message; it is not replaced", path);
  else set_err("cannot write %s: %s", path, plat::error_text(err));
  return false;
}

// Where the message's file goes: its full path in `path`, its name inside
// the archive in `rel`; the directory holding it is made (once for a run of
// messages sharing it) and returned ("" for the archive's own).
std::string place(export_job &job, const search_hit &hit, char *path, std::string &rel,
                  const std::vector<std::string> *flags) {
  const std::string &dir = job.opt.dir;
  if (job.opt.maildir)
    rel = maildir_name(hit.ts, job.gen.uidvalidity, hit.uid, flags, plat::windows_file_names());
  else
    rel = relative_name(naming_is_dated(job.opt.naming.c_str()), hit.date, hit.uid,
                        name_uidvalidity(job.gen));
  std::snprintf(path, k_path_cap, "%s/%s", dir.c_str(), rel.c_str());
  // Consecutive messages mostly share their directory: create it once.
  std::string parent = path;
  std::size_t slash = parent.rfind('/');
  parent = slash == 0 ? dir : slash == std::string::npos ? std::string() : parent.substr(0, slash);
  if (!parent.empty() && parent != job.archive.made_dir) {
    mkdirs(parent.c_str());
    job.archive.made_dir = parent;
  }
  return parent;
}

// Appends the all.mbox record unless all.mbox holds the message already;
// `before` receives the length to cut back to (-1: nothing appended).
bool append_mbox(export_job &job, const search_hit &hit, const char *data, std::size_t len,
                 long long &before) {
  archive_writer &a = job.archive;
  before = -1;
  bool in_mbox = ledger_has(a.in_mbox, hit.uid);
  if (!job.opt.mbox || !a.mbox_file.is_open() || in_mbox) return true;
  std::string rec;
  rec.reserve(len + len / 32 + 128);
  mbox_record_append(rec, hit.from, plat::time_now(), data, len);
  before = a.mbox_file.size();
  if (before >= 0 && a.mbox_file.write(rec.data(), rec.size())) return true;
  int err = plat::last_errno();
  if (before >= 0) a.mbox_file.truncate(before);
  before = -1;
  set_err("cannot write %s/all.mbox: %s", job.opt.dir.c_str(), plat::error_text(err));
  return false;
}

// append_mbox for a message stored from a spool: its record is made from
// the stored file, read back a chunk at a time, never held whole.
bool append_mbox_from_file(export_job &job, const search_hit &hit, const char *path, long long &before) {
  archive_writer &a = job.archive;
  before = -1;
  if (!job.opt.mbox || !a.mbox_file.is_open() || ledger_has(a.in_mbox, hit.uid)) return true;
  std::FILE *f = plat::file_open(path, "rb");
  int err = 0;
  if (!f) {
    set_err("cannot read %s: %s", path, plat::error_text(plat::last_errno()));
    return false;
  }
  before = a.mbox_file.size();
  bool ok = before >= 0;
  std::vector<char> buf(1 << 20);
  std::string rec;
  mbox_record_stream ms;
  ms.begin(rec, hit.from, plat::time_now());
  while (ok) {
    std::size_t n = std::fread(buf.data(), 1, buf.size(), f);
    ms.feed(rec, buf.data(), n);
    if (n < buf.size()) {
      if (std::ferror(f)) {
        err = plat::last_errno();
        std::fclose(f);
        f = nullptr;
        if (before >= 0) a.mbox_file.truncate(before);
        before = -1;
        set_err("cannot read %s: %s", path, plat::error_text(err));
        return false;
      }
      ms.end(rec);
    }
    ok = a.mbox_file.write(rec.data(), rec.size());
    rec.clear();
    if (n < buf.size()) break;
  }
  if (!ok) err = plat::last_errno();
  std::fclose(f);
  if (ok) return true;
  if (before >= 0) a.mbox_file.truncate(before);
  before = -1;
  set_err("cannot write %s/all.mbox: %s", job.opt.dir.c_str(), plat::error_text(err));
  return false;
}

int store(export_job &job, const search_hit &hit, const body_ref &body, char *path,
          const std::vector<std::string> *flags, const std::vector<std::string> *labels) {
  std::string rel;
  std::string parent = place(job, hit, path, rel, flags);

  std::string line;
  if (job.opt.manifest)
    manifest_line(line, job.folder, rel,
                  body.spool ? body.spool->sha256_hex().c_str() : sha256_hex(body.data, body.len).c_str(),
                  body.size(), hit, job.gen.uidvalidity, flags, labels);

  {
    // Room in the completed list first, so nothing below can half-fail on it.
    plat::lock_guard hold(job.lock);
    if (!ledger_reserve(job.completed)) {
      set_err("out of memory");
      return -1;
    }
  }

  if (body.spool ? !move_eml(job.archive.names_indexed, *body.spool, path)
                 : !write_eml(job.archive.names_indexed, path, body.data, body.len)) {
    job.archive.made_dir.clear();  // the retry creates the directory again
    return -1;
  }
  note_unsynced(job.archive.unsynced, path, parent.empty() ? std::string(".") : parent);

  long long mbox_before;
  if (body.spool ? !append_mbox_from_file(job, hit, path, mbox_before)
                 : !append_mbox(job, hit, body.data, body.len, mbox_before))
    return -1;

  plat::lock_guard hold(job.lock);
  if (job.opt.manifest && !manifest_append(job.archive.manifest_file, job.opt.dir.c_str(), line)) {
    // The message is not stored: its mbox record goes too, so a retry
    // leaves exactly one.
    if (mbox_before >= 0) job.archive.mbox_file.truncate(mbox_before);
    return -1;
  }
  ledger_insert(job.completed, hit.uid);
  return 0;
}

}  // namespace

int store_message(export_job &job, const search_hit &hit, const char *data, std::size_t len,
                  char *path, const std::vector<std::string> *flags,
                  const std::vector<std::string> *labels) {
  try {
    body_ref body;
    body.data = data;
    body.len = len;
    return store(job, hit, body, path, flags, labels);
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return -1;
  }
}

int store_spooled_message(export_job &job, const search_hit &hit, body_spool &spool, char *path,
                          const std::vector<std::string> *flags,
                          const std::vector<std::string> *labels) {
  if (spool.failed()) {
    set_err("%s", spool.error().c_str());
    return -1;
  }
  try {
    body_ref body;
    body.spool = &spool;
    return store(job, hit, body, path, flags, labels);
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return -1;
  }
}

}  // namespace kq
