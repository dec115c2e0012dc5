// The batch thread: search each folder, export it, wait for the job, go on.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/text.h"
#include "export/batch.h"
#include "connection/imap.h"
#include "export/job.h"
#include "export/worker.h"
#include "search/search.h"
#include "platform/platform.h"
#include "search/search_table.h"

namespace kq {

namespace {

constexpr std::size_t k_dir_cap = 4096;  // what an export job keeps of "dir"

// Ends a failed run. The reason also goes to last_error, where the host
// looks once it sees state 4; the state is published last.
void fail(batch_state *b, const char *text) {
  batch_set_error(text);
  set_err("%s", text);
  b->state.store(k_batch_failed, std::memory_order_release);
}

void fail(batch_state *b, const char *what, const char *folder, const char *detail) {
  char text[512];
  std::snprintf(text, sizeof text, "%s %s %s", what, folder, detail);
  fail(b, text);
}

std::string job_config(const batch_state *b, const std::string &dir) {
  std::string c = "{\"dir\":";
  json_append_str(c, dir);
  c += ",\"format\":\"eml\",\"naming\":";
  json_append_str(c, b->naming[0] ? b->naming : "YYYY\\MM\\uid");
  char tail[96];
  std::snprintf(tail, sizeof tail, ",\"parallel\":%d,\"resume\":%d,\"manifest\":%d}", b->parallel,
                b->resume, b->manifest);
  c += tail;
  return c;
}

// The server refused to open a folder it listed itself (a \Noselect parent
// such as "[Gmail]"): such a folder holds no messages to export.
bool folder_unopenable() {
  return main_session().status() == 2 && std::strncmp(last_error(), "cannot open mailbox", 19) == 0;
}

// Exports the current search result of folder i into its subdirectory and
// waits for the job; false when the run has ended failed.
bool export_result(batch_state *b, int i) {
  const char *folder = b->folders[i];
  std::string dir = std::string(b->dir) + "/" + b->subdirs[i];
  if (dir.size() > k_dir_cap - 1) {
    fail(b, "export", folder, "failed: dir too long");
    return false;
  }
  // The job runs on this thread: when the call returns, it has ended.
  if (export_start(job_config(b, dir).c_str(), true) != 0) {
    fail(b, "export", folder, (std::string("failed: ") + last_error()).c_str());
    return false;
  }
  // Published again under the text lock, so a host that reads the status
  // after this sees what the start wrote to last_error before its own
  // calls write there.
  batch_publish_current();
  // Wait until the job's worker has let go of the job: a cancelled job
  // reports 3 like a paused one, and a finished job stays active a moment
  // longer while it releases its reader, when a new start would be refused.
  int st = s_job.state;
  if (st == k_job_done) return true;
  if (st == k_job_stopped) {
    fail(b, "export", folder, "cancelled");
  } else {
    fail(b, "export", folder, (std::string("error: ") + last_error()).c_str());
  }
  return false;
}

std::uint32_t highest_uid() {
  std::uint32_t top = 0;
  for (int r = 0; r < s_search_count; ++r)
    if (s_search[r].uid > top) top = s_search[r].uid;
  return top;
}

// Searches and exports one folder. A search stops at the result table's
// capacity; a full table is followed by a search above its highest UID, so
// a large folder is exported in parts instead of being cut short. Returns
// false when the run has ended failed.
bool export_folder(batch_state *b, int i, bool *exported) {
  const char *folder = b->folders[i];
  std::string criteria;
  *exported = false;
  for (;;) {
    if (b->cancel_requested) {
      fail(b, "export", folder, "cancelled");
      return false;
    }
    if (search_folder(folder, criteria.empty() ? nullptr : criteria.c_str()) != 0) {
      if (b->cancel_requested) {
        fail(b, "export", folder, "cancelled");
        return false;
      }
      if (b->listed_by_server && !*exported && folder_unopenable()) {
        set_err("%s", "");
        return true;
      }
      fail(b, "search", folder, (std::string("failed: ") + last_error()).c_str());
      return false;
    }
    int rows = s_search_count;
    if (rows == 0) return true;
    if (!export_result(b, i)) return false;
    *exported = true;
    std::uint32_t top = highest_uid();
    if (rows < s_search_cap || top == UINT32_MAX) return true;
    // Without resume each part's job would start the archive afresh and
    // drop the manifest of the parts before it.
    if (!b->resume) {
      char detail[96];
      std::snprintf(detail, sizeof detail, "incomplete: more than %d messages", s_search_cap);
      fail(b, "export", folder, detail);
      return false;
    }
    // snprintf, not std::to_string: the latter leaves a template's static
    // table among the library's exported symbols.
    char next[48];
    std::snprintf(next, sizeof next, "{\"uid_min\":%llu}", static_cast<unsigned long long>(top) + 1);
    criteria = next;
  }
}

void run(batch_state *b) {
  b->state.store(k_batch_running);
  for (int i = 0; i < b->folder_count; ++i) {
    b->folder_idx.store(i);
    char line[1024];
    std::snprintf(line, sizeof line, "folder %d/%d: %s", i + 1, b->folder_count, b->folders[i]);
    batch_set_current(line);
    bool exported = false;
    if (b->cancel_requested) {
      fail(b, "export", b->folders[i], "cancelled");
      return;
    }
    if (!export_folder(b, i, &exported)) return;
    if (exported) b->done_folders.fetch_add(1);
  }
  batch_set_current("");
  b->state.store(k_batch_finished, std::memory_order_release);
}

}  // namespace

void batch_worker(void *batch) {
  auto *b = static_cast<batch_state *>(batch);
  try {
    run(b);
  } catch (...) {
    fail(b, "batch stopped: out of memory");
  }
  b->active.store(0, std::memory_order_release);
}

}  // namespace kq
