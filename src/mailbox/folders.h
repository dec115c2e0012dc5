// The folder listing and the per-folder statistics shared by the listing,
// the probe and the batch export.
#pragma once

#include <string>
#include <vector>

#include "connection/imap.h"

namespace kq {

struct folder_stat {
  char name[128];
  long long count;
  long long uid_min;
  long long uid_max;
  long long total_bytes;  // not filled by folder_stats
  long long oldest;       // not filled by folder_stats
  long long newest;       // not filled by folder_stats
};

inline constexpr int k_list_rows = 512;
inline constexpr int k_list_max = 511;      // names kept per listing
inline constexpr int k_list_name_max = 511; // characters per name

// Fills out for folder: 0 when the folder could be opened (whatever the
// searches gave), -1 with "cannot open mailbox %s" otherwise.
int folder_stats(session &s, const char *folder, folder_stat *out);
// The same for many folders, their commands pipelined where the server
// offers ESEARCH; rc gets each folder's 0 or -1 (last_error holds the last
// failure's reason). The session ends with the last folder selected.
struct stats_request {
  const char *name;
  folder_stat *out;
};
void folder_stats_many(session &s, const std::vector<stats_request> &folders, std::vector<int> &rc);

// One LIST entry: the name as the server sent it and whether the server
// says it cannot be opened (\Noselect or \NonExistent).
struct folder_entry {
  std::string name;
  std::string delimiter;  // the hierarchy delimiter, "" for a flat namespace (NIL)
  bool noselect = false;
};
// Sends LIST "" "*": 0 with the entries in the server's order (at most
// max), or -1 with last_error set.
int list_folders(session &s, std::vector<folder_entry> &out, std::size_t max);

// t as the UTC day "YYYY-MM-DD" when above 0, else the empty text.
std::string utc_day(long long t);

// The mailbox name of one "* LIST (attrs) delim name" record: an atom, a
// quoted string (escapes removed) or a literal (lit/lit_len, the record's
// own literal bytes). False when the record is no LIST reply or has no name.
// delimiter, when given, gets the record's hierarchy delimiter ("" for NIL).
bool list_parse_line(const char *line, const char *lit, long long lit_len, std::string &name,
                     std::string *delimiter = nullptr);
// The same for a whole response (its first literal is the name's).
bool list_parse(const response &r, std::string &name, std::string *delimiter = nullptr);

// The folder list JSON, each folder with its counts; "" on failure. The
// entry point copies it into the calling thread's text, so the subsystem
// keeps no state between calls.
std::string folders_json();
// The size and attachment estimate of one folder; "" on failure.
std::string probe_folder(const char *folder);

}  // namespace kq
