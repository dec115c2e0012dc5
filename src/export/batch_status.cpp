// The batch run record and its status report.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "export/batch.h"
#include "platform/platform.h"

namespace kq {

batch_state s_batch;

namespace {

constexpr std::size_t k_status_cap = 16384;
char s_status[k_status_cap];

// Holds the batch's text lock for its scope.
struct KQ_SCOPED_CAPABILITY text_guard {
  text_guard() KQ_ACQUIRE(s_batch.text_lock) : hold(s_batch.text_lock) {}
  ~text_guard() KQ_RELEASE() {}
  plat::lock_guard hold;
};

const char *folder_word(int i) {
  switch (s_batch.folder_state[i].load(std::memory_order_acquire)) {
    case k_folder_running: return "running";
    case k_folder_done: return "done";
    case k_folder_error: return "error";
    default: return "pending";  // not reached yet, or configured but never started
  }
}

}  // namespace

void batch_clear() {
  text_guard g;
  s_batch.state.store(0);
  s_batch.cancel_requested.store(0);
  s_batch.dir[0] = '\0';
  s_batch.naming[0] = '\0';
  s_batch.parallel = 0;
  s_batch.resume = 0;
  s_batch.manifest = 0;
  std::memset(s_batch.folders, 0, sizeof s_batch.folders);
  std::memset(s_batch.subdirs, 0, sizeof s_batch.subdirs);
  std::memset(s_batch.noselect, 0, sizeof s_batch.noselect);
  std::memset(s_batch.folder_errors, 0, sizeof s_batch.folder_errors);
  for (auto &f : s_batch.folder_state) f.store(k_folder_pending);
  s_batch.folder_count = 0;
  s_batch.listed_by_server = 0;
  s_batch.folder_idx.store(0);
  s_batch.done_folders.store(0);
  s_batch.current[0] = '\0';
  s_batch.error_text[0] = '\0';
}

void batch_set_folder_error(int i, const char *text) {
  {
    text_guard g;
    std::snprintf(s_batch.folder_errors[i], sizeof s_batch.folder_errors[i], "%s", text);
  }
  s_batch.folder_state[i].store(k_folder_error, std::memory_order_release);
}

void batch_read_texts(char current[1024], char error_text[512]) {
  text_guard g;
  std::memcpy(current, s_batch.current, sizeof s_batch.current);
  std::memcpy(error_text, s_batch.error_text, sizeof s_batch.error_text);
}

void batch_set_current(const char *text) {
  text_guard g;
  std::snprintf(s_batch.current, sizeof s_batch.current, "%s", text);
}

void batch_publish_current() { text_guard g; }

void batch_set_error(const char *text) {
  text_guard g;
  std::snprintf(s_batch.error_text, sizeof s_batch.error_text, "%s", text);
}

const char *batch_status_json() {
  // Acquire: a final state is published after the texts it goes with.
  std::int32_t state = s_batch.state.load(std::memory_order_acquire);
  int idx = s_batch.folder_idx.load();
  char current[1024], error_text[512];
  batch_read_texts(current, error_text);
  // The folder words before the count: the worker counts a folder before
  // it calls it done, so no text shows more folders done than counted.
  std::vector<const char *> words;
  for (int i = 0; i < s_batch.folder_count; ++i) words.push_back(folder_word(i));

  std::string out;
  out.reserve(k_status_cap);
  char head[96];
  std::snprintf(head, sizeof head, "{\"state\":%d,\"folder_idx\":%d,\"done_folders\":%d,\"current\":",
                state, idx, static_cast<int>(s_batch.done_folders.load()));
  out += head;
  json_append_str_utf8(out, current);
  out += ",\"folders\":{";
  // Whole entries only, so the text always closes: at most k_status_cap - 1
  // characters including the closing braces.
  std::string entry, errors;
  for (int i = 0; i < s_batch.folder_count; ++i) {
    entry.clear();
    if (i) entry.push_back(',');
    json_append_str_utf8(entry, s_batch.subdirs[i]);
    entry.push_back(':');
    const char *word = words[static_cast<std::size_t>(i)];
    json_append_str(entry, word);
    if (out.size() + entry.size() + 2 > k_status_cap - 1) break;
    out += entry;
    if (std::strcmp(word, "error") == 0) {
      // The reason of each folder that failed on its own, keyed like the
      // folder (a run that ends at a folder gives its reason in last_error).
      std::string reason;
      {
        text_guard g;
        reason = s_batch.folder_errors[i];
      }
      if (reason.empty()) continue;
      errors += errors.empty() ? "" : ",";
      json_append_str_utf8(errors, s_batch.subdirs[i]);
      errors.push_back(':');
      json_append_str_utf8(errors, reason);
    }
  }
  out += "}";
  // Only named when some folder failed, so the common text stays as it was.
  if (!errors.empty() && out.size() + errors.size() + 13 <= k_status_cap - 1)
    out += ",\"errors\":{" + errors + "}";
  out += "}";
  std::memcpy(s_status, out.c_str(), out.size() + 1);
  return s_status;
}

}  // namespace kq
