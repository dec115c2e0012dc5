// Message count and UID range of one folder.
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "base/text.h"
#include "connection/uid_search.h"
#include "connection/fetch_data.h"
#include "mailbox/folders.h"

namespace kq {

namespace {

constexpr std::size_t k_search_read = 65535;  // characters of a SEARCH reply read
constexpr std::size_t k_stats_in_flight = 16;  // two commands a folder

// UID of the last message, or 0 when the server does not tell.
long long last_message_uid(session &s) {
  command_reply reply;
  if (s.exec("FETCH * (UID)", &reply) != 0) return 0;
  long long uid = 0;
  for (const response &r : reply.data) {
    fetch_data f;
    if (parse_fetch(r, f) && f.has_uid) uid = f.uid;
  }
  return uid;
}


// The selected folder's UID range from one ESEARCH reply, which names both
// ends. False when the server gave none (out untouched).
bool esearch_range(session &s, folder_stat *out) {
  command_reply reply;
  if (s.exec("UID SEARCH RETURN (MIN MAX) ALL", &reply) != 0) return false;
  for (const response &r : reply.data) {
    esearch_reply e;
    if (!parse_esearch(r.line, e) || !e.uid || e.min <= 0 || e.max <= 0) continue;
    out->uid_min = e.min;
    out->uid_max = e.max;
    return true;
  }
  return false;
}

// One folder at a time: EXAMINE (SELECT when refused), then one search. The
// ESEARCH form only goes to a server that offers it: others answer it with
// NO or BAD, a protocol error per folder.
int folder_stats_stepwise(session &s, const char *folder, folder_stat *out) {
  std::memset(out, 0, sizeof *out);
  copy_cut(out->name, sizeof out->name, folder);
  mailbox_state st;
  if (s.select(folder, &st) != 0) return -1;
  out->count = st.exists;
  if (st.exists <= 0) return 0;
  if (s.has_capability("ESEARCH") && esearch_range(s, out)) return 0;
  command_reply reply;
  if (s.exec("UID SEARCH ALL", &reply) != 0) return 0;
  const std::string *found = nullptr;
  for (const response &r : reply.data)
    if (std::strncmp(r.line.c_str(), "* SEARCH", 8) == 0) found = &r.line;
  if (!found) return 0;
  const char *rest = found->c_str() + 8;
  std::size_t len = std::strlen(rest);
  bool cut = len > k_search_read;
  if (cut) len = k_search_read;
  long long first = 0, last = 0;
  for (std::size_t i = 0; i < len;) {
    while (i < len && rest[i] == ' ') ++i;
    if (i >= len) break;
    std::size_t j = i;
    while (j < len && rest[j] != ' ') ++j;
    // A number the cut runs into is not a UID of the reply.
    if (cut && j == len) break;
    long long v = std::strtoll(rest + i, nullptr, 10);
    if (first == 0) first = v;
    last = v;
    i = j;
  }
  if (first <= 0) return 0;
  out->uid_min = first;
  out->uid_max = last;
  // A cut reply hides the highest UIDs: the last message has the highest.
  if (cut) {
    long long top = last_message_uid(s);
    if (top > 0) out->uid_max = top;
  }
  return 0;
}

}  // namespace

void folder_stats_many(session &s, const std::vector<stats_request> &folders, std::vector<int> &rc) {
  rc.assign(folders.size(), 0);
  // The ESEARCH reply carries its command's tag and both ends of the range:
  // a folder costs EXAMINE and one search, and many folders' commands go
  // out together. Without it, one folder at a time.
  if (!s.has_capability("ESEARCH")) {
    for (std::size_t i = 0; i < folders.size(); ++i)
      rc[i] = folder_stats_stepwise(s, folders[i].name, folders[i].out);
    return;
  }
  struct pending {
    int examined = -2;  // EXAMINE's status; -2 until it completed
    mailbox_state st;
    esearch_reply found;
    bool got = false;
    int searched = -2;
  };
  std::vector<pending> p(folders.size());
  std::size_t keep = s.window();
  s.set_window(k_stats_in_flight);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    std::memset(folders[i].out, 0, sizeof *folders[i].out);
    copy_cut(folders[i].out->name, sizeof folders[i].out->name, folders[i].name);
    pending &one = p[i];
    if (!s.submit_examine(folders[i].name, [&one](int st, const mailbox_state &m) {
          one.examined = st;
          one.st = m;
        })) {
      rc[i] = -1;
      continue;
    }
    // The server runs it after the EXAMINE, in that folder (or refuses it
    // when the EXAMINE failed and nothing is selected).
    session::command c;
    c.line = "UID SEARCH RETURN (MIN MAX) ALL";
    c.on_data = [&one](response &r) {
      esearch_reply e;
      if (parse_esearch(r.line, e) && e.uid) one.found = e, one.got = true;
    };
    c.on_done = [&one](int st, const std::string &) { one.searched = st; };
    s.submit(std::move(c));
    // Bounded: replies are read while more commands wait.
    if (s.outstanding() > 2 * k_stats_in_flight && !s.run_until_at_most(k_stats_in_flight)) break;
  }
  bool ok = s.drain();
  s.set_window(keep);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (rc[i] != 0) continue;
    if (!ok) {
      set_err("cannot open mailbox %s: %s", folders[i].name, last_error());
      rc[i] = -1;
      continue;
    }
    const pending &one = p[i];
    if (one.examined != 0) {
      // Refused to EXAMINE: the step-by-step way also tries SELECT.
      rc[i] = folder_stats_stepwise(s, folders[i].name, folders[i].out);
      continue;
    }
    folder_stat *out = folders[i].out;
    out->count = one.st.exists;
    if (out->count <= 0 || one.searched != 0 || !one.got) continue;
    if (one.found.min > 0) out->uid_min = one.found.min;
    if (one.found.max > 0) out->uid_max = one.found.max;
  }
}

int folder_stats(session &s, const char *folder, folder_stat *out) {
  std::vector<int> rc;
  folder_stats_many(s, {{folder, out}}, rc);
  return rc[0];
}

}  // namespace kq
