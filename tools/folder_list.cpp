#include "folder_list.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "json.h"

namespace kqcli {

namespace {

bool is_inbox_level(std::string_view level) {
  if (level.size() != 5) return false;
  static const char k[] = "inbox";
  for (std::size_t i = 0; i < 5; ++i)
    if (std::tolower(static_cast<unsigned char>(level[i])) != k[i]) return false;
  return true;
}

std::vector<std::string_view> levels(std::string_view name, char delimiter) {
  std::vector<std::string_view> out;
  for (;;) {
    std::size_t at = name.find(delimiter);
    out.push_back(name.substr(0, at));
    if (at == std::string_view::npos) break;
    name.remove_prefix(at + 1);
  }
  return out;
}

bool before(const folder_info &a, const folder_info &b, char delimiter) {
  auto la = levels(a.display, delimiter), lb = levels(b.display, delimiter);
  bool ia = is_inbox_level(la[0]), ib = is_inbox_level(lb[0]);
  if (ia != ib) return ia;
  std::size_t n = std::min(la.size(), lb.size());
  for (std::size_t i = 0; i < n; ++i) {
    // The first level of INBOX is compared as one name whatever its case.
    if (i == 0 && ia && ib) continue;
    if (la[i] != lb[i]) return la[i] < lb[i];
  }
  if (la.size() != lb.size()) return la.size() < lb.size();
  return a.name < b.name;
}

}  // namespace

char guess_delimiter(const std::vector<std::string> &names) {
  std::set<std::string_view> listed(names.begin(), names.end());
  char best = '/';
  long long best_parents = -1, best_uses = -1;
  for (char c : {'/', '.'}) {
    long long parents = 0, uses = 0;
    for (const auto &n : names) {
      std::size_t at = n.rfind(c);
      if (at == std::string::npos || at == 0) continue;
      ++uses;
      if (listed.count(std::string_view(n).substr(0, at)) != 0) ++parents;
    }
    if (parents > best_parents || (parents == best_parents && uses > best_uses)) {
      best = c;
      best_parents = parents;
      best_uses = uses;
    }
  }
  return best;
}

void sort_folders(std::vector<folder_info> &folders, char delimiter) {
  std::stable_sort(folders.begin(), folders.end(),
                   [delimiter](const folder_info &a, const folder_info &b) { return before(a, b, delimiter); });
}

bool parse_folder_listing(std::string_view json, folder_listing &out) {
  jvalue list;
  if (!json_parse(json, list) || list.type != jvalue::array) return false;
  out.folders.clear();
  std::vector<std::string> names;
  char given = 0;
  for (const auto &f : list.items) {
    folder_info info;
    info.name = f["name"].as_str();
    info.display = f["display"].as_str();
    // A library that gives no UTF-8 name: decode nothing rather than guess.
    if (info.display.empty()) info.display = info.name;
    info.count = f["count"].as_int();
    info.uid_min = f["uid_min"].as_int();
    info.uid_max = f["uid_max"].as_int();
    const std::string &d = f["delimiter"].as_str();
    if (d.size() == 1) given = d[0];
    names.push_back(info.display);
    out.folders.push_back(std::move(info));
  }
  out.delimiter = given ? given : guess_delimiter(names);
  sort_folders(out.folders, out.delimiter);
  return true;
}

const folder_info *find_folder(const folder_listing &list, std::string_view name) {
  for (const auto &f : list.folders)
    if (f.name == name || f.display == name) return &f;
  return nullptr;
}

}  // namespace kqcli
