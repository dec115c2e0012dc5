// export-all: the folders --folder, --include and --exclude choose.
#include <set>
#include <string>
#include <vector>

#include "export_all.h"
#include "export_common.h"
#include "format.h"
#include "patterns.h"

namespace kqcli {

std::string shown(const folder_info &f) { return printable(f.display, false); }

long long archived(const std::string &dir) { return dir.empty() ? 0 : manifest_messages({dir}); }

std::vector<folder_info> chosen_folders(const args &a, const folder_listing &list) {
  const auto &named = a.values("folder");
  for (const auto &f : named)
    if (f.empty()) throw usage_error("--folder wants a folder name");
  const auto &include = a.values("include"), &exclude = a.values("exclude");
  for (const auto *l : {&include, &exclude})
    for (const auto &p : *l)
      if (p.empty()) throw usage_error("--include and --exclude want a pattern");

  std::vector<folder_info> out;
  std::vector<std::string> unknown;
  if (!named.empty()) {
    std::set<std::string> want(named.begin(), named.end());
    for (const auto &f : list.folders)
      if (want.count(f.name) || want.count(f.display)) out.push_back(f);
    for (const auto &n : named)
      if (!find_folder(list, n)) {
        folder_info f;
        f.name = f.display = n;
        f.listed = false;
        out.push_back(f);
      }
  } else {
    // A parent the server lists only to hold others (a \Noselect one, such
    // as "[Gmail]") shows no messages and cannot be opened: the library's own
    // listing passes it over without a word, and so does this one.
    for (const auto &f : list.folders) {
      bool parent = false;
      for (const auto &g : list.folders)
        parent = parent || (g.display.size() > f.display.size() + 1 &&
                            g.display.compare(0, f.display.size(), f.display) == 0 &&
                            g.display[f.display.size()] == list.delimiter);
      if (!(parent && f.count <= 0 && f.uid_max <= 0)) out.push_back(f);
    }
  }
  if (include.empty() && exclude.empty()) return out;

  std::vector<folder_info> kept;
  for (const auto &f : out) {
    // A folder that cannot be opened (a \Noselect parent) lists as empty;
    // with nothing in it there is nothing to export either.
    if (named.empty() && f.count <= 0) continue;
    // Patterns are written as the user reads the names: in UTF-8.
    if (!filter_folders({f.display}, include, exclude, list.delimiter).empty()) kept.push_back(f);
  }
  if (kept.empty()) throw failure("no folder with messages matches --include/--exclude");
  std::string names;
  for (const auto &f : kept) names += (names.empty() ? "" : ", ") + shown(f);
  say(1, "folders chosen: " + names);
  return kept;
}

}  // namespace kqcli
