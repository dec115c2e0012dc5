// Starts the batch export of many folders: configuration, folder list and
// the batch thread.
#include <cstdio>
#include <cstring>
#include <string_view>

#include <yyjson.h>

#include "base/error.h"
#include "connection/imap.h"
#include "base/text.h"
#include "export/batch.h"
#include "mailbox/folders.h"
#include "export/job.h"
#include "export/layout.h"
#include "export/thread_spawn.h"
#include "platform/platform.h"
#include "search/search.h"

namespace kq {

bool batch_active() { return s_batch.active.load(std::memory_order_acquire) != 0; }

bool batch_cancel() {
  if (!batch_active()) return false;
  s_batch.cancel_requested.store(1);
  // A folder being searched stops now, not after its whole range.
  search_cancel();
  return true;
}


namespace {

bool have_folder(std::string_view name) {
  for (int i = 0; i < s_batch.folder_count; ++i)
    if (name == s_batch.folders[i]) return true;
  return false;
}

// Takes a folder name unless the table is full or the name is already in it
// (exporting one folder twice would only duplicate its archive).
void add_folder(const char *name, std::size_t len) {
  if (s_batch.folder_count >= k_batch_slots - 1) return;
  char cut[k_folder_cap];
  batch_copy_name(cut, name, len);
  if (have_folder(cut)) return;
  std::memcpy(s_batch.folders[s_batch.folder_count++], cut, sizeof cut);
}

// Reads the configuration into s_batch; -1 with last_error set.
int read_config(const char *config, bool *listed) {
  json_doc doc;
  if (!doc.parse(config, std::strlen(config))) {
    set_err("invalid batch config JSON");
    return -1;
  }
  s_batch.parallel = 2;
  s_batch.resume = 1;
  s_batch.manifest = 1;
  *listed = false;
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root)) return 0;
  if (yyjson_val *v = json_key(root, "dir"); v && yyjson_is_str(v)) {
    // A cut path would name another directory: refuse instead.
    if (yyjson_get_len(v) > sizeof s_batch.dir - 1) {
      set_err("dir too long");
      return -1;
    }
    copy_cut(s_batch.dir, sizeof s_batch.dir, yyjson_get_str(v));
  }
  if (const char *s = json_str(root, "naming")) copy_cut(s_batch.naming, sizeof s_batch.naming, s);
  int parallel = json_int(root, "parallel", 2);
  if (parallel >= 1 && parallel <= 4) s_batch.parallel = parallel;
  s_batch.resume = json_int(root, "resume", 1);
  s_batch.manifest = json_int(root, "manifest", 1);
  yyjson_val *list = json_key(root, "folders");
  if (list && yyjson_is_arr(list) && yyjson_arr_size(list) > 0) {
    *listed = true;
    std::size_t i, n;
    yyjson_val *item;
    yyjson_arr_foreach(list, i, n, item) {
      if (yyjson_is_str(item)) add_folder(yyjson_get_str(item), yyjson_get_len(item));
    }
    // The status shows these names even when the start fails further on.
    batch_assign_subdirs();
  }
  return 0;
}

// Every folder the server lists.
void read_server_folders() {
  std::vector<folder_entry> entries;
  if (list_folders(main_session(), entries, k_batch_slots) != 0) return;
  // The names go in as the status reads them; the server is not waited for
  // under the lock.
  plat::lock_guard hold(s_batch.text_lock);
  for (const folder_entry &e : entries) {
    int before = s_batch.folder_count;
    add_folder(e.name.c_str(), e.name.size());
    if (s_batch.folder_count > before) s_batch.noselect[before] = e.noselect;
  }
  batch_assign_subdirs();
}

}  // namespace

int batch_start(const char *config) {
  // Zeroing the record under a running batch thread would pull its folder
  // list away; a new batch waits until the old one has ended.
  if (batch_active()) {
    set_err("batch already running");
    return -1;
  }
  batch_clear();
  if (!config || !*config) {
    set_err("empty config");
    return -1;
  }
  if (!conn_usable()) return -1;
  // Listing folders now would talk over a running export job's commands.
  if (export_job_active()) {
    set_err("export already running");
    return -1;
  }
  bool listed = false;
  {
    // A host thread may be reading the status meanwhile: the folder names
    // and their directories change under the lock it reads them with.
    plat::lock_guard hold(s_batch.text_lock);
    if (read_config(config, &listed) != 0) return -1;
  }
  std::size_t dl = std::strlen(s_batch.dir);
  while (dl > 1 && (s_batch.dir[dl - 1] == '/' || s_batch.dir[dl - 1] == '\\')) s_batch.dir[--dl] = '\0';
  if (dl == 0) {
    set_err("config missing dir");
    return -1;
  }
  // A list given with no usable name does not widen to every folder.
  if (s_batch.folder_count == 0 && !listed) {
    read_server_folders();
    s_batch.listed_by_server = 1;
  }
  if (s_batch.folder_count == 0) {
    set_err("no folders found");
    return -1;
  }
  mkdirs(s_batch.dir);
  // The start went well: no reason of an earlier failure lingers. The batch
  // thread's own failures reach the host through the status.
  set_err("%s", "");
  s_batch.state.store(k_batch_running, std::memory_order_release);
  s_batch.active.store(1, std::memory_order_release);
  if (!kq_thread_spawn(batch_worker, &s_batch)) {
    s_batch.active.store(0);
    s_batch.state.store(k_batch_failed);
    set_err("thread create failed");
    return -1;
  }
  return 0;
}

}  // namespace kq
