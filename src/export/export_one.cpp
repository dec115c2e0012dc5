#include "export/export_one.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "base/error.h"
#include "base/sha256.h"
#include "export/durable.h"
#include "export/generation.h"
#include "export/layout.h"
#include "export/manifest.h"
#include "export/mbox.h"
#include "export/resume.h"
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
bool write_eml(const export_job *job, const char *path, const char *data, std::size_t len) {
  std::string_view bytes(data, len);
  bool exists = false;
  if (plat::create_new_file(path, bytes, &exists)) return true;
  int err = plat::last_errno();
  if (exists && holds_bytes(path, data, len)) return true;
  if (exists && job->names_indexed) {
    std::string aside = std::string(path) + ".damaged";
    if (plat::file_replace(path, aside.c_str()) && plat::create_new_file(path, bytes, &exists))
      return true;
  }
  if (exists) set_err("%s already holds a different message; it is not replaced", path);
  else set_err("cannot write %s: %s", path, plat::error_text(err));
  return false;
}

int store(export_job *job, const search_hit *hit, const char *data, std::size_t len, char *path) {
  std::string rel = relative_name(naming_is_dated(job->naming), hit->date, hit->uid,
                                  name_uidvalidity(job));
  std::snprintf(path, k_path_cap, "%s/%s", job->dir, rel.c_str());
  // Consecutive messages mostly share their directory: create it once.
  std::string parent = path;
  std::size_t slash = parent.rfind('/');
  parent = slash == 0 ? std::string(job->dir)
                      : slash == std::string::npos ? std::string() : parent.substr(0, slash);
  if (!parent.empty() && parent != job->made_dir) {
    mkdirs(parent.c_str());
    job->made_dir = parent;
  }

  std::string line;
  if (job->manifest)
    manifest_line(line, job->folder, rel, sha256_hex(data, len).c_str(), len, *hit,
                  job->uidvalidity);

  {
    // Room in the completed list first, so nothing below can half-fail on it.
    plat::lock_guard hold(job->lock);
    if (!completed_reserve(job)) {
      set_err("out of memory");
      return -1;
    }
  }

  if (!write_eml(job, path, data, len)) {
    job->made_dir.clear();  // the retry creates the directory again
    return -1;
  }
  note_unsynced(job, path, parent.empty() ? std::string(".") : parent);

  long long mbox_before = -1;
  bool in_mbox = std::binary_search(job->in_mbox.begin(), job->in_mbox.end(), hit->uid);
  if (job->mbox && job->mbox_file.is_open() && !in_mbox) {
    std::string rec;
    rec.reserve(len + len / 32 + 128);
    mbox_record_append(rec, hit->from, plat::time_now(), data, len);
    mbox_before = job->mbox_file.size();
    if (mbox_before < 0 || !job->mbox_file.write(rec.data(), rec.size())) {
      int err = plat::last_errno();
      if (mbox_before >= 0) job->mbox_file.truncate(mbox_before);
      set_err("cannot write %s/all.mbox: %s", job->dir, plat::error_text(err));
      return -1;
    }
  }

  plat::lock_guard hold(job->lock);
  if (job->manifest && !manifest_append(job, line)) {
    // The message is not stored: its mbox record goes too, so a retry
    // leaves exactly one.
    if (mbox_before >= 0) job->mbox_file.truncate(mbox_before);
    return -1;
  }
  completed_insert(job, hit->uid);
  return 0;
}

}  // namespace

int store_message(export_job *job, const search_hit *hit, const char *data, std::size_t len,
                  char *path) {
  try {
    return store(job, hit, data, len, path);
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return -1;
  }
}

}  // namespace kq
