// Message count and UID range of one folder.
#include <cstdlib>
#include <cstring>

#include "connection/imap.h"
#include "base/text.h"
#include "mailbox/folders.h"
#include "search/fetch_items.h"

namespace kq {

namespace {

constexpr std::size_t k_search_read = 65535;  // characters of a SEARCH reply read

// UID of the last message, or 0 when the server does not tell.
long long last_message_uid(reader *r) {
  if (cmd_exec(r, "FETCH * (UID)") != 0) return 0;
  long long uid = 0;
  for (int i = 0; i < r->count; ++i) {
    unsigned long long u;
    if (read_fetch_uid(r->records[i], u)) uid = static_cast<long long>(u);
  }
  return uid;
}

}  // namespace

int folder_stats(reader *r, const char *folder, folder_stat *out) {
  std::memset(out, 0, sizeof *out);
  copy_cut(out->name, sizeof out->name, folder);
  long long count = 0;
  if (imap_select(r, folder, &count, nullptr) != 0) return -1;
  out->count = count;
  if (count <= 0) return 0;
  // Kept for servers that answer it; its reply never decides the range.
  cmd_exec(r, "UID SEARCH MIN MAX");
  if (cmd_exec(r, "UID SEARCH ALL") != 0) return 0;
  const char *rest = nullptr;
  for (int i = 0; i < r->count && !rest; ++i)
    if (std::strncmp(r->records[i], "* SEARCH", 8) == 0) rest = r->records[i] + 8;
  if (!rest) return 0;
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
    long long top = last_message_uid(r);
    if (top > 0) out->uid_max = top;
  }
  return 0;
}

}  // namespace kq
