// The server's folders as the tool shows and chooses them: INBOX first, then
// the hierarchy in name order, each with its UTF-8 name beside the server's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kqcli {

struct folder_info {
  std::string name;     // as the server sent it (modified UTF-7): what the library is given
  std::string display;  // UTF-8: what the user sees and what patterns match
  long long count = 0, uid_min = 0, uid_max = 0;
  bool listed = true;  // false: named by the user, not on the server's list
};

struct folder_listing {
  std::vector<folder_info> folders;  // INBOX first, then hierarchy order
  char delimiter = '/';
};

// Reads the library's folder list text; false when it is not a JSON array.
bool parse_folder_listing(std::string_view json, folder_listing &out);
// Asks the library (connected) and sorts; failure when it cannot
// (defined with the folders command).
folder_listing list_folders();

// The hierarchy delimiter, from the entries' "delimiter" when the library
// gives one, else from the names: the candidate whose parents the server
// lists most often. The server's LIST answer names it, but the library's text
// does not pass it on, and the tool does not talk to the server itself.
char guess_delimiter(const std::vector<std::string> &names);

// INBOX (any letter case) and what lies under it first, then the rest by
// name, level by level, so a parent comes just before its children.
void sort_folders(std::vector<folder_info> &folders, char delimiter);

// The folder a user named, by its server name or its UTF-8 name; null when
// the server has none of that name.
const folder_info *find_folder(const folder_listing &list, std::string_view name);

}  // namespace kqcli
