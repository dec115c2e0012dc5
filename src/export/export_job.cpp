#include "export/export_job.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <yyjson.h>

#include "archive/resume_file.h"
#include "base/error.h"
#include "base/text.h"

namespace kq {

bool json_flag(yyjson_val *obj, const char *key) { return json_num(obj, key, 1) != 0; }

export_request read_export_request(const char *config) {
  export_request req;
  export_options &out = req.opt;
  json_doc doc;
  if (!doc.parse(config, std::strlen(config))) {
    req.problem = "invalid export config JSON";
    return req;
  }
  yyjson_val *root = doc.root();
  if (yyjson_is_obj(root)) {
    // A "dir" or "naming" that is not a text counts as absent; both are cut
    // to what the job has always kept of them.
    if (const char *d = json_str(root, "dir")) out.dir.assign(d, std::min(std::strlen(d), k_dir_cap - 1));
    if (const char *r = json_str(root, "archive_root"); r && out.dir.empty())
      out.archive_root.assign(r, std::min(std::strlen(r), k_dir_cap - 1));
    if (yyjson_val *f = json_key(root, "format")) {
      out.mbox = yyjson_is_str(f) && std::strstr(yyjson_get_str(f), "mbox");
      out.maildir = yyjson_is_str(f) && std::strstr(yyjson_get_str(f), "maildir");
    }
    if (const char *n = json_str(root, "naming"))
      out.naming.assign(n, std::min<std::size_t>(std::strlen(n), 255));
    // A folder named here is exported whole without a search first: the
    // job asks the server for its UIDs and fetches rows only for those the
    // archive lacks, so a re-run costs what is new, not the folder's size.
    if (const char *f = json_str(root, "folder")) req.folder.assign(f, std::min<std::size_t>(std::strlen(f), 1023));
    out.resume = json_flag(root, "resume");
    out.manifest = json_flag(root, "manifest");
  }
  if (out.dir.empty() && out.archive_root.empty()) {
    req.problem = "config missing dir";
    return req;
  }
  for (std::string *d : {&out.dir, &out.archive_root})
    while (d->size() > 1 && (d->back() == '/' || d->back() == '\\')) d->pop_back();
  return req;
}

namespace {
// Built in place on first use and never destroyed.
alignas(export_job) unsigned char g_job_storage[sizeof(export_job)];
}  // namespace

export_job &export_record() {
  // A function-local static makes the first use safe even when two threads
  // make their first export call at the same time.
  static export_job *const job = new (g_job_storage) export_job();
  return *job;
}

bool export_job_active() { return export_record().active.load() != 0; }

void export_job_reset(export_job &job) {
  job_core_reset(job);
  job.sess = nullptr;
  job.opt = export_options{};
  job.folder[0] = '\0';
  job.result.reset();
  job.learn_uids = false;
  job.last_uid = 0;
  job.unfetched.clear();
  job.gen = archive_generation{};
  job.recreated = 0;
  archive_writer &a = job.archive;
  a.in_mbox.clear();
  a.mbox_file.close();
  a.mbox_bytes = -1;
  a.manifest_file.close();
  a.made_dir.clear();
  a.names_indexed = false;
  a.unsynced.clear();
  a.on_disk_known = false;
  a.on_disk = resume_data{};
  a.manifest_synced = -1;
  job.completed.clear();
  job.completed.shrink_to_fit();
  job.modseq = 0;
}

void settle_export_generation(export_job &job, std::uint64_t server_uv) {
  // Another generation's UIDs name other messages: nothing of the
  // completed list counts any more.
  if (!settle_generation(job.gen, server_uv)) return;
  job.completed.clear();
  job.last_uid = 0;
  job.modseq = 0;
  job.recreated = 1;
}

void load_resume(export_job &job) {
  job.last_uid = 0;
  job.archive.mbox_bytes = -1;
  job.completed.clear();
  job.modseq = 0;
  job.gen.archived = 0;
  job.gen.base = 0;
  job.archive.on_disk_known = false;
  job.archive.on_disk = resume_data{};
  // The archive's reader of the file: the same rules, and never through a
  // link out of the directory.
  resume_data data;
  try {
    if (resume_load(job.opt.dir.c_str(), data) != resume_load_result::loaded) return;
    // Kept to tell, when the job saves, whether the file would change.
    if (job.opt.resume) {
      job.archive.on_disk = data;
      job.archive.on_disk_known = true;
    }
  } catch (const std::bad_alloc &) {
    job.archive.on_disk = resume_data{};
    job.archive.on_disk_known = false;
    return;  // no memory: start as if nothing were stored
  }
  if (data.has_folder && data.folder != job.folder) return;
  // Which names the stored messages carry matters without resume too: a
  // job that does not skip must still not write over another generation.
  job.gen.archived = data.uidvalidity;
  job.gen.base = resume_base_generation(data);
  if (!job.opt.resume) return;
  job.last_uid = data.last_uid;
  job.completed = std::move(data.completed);
  job.archive.mbox_bytes = data.mbox_bytes;
  job.modseq = data.highestmodseq;
}

bool save_resume(export_job &job) {
  if (!job.opt.resume) return true;
  archive_writer &a = job.archive;
  const char *dir = job.opt.dir.c_str();
  resume_record r;
  r.folder = job.folder;
  r.uidvalidity = job.gen.archived;
  r.base_uidvalidity = job.gen.base;
  r.last_uid = static_cast<std::uint32_t>(job.last_uid);
  r.done = static_cast<long long>(job.done.load());
  r.total = static_cast<long long>(job.total.load());
  r.completed = &job.completed;
  r.highestmodseq = job.modseq;
  // A job that does not write all.mbox passes the loaded length on.
  r.mbox_bytes = a.mbox_file.is_open() ? a.mbox_file.size() : a.mbox_bytes;
  bool same = a.on_disk_known && resume_reads_as(r, a.on_disk);
  long long manifest_now = a.manifest_file.is_open() ? a.manifest_file.size() : -1;
  // Nothing written since the last save and nothing new to record: the
  // archive is left alone, not even synced (a re-run that finds nothing new
  // touches no file of it).
  if (same && a.unsynced.files.empty() && manifest_now == a.manifest_synced) return true;
  // Everything the file is about to name reaches the disk first.
  if (!sync_stored(a.unsynced, dir, a.mbox_file, a.manifest_file)) return false;
  a.manifest_synced = manifest_now;
  // Lines appended that name no new message (changed flags, where the
  // server keeps no mod-sequences) are on the disk now; the file would say
  // what it says.
  if (same) return true;
  if (!resume_save(dir, r, durable_writes())) return false;
  try {
    a.on_disk = resume_as_read(r);
    a.on_disk_known = true;
  } catch (const std::bad_alloc &) {
    // Unknown again: the next save writes the file.
    a.on_disk_known = false;
  }
  return true;
}

void count_work(export_job &job) {
  std::uint64_t total = 0;
  long long todo = 0;
  for (const search_hit &row : job.result->rows()) {
    if (job.opt.resume && ledger_has(job.completed, row.uid)) continue;
    ++total;
    todo += row.bytes > 0 ? row.bytes : 0;
  }
  job.total = total;
  job.bytes_todo = todo;
}

}  // namespace kq
