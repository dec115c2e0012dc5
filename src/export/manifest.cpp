#include "export/manifest.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/error.h"
#include "base/text.h"
#include "export/file_util.h"
#include "export/resume.h"
#include "platform/platform.h"

namespace kq {

namespace {

struct file_closer {
  void operator()(std::FILE *f) const {
    if (f) std::fclose(f);
  }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

std::string manifest_path(const export_job *job) {
  return std::string(job->dir) + "/manifest.jsonl";
}

}  // namespace

void manifest_line(std::string &out, const char *folder, const std::string &file,
                   const char *sha256_hex, std::uint64_t size, const search_hit &hit) {
  char num[32];
  out += "{\"uid\":";
  std::snprintf(num, sizeof num, "%u", hit.uid);
  out += num;
  out += ",\"folder\":";
  json_append_str_utf8(out, folder);
  out += ",\"file\":";
  json_append_str_utf8(out, file);
  out += ",\"sha256\":\"";
  out += sha256_hex;
  out += "\",\"size\":";
  std::snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(size));
  out += num;
  out += ",\"from\":";
  json_append_str_utf8(out, hit.from);
  out += ",\"subject\":";
  json_append_str_utf8(out, hit.subject);
  out += ",\"date\":";
  json_append_str_utf8(out, hit.date);
  out += ",\"ts\":";
  std::snprintf(num, sizeof num, "%lld", hit.ts);
  out += num;
  out += "}\n";
}

bool manifest_append(export_job *job, const std::string &line) {
  std::string path = manifest_path(job);
  plat::append_file &f = job->manifest_file;
  if (!f.is_open()) {
    bool torn = ends_inside_line(path.c_str());
    if (!f.open(path.c_str(), false) || (torn && !f.write("\n", 1))) {
      f.close();
      set_err("cannot write %s", path.c_str());
      return false;
    }
  }
  long long before = f.size();
  if (f.write(line.data(), line.size())) return true;
  // Never leave half a line for the next one to be glued onto.
  if (before >= 0) f.truncate(before);
  set_err("cannot write %s", path.c_str());
  return false;
}

uid_set::uid_set(std::size_t min_slots) {
  std::size_t n = 1;
  while (n < min_slots) n *= 2;
  slots_.reset(new (std::nothrow) std::uint32_t[n]());
  if (slots_) size_ = n;
}

bool uid_set::grow() {
  std::size_t n = size_ * 2;
  std::unique_ptr<std::uint32_t[]> bigger(new (std::nothrow) std::uint32_t[n]());
  if (!bigger) return false;
  for (std::size_t i = 0; i < size_; ++i) {
    std::uint32_t u = slots_[i];
    if (!u) continue;
    std::size_t k = static_cast<std::uint32_t>(u * 2654435761u) & (n - 1);
    while (bigger[k]) k = (k + 1) & (n - 1);
    bigger[k] = u;
  }
  slots_ = std::move(bigger);
  size_ = n;
  return true;
}

uid_set::result uid_set::insert(std::uint32_t uid) {
  if (!slots_) return failed;
  std::size_t k = static_cast<std::uint32_t>(uid * 2654435761u) & (size_ - 1);
  while (slots_[k]) {
    if (slots_[k] == uid) return present;
    k = (k + 1) & (size_ - 1);
  }
  // Keep at least half the slots empty so every probe meets an empty one.
  if ((used_ + 1) * 2 > size_) {
    if (!grow()) return failed;
    k = static_cast<std::uint32_t>(uid * 2654435761u) & (size_ - 1);
    while (slots_[k]) k = (k + 1) & (size_ - 1);
  }
  slots_[k] = uid;
  ++used_;
  return added;
}

namespace {

// Reads a file line by line, any line length, line feed included.
class line_reader {
 public:
  explicit line_reader(std::FILE *f) : f_(f) {}
  // False at the end of the file or on a read error (see failed()).
  bool next(std::string &line) {
    line.clear();
    for (;;) {
      if (pos_ == len_) {
        len_ = std::fread(buf_.get(), 1, k_chunk, f_);
        pos_ = 0;
        if (len_ == 0) return !line.empty();
      }
      const char *start = buf_.get() + pos_;
      const void *lf = std::memchr(start, '\n', len_ - pos_);
      std::size_t n = lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - start) + 1
                         : len_ - pos_;
      line.append(start, n);
      pos_ += n;
      if (lf) return true;
    }
  }
  bool failed() const { return std::ferror(f_) != 0; }

 private:
  static constexpr std::size_t k_chunk = 65536;
  std::FILE *f_;
  std::unique_ptr<char[]> buf_{new char[k_chunk]};
  std::size_t len_ = 0;
  std::size_t pos_ = 0;
};

}  // namespace

bool manifest_prune(const export_job *job, std::size_t expected_uids) {
  std::string path = manifest_path(job);
  std::string tmp = path + ".tmp";
  file_ptr in(plat::file_open(path.c_str(), "rb"));
  if (!in) return true;  // nothing to prune
  file_ptr out(plat::file_open(tmp.c_str(), "wb"));
  if (!out) return false;
  bool ok = true;
  try {
    // Kept lines go straight to the new file, so memory never limits what
    // survives; a failure anywhere leaves the old manifest in place.
    uid_set seen(2 * expected_uids + 16);
    bool dedup = seen.ok();
    line_reader lines(in.get());
    std::string line;
    while (ok && lines.next(line)) {
      if (line[0] != '{') continue;
      json_doc doc;
      if (!doc.parse(line)) continue;
      auto uid = static_cast<std::uint32_t>(json_num(doc.root(), "uid", 0));
      if (uid == 0 || !resume_has(job, uid)) continue;
      if (dedup) {
        uid_set::result r = seen.insert(uid);
        if (r == uid_set::present) continue;
        if (r == uid_set::failed) dedup = false;  // keep going without duplicate removal
      }
      if (line.back() != '\n') line += '\n';
      ok = std::fwrite(line.data(), 1, line.size(), out.get()) == line.size();
    }
    if (lines.failed()) ok = false;
  } catch (const std::bad_alloc &) {
    ok = false;
  }
  in.reset();
  ok = std::fflush(out.get()) == 0 && ok;
  ok = std::fclose(out.release()) == 0 && ok;
  if (ok && plat::file_replace(tmp.c_str(), path.c_str())) return true;
  std::remove(tmp.c_str());
  return false;
}

}  // namespace kq
