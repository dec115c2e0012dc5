// Starts the batch export of many folders: configuration, folder list and
// the batch thread.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <yyjson.h>

#include "base/error.h"
#include "connection/imap.h"
#include "base/text.h"
#include "batch/batch.h"
#include "mailbox/folders.h"
#include "export/export_job.h"
#include "archive/hold.h"
#include "archive/layout.h"
#include "job/thread_spawn.h"
#include "platform/platform.h"
#include "search/search.h"

namespace kq {

batch_state &the_batch() {
  static batch_state *const b = new batch_state();
  return *b;
}

bool batch_active() { return the_batch().active.load(std::memory_order_acquire) != 0; }

bool batch_cancel() {
  if (!batch_active()) return false;
  batch_state &b = the_batch();
  b.cancel_requested.store(1);
  // A folder being searched stops now, not after its whole range.
  search_cancel();
  // The other connections' jobs stop where they are, as the first's does.
  plat::lock_guard hold(b.lane_lock);
  for (export_job *job : b.lane_jobs)
    if (job) job_cancel(*job);
  return true;
}

namespace {

// Steers the jobs of the connections beyond the first; true when any runs.
bool steer_lanes(bool pause) {
  if (!batch_active()) return false;
  batch_state &b = the_batch();
  plat::lock_guard hold(b.lane_lock);
  bool any = false;
  for (export_job *job : b.lane_jobs) {
    if (!job) continue;
    any = true;
    if (pause) job_pause(*job);
    else job_resume(*job);
  }
  // Set under the lock, so a connection that registers later sees it.
  if (any) b.pause_requested.store(pause ? 1 : 0);
  return any;
}

}  // namespace

bool batch_pause() { return steer_lanes(true); }
bool batch_resume() { return steer_lanes(false); }

void batch_register_lane(int lane, export_job *job) {
  batch_state &b = the_batch();
  plat::lock_guard hold(b.lane_lock);
  b.lane_jobs[lane] = job;
}

batch_request read_batch_request(const char *config) {
  batch_request req;
  if (!config || !*config) {
    req.empty = true;
    return req;
  }
  json_doc doc;
  if (!doc.parse(config, std::strlen(config))) {
    req.problem = "invalid batch config JSON";
    return req;
  }
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root)) return req;
  if (yyjson_val *v = json_key(root, "dir"); v && yyjson_is_str(v)) {
    // A cut path would name another directory: refuse instead.
    if (yyjson_get_len(v) > k_dir_cap - 1) {
      req.problem = "dir too long";
      return req;
    }
    req.opt.dir = yyjson_get_str(v);
  }
  if (const char *n = json_str(root, "naming")) req.opt.naming.assign(n, std::min<std::size_t>(std::strlen(n), 255));
  // The folders' jobs keep year-month directories unless told otherwise;
  // "format" chooses all.mbox and Maildir for each folder as for one export.
  if (req.opt.naming.empty()) req.opt.naming = "YYYY\\MM\\uid";
  if (yyjson_val *f = json_key(root, "format"); f && yyjson_is_str(f)) {
    req.opt.mbox = std::strstr(yyjson_get_str(f), "mbox") != nullptr;
    req.opt.maildir = std::strstr(yyjson_get_str(f), "maildir") != nullptr;
  }
  req.opt.resume = json_flag(root, "resume");
  req.opt.manifest = json_flag(root, "manifest");
  // Checked the way each folder's search reads it, so a day that does not
  // exist is refused at the start rather than by every folder in turn.
  if (yyjson_val *s = json_key(root, "since"); s && !yyjson_is_null(s)) {
    std::string day = yyjson_is_str(s) ? std::string(yyjson_get_str(s), yyjson_get_len(s)) : "";
    search_criteria c;
    // Exactly "YYYY-MM-DD": the text goes into each folder's criteria as is.
    if (day.size() != 10 || !criteria_parse(("{\"since\":\"" + day + "\"}").c_str(), c) || !c.since_set) {
      req.problem = "bad since";
      return req;
    }
    req.since = day;
  }
  // More connections than the server allows a user are not an error: the
  // run uses those it gets. Anything but a number of at least 1 means one.
  if (yyjson_val *c = json_key(root, "connections"); c && yyjson_is_num(c)) {
    double n = yyjson_get_num(c);
    req.connections = n >= k_batch_max_connections ? k_batch_max_connections : n >= 1 ? static_cast<int>(n) : 1;
  }
  yyjson_val *list = json_key(root, "folders");
  if (list && yyjson_is_arr(list) && yyjson_arr_size(list) > 0) {
    req.folders_named = true;
    std::size_t i, n;
    yyjson_val *item;
    yyjson_arr_foreach(list, i, n, item) {
      if (yyjson_is_str(item)) req.folders.emplace_back(yyjson_get_str(item), yyjson_get_len(item));
    }
  }
  return req;
}

