// The batch run record and its status report.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "batch/batch.h"
#include "platform/platform.h"

namespace kq {

namespace {

constexpr std::size_t k_status_cap = 16384;

// Holds the batch's text lock for its scope.
struct KQ_SCOPED_CAPABILITY text_guard {
  explicit text_guard(batch_state &b) KQ_ACQUIRE(b.text_lock) : hold(b.text_lock) {}
  ~text_guard() KQ_RELEASE() {}
  plat::lock_guard hold;
};

const char *folder_word(int i) {
  batch_state &b = the_batch();
  switch (b.folder_state[i].load(std::memory_order_acquire)) {
    case k_folder_running: return "running";
    case k_folder_done: return "done";
    case k_folder_error: return "error";
    case k_folder_unreadable: return "unreadable";
    default: return "pending";  // not reached yet, or configured but never started
  }
}

}  // namespace

void batch_clear() {
  batch_state &b = the_batch();
  text_guard g(b);
  b.state.store(0);
  b.cancel_requested.store(0);
  b.opt = export_options{};
  std::memset(b.folders, 0, sizeof b.folders);
  std::memset(b.subdirs, 0, sizeof b.subdirs);
  std::memset(b.noselect, 0, sizeof b.noselect);
  std::memset(b.folder_errors, 0, sizeof b.folder_errors);
  for (auto &f : b.folder_state) f.store(k_folder_pending);
  b.folder_count = 0;
  b.listed_by_server = 0;
  b.folder_idx.store(0);
  b.done_folders.store(0);
  b.connections = 1;
  b.connections_used.store(0);
  b.pause_requested.store(0);
  b.current[0] = '\0';
  b.error_text[0] = '\0';
}

namespace {

// The text first: a host that sees the word finds its text there.
void set_folder_reason(int i, const char *text, std::int32_t state) {
  batch_state &b = the_batch();
  {
    text_guard g(b);
    std::snprintf(b.folder_errors[i], sizeof b.folder_errors[i], "%s", text);
  }
  b.folder_state[i].store(state, std::memory_order_release);
}

}  // namespace

void batch_set_folder_error(int i, const char *text) { set_folder_reason(i, text, k_folder_error); }

void batch_set_folder_unreadable(int i, const char *text) {
  set_folder_reason(i, text, k_folder_unreadable);
}

void batch_read_texts(char current[1024], char error_text[512]) {
  batch_state &b = the_batch();
  text_guard g(b);
  std::memcpy(current, b.current, sizeof b.current);
  std::memcpy(error_text, b.error_text, sizeof b.error_text);
}

void batch_set_current(const char *text) {
  batch_state &b = the_batch();
  text_guard g(b);
  std::snprintf(b.current, sizeof b.current, "%s", text);
}

void batch_set_error(const char *text) {
  batch_state &b = the_batch();
  text_guard g(b);
  std::snprintf(b.error_text, sizeof b.error_text, "%s", text);
}

const char *batch_status_json() {
  batch_state &b = the_batch();
  // Acquire: a final state is published after the texts it goes with.
  std::int32_t state = b.state.load(std::memory_order_acquire);
  int idx = b.folder_idx.load();
  char current[1024], error_text[512];
  batch_read_texts(current, error_text);
  // The folders as the start set them: a start from another host thread
  // rewrites them under the lock.
  int folder_count;
  std::vector<std::string> subdirs;
  int asked;
  {
    text_guard g(b);
    asked = b.connections;
    folder_count = b.folder_count;
    for (int i = 0; i < folder_count; ++i) subdirs.emplace_back(b.subdirs[i]);
  }
  // The folder words before the count: the worker counts a folder before
  // it calls it done, so no text shows more folders done than counted.
  std::vector<const char *> words;
  for (int i = 0; i < folder_count; ++i) words.push_back(folder_word(i));

  std::string out;
  out.reserve(k_status_cap);
  char head[96];
  std::snprintf(head, sizeof head, "{\"state\":%d,\"folder_idx\":%d,\"done_folders\":%d,\"current\":",
                state, idx, static_cast<int>(b.done_folders.load()));
  out += head;
  json_append_str_utf8(out, current);
  out += ",\"folders\":{";
  // The count of folders passed over as unreadable is named only when there
  // are some, and then always: room is kept for it.
  int unreadable_count = 0;
  for (const char *w : words) unreadable_count += std::strcmp(w, "unreadable") == 0;
  char count[96] = "";
  if (unreadable_count > 0)
    std::snprintf(count, sizeof count, ",\"unreadable_folders\":%d", unreadable_count);
  // How many connections the run got, named only when more than one was
  // asked for (the server may have allowed fewer).
  if (asked > 1)
    std::snprintf(count + std::strlen(count), sizeof count - std::strlen(count), ",\"connections\":%d",
                  static_cast<int>(b.connections_used.load()));
  // Why a run failed: the batch thread's last_error is its own, so the host
  // reads the reason here. Room is kept for it too.
  std::string error;
  if (state == k_batch_failed && error_text[0]) {
    error = ",\"error\":";
    json_append_str_utf8(error, error_text);
  }
  const std::size_t room = k_status_cap - 1 - std::strlen(count) - error.size();
  // Whole entries only, so the text always closes: at most k_status_cap - 1
  // characters including the closing braces.
  std::string entry, errors, unreadable;
  bool full = false;
  for (int i = 0; i < folder_count; ++i) {
    const char *word = words[static_cast<std::size_t>(i)];
    bool passed_over = std::strcmp(word, "unreadable") == 0;
    entry.clear();
    if (i) entry.push_back(',');
    json_append_str_utf8(entry, subdirs[static_cast<std::size_t>(i)]);
    entry.push_back(':');
    json_append_str(entry, word);
    // Once one entry does not fit, none after it goes in.
    if (full || out.size() + entry.size() + 2 > room) {
      full = true;
      continue;
    }
    out += entry;
    // The reason of each folder that failed on its own (a run that ends at
    // a folder gives its reason in "error"), and the server's text for
    // each folder passed over, keyed like the folder.
    std::string *reasons = passed_over ? &unreadable : std::strcmp(word, "error") == 0 ? &errors : nullptr;
    if (!reasons) continue;
    std::string reason;
    {
      text_guard g(b);
      reason = b.folder_errors[i];
    }
    if (reason.empty() && !passed_over) continue;
    *reasons += reasons->empty() ? "" : ",";
    json_append_str_utf8(*reasons, subdirs[static_cast<std::size_t>(i)]);
    reasons->push_back(':');
    json_append_str_utf8(*reasons, reason);
  }
  out += "}";
  // Only named when some folder failed or was passed over, so the common
  // text stays as it was.
  if (!errors.empty() && out.size() + errors.size() + 13 <= room)
    out += ",\"errors\":{" + errors + "}";
  out += count;
  out += error;
  if (!unreadable.empty() && out.size() + unreadable.size() + 17 <= k_status_cap - 1)
    out += ",\"unreadable\":{" + unreadable + "}";
  out += "}";
  // One text per thread: a poll from one thread never rewrites the text
  // another thread is still reading.
  thread_local std::string s_status;
  s_status.swap(out);
  return s_status.c_str();
}

}  // namespace kq
