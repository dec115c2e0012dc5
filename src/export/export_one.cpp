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

int store(export_job &job, const search_hit &hit, const char *data, std::size_t len, char *path,
          const std::vector<std::string> *flags, const std::vector<std::string> *labels) {
  std::string rel;
  std::string parent = place(job, hit, path, rel, flags);

  std::string line;
  if (job.opt.manifest)
    manifest_line(line, job.folder, rel, sha256_hex(data, len).c_str(), len, hit, job.gen.uidvalidity, flags,
                  labels);

  {
    // Room in the completed list first, so nothing below can half-fail on it.
    plat::lock_guard hold(job.lock);
    if (!ledger_reserve(job.completed)) {
      set_err("out of memory");
      return -1;
    }
  }

  if (!write_eml(job.archive.names_indexed, path, data, len)) {
    job.archive.made_dir.clear();  // the retry creates the directory again
    return -1;
  }
  note_unsynced(job.archive.unsynced, path, parent.empty() ? std::string(".") : parent);

  long long mbox_before;
  if (!append_mbox(job, hit, data, len, mbox_before)) return -1;

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
    return store(job, hit, data, len, path, flags, labels);
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return -1;
  }
}

}  // namespace kq