namespace {

bool have_folder(const batch_state &b, std::string_view name) {
  for (int i = 0; i < b.folder_count; ++i)
    if (name == b.folders[i]) return true;
  return false;
}

// Takes a folder name unless the table is full or the name is already in it
// (exporting one folder twice would only duplicate its archive).
void add_folder(batch_state &b, const char *name, std::size_t len) {
  if (b.folder_count >= k_batch_slots - 1) return;
  char cut[k_folder_cap];
  batch_copy_name(cut, name, len);
  if (have_folder(b, cut)) return;
  std::memcpy(b.folders[b.folder_count++], cut, sizeof cut);
}

// Takes the request's options and folders into the record.
void take_request(batch_state &b, const batch_request &req) {
  b.opt = req.opt;
  b.since = req.since;
  b.connections = req.connections;
  if (!req.folders_named) return;
  for (const std::string &f : req.folders) add_folder(b, f.data(), f.size());
  // The status shows these names even when the start fails further on.
  batch_assign_subdirs();
}

// Every folder the server lists.
void read_server_folders(batch_state &b) {
  std::vector<folder_entry> entries;
  if (list_folders(main_session(), entries, k_batch_slots) != 0) return;
  // The names go in as the status reads them; the server is not waited for
  // under the lock.
  plat::lock_guard hold(b.text_lock);
  for (const folder_entry &e : entries) {
    int before = b.folder_count;
    add_folder(b, e.name.c_str(), e.name.size());
    if (b.folder_count > before) b.noselect[before] = e.noselect;
  }
  batch_assign_subdirs();
}

}  // namespace

int batch_start(const batch_request &req) {
  batch_state &b = the_batch();
  // A batch whose end the status already shows is only letting go of its
  // directory: a host that saw the end and starts again is not refused for
  // those last moments.
  for (int waited = 0; waited < 5000 && batch_active() && b.state.load(std::memory_order_acquire) != k_batch_running;
       ++waited)
    plat::sleep_ms(1);
  // Zeroing the record under a running batch thread would pull its folder
  // list away; a new batch waits until the old one has ended.
  if (batch_active()) {
    set_err("batch already running");
    return -1;
  }
  batch_clear();
  if (req.empty) {
    set_err("empty config");
    return -1;
  }
  if (!conn_usable()) return -1;
  // Listing folders now would talk over a running export job's commands.
  if (export_job_active()) {
    set_err("export already running");
    return -1;
  }
  if (req.problem) {
    set_err("%s", req.problem);
    return -1;
  }
  {
    // A host thread may be reading the status meanwhile: the folder names
    // and their directories change under the lock it reads them with.
    plat::lock_guard hold(b.text_lock);
    take_request(b, req);
  }
  std::string &dir = b.opt.dir;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  if (dir.empty()) {
    set_err("config missing dir");
    return -1;
  }
  // A list given with no usable name does not widen to every folder.
  if (b.folder_count == 0 && !req.folders_named) {
    read_server_folders(b);
    b.listed_by_server = 1;
  }
  if (b.folder_count == 0) {
    set_err("no folders found");
    return -1;
  }
  if (!b.hold.take(dir)) return -1;
  // The start went well: no reason of an earlier failure lingers. The batch
  // thread's own failures reach the host through the status.
  set_err("%s", "");
  b.state.store(k_batch_running, std::memory_order_release);
  b.active.store(1, std::memory_order_release);
  if (!kq_thread_spawn(batch_worker, &b)) {
    b.active.store(0);
    b.state.store(k_batch_failed);
    b.hold.release();
    set_err("thread create failed");
    return -1;
  }
  return 0;
}

}  // namespace kq
