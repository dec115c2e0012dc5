// verify and stats: archives on disk, no server. A directory made by
// export-all holds one archive per folder; both commands then cover them all.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"

namespace kqcli {

namespace fs = std::filesystem;

std::vector<archive> find_archives(const std::string &dir, bool &nested) {
  nested = false;
  std::string base = dir;
  while (base.size() > 1 && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  std::error_code ec;
  if (fs::exists(fs::path(base) / "manifest.jsonl", ec)) return {{base, base}};
  std::vector<archive> found;
  for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ec2;
    if (it->is_directory(ec2) && fs::exists(it->path() / "manifest.jsonl", ec2))
      found.push_back({it->path().string(), it->path().filename().string()});
  }
  std::sort(found.begin(), found.end(), [](const archive &x, const archive &y) { return x.label < y.label; });
  nested = !found.empty();
  if (found.empty()) found.push_back({base, base});
  return found;
}

std::string archive_of_folder(const std::string &root, const std::string &name, const std::string &display) {
  std::error_code ec;
  std::vector<std::string> hits;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ec2;
    if (!it->is_directory(ec2)) continue;
    std::ifstream in(it->path() / "resume.json", std::ios::binary);
    if (!in) continue;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    jvalue r;
    if (!json_parse(text, r) || r.type != jvalue::object) continue;
    const std::string &folder = r["folder"].as_str();
    if (!folder.empty() && (folder == name || folder == display)) hits.push_back(it->path().string());
  }
  // Two archives of one folder (a "~2" beside a renamed one): the first by
  // name, as the library would have made it first.
  std::sort(hits.begin(), hits.end());
  return hits.empty() ? std::string() : hits.front();
}

namespace {

jvalue parse_object(const std::string &text, const char *what) {
  jvalue v;
  if (!json_parse(text, v) || v.type != jvalue::object)
    throw failure(std::string("the library returned a ") + what + " that is not a JSON object");
  return v;
}

}  // namespace

int cmd_verify(const args &a) {
  const std::string &dir = a.positional[0];
  if (dir.empty()) throw usage_error("DIR is empty");
  bool several;
  std::vector<archive> list = find_archives(dir, several);

  long long ok = 0, missing = 0, corrupt = 0, total = 0, unreadable = 0, duplicates = 0, unlisted = 0;
  bool intact = true;
  std::string json_list = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    const archive &ar = list[i];
    if (kq_verify_dir(ar.path.c_str()) != 0) lib_fail("cannot verify " + ar.path);
    std::string text = kq_verify_report_json();
    jvalue r = parse_object(text, "verification report");
    ok += r["ok"].as_int();
    missing += r["missing"].as_int();
    corrupt += r["corrupt"].as_int();
    total += r["total"].as_int();
    unreadable += r["unreadable_lines"].as_int();
    duplicates += r["duplicates"].as_int();
    unlisted += r["unlisted"].as_int();
    if (r["intact"].type != jvalue::boolean || !r["intact"].b) intact = false;
    if (a.has("json")) {
      if (!several) {
        std::printf("%s\n", text.c_str());
      } else {
        json_object o;
        o.str("dir", ar.label).raw("report", text);
        json_list += (i ? "," : "") + o.text();
      }
      continue;
    }
    if (several)
      std::printf("%s %6lld ok %4lld missing %4lld corrupt\n", pad(printable(ar.label, false), 28).c_str(),
                  r["ok"].as_int(), r["missing"].as_int(), r["corrupt"].as_int());
    for (const auto &f : r["files"].items)
      std::printf("  %-8s uid %-8lld %s\n", f["status"].as_str().c_str(), f["uid"].as_int(),
                  printable((several ? ar.label + "/" : "") + f["file"].as_str(), false).c_str());
  }
  if (a.has("json") && several) {
    // Several reports cannot be one library report: each folder's is kept
    // as the library wrote it, and the totals sit beside them under the
    // report's own counter names, so a program reads one document either way.
    json_object o;
    o.raw("archives", json_list + "]").num("ok", ok).num("missing", missing).num("corrupt", corrupt).num("total", total);
    o.num("unreadable_lines", unreadable).num("duplicates", duplicates).num("unlisted", unlisted);
    o.raw("intact", intact ? "true" : "false");
    std::printf("%s\n", o.text().c_str());
  } else if (!a.has("json")) {
    std::printf("%s: %lld of %lld files intact, %lld missing, %lld corrupt\n",
                printable(dir, false).c_str(), ok, total, missing, corrupt);
  }
  if (missing || corrupt) {
    // Its own status, so a scheduled check can tell damage from a failure.
    std::fprintf(stderr, "kerquill verify: %lld missing and %lld corrupt files in %s\n", missing, corrupt,
                 dir.c_str());
    return k_exit_damage;
  }
  return 0;
}

int cmd_stats(const args &a) {
  const std::string &dir = a.positional[0];
  if (dir.empty()) throw usage_error("DIR is empty");
  bool several;
  std::vector<archive> list = find_archives(dir, several);

  long long messages = 0, bytes = 0, unreadable = 0, duplicates = 0;
  std::string oldest, newest, json_list = "[";
  if (several && !a.has("json"))
    std::printf("%s %8s %9s  %-10s  %-10s\n", pad("FOLDER", 28).c_str(), "MESSAGES", "SIZE", "OLDEST", "NEWEST");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const archive &ar = list[i];
    std::string text = kq_archive_stats_json(ar.path.c_str());
    if (text.empty()) lib_fail("cannot read the archive " + ar.path);
    jvalue s = parse_object(text, "archive summary");
    messages += s["messages"].as_int();
    bytes += s["bytes"].as_int();
    unreadable += s["unreadable_lines"].as_int();
    duplicates += s["duplicates"].as_int();
    const std::string &o = s["oldest"].as_str(), &n = s["newest"].as_str();
    if (!o.empty() && (oldest.empty() || o < oldest)) oldest = o;
    if (!n.empty() && (newest.empty() || n > newest)) newest = n;
    if (a.has("json")) {
      if (several) {
        json_object obj;
        obj.str("dir", ar.label).raw("stats", text);
        json_list += (i ? "," : "") + obj.text();
      } else {
        std::printf("%s\n", text.c_str());
      }
    } else if (several) {
      std::printf("%s %8lld %9s  %-10s  %-10s\n", pad(printable(ar.label, false), 28).c_str(),
                  s["messages"].as_int(), human_bytes(s["bytes"].as_int()).c_str(), o.c_str(), n.c_str());
    }
  }
  if (a.has("json")) {
    if (several) {
      json_object obj;
      // As for verify: each summary as the library wrote it, the totals
      // beside them under the summary's own names.
      obj.raw("archives", json_list + "]").num("messages", messages).num("bytes", bytes).str("oldest", oldest).str("newest", newest);
      obj.num("unreadable_lines", unreadable).num("duplicates", duplicates);
      std::printf("%s\n", obj.text().c_str());
    }
    return 0;
  }
  if (several) std::printf("\n");
  std::printf("Archive:   %s\n", printable(dir, false).c_str());
  if (several) std::printf("Folders:   %zu\n", list.size());
  std::printf("Messages:  %lld\n", messages);
  std::printf("Size:      %s\n", human_bytes(bytes).c_str());
  if (!oldest.empty()) std::printf("Dates:     %s to %s\n", oldest.c_str(), newest.c_str());
  return 0;
}

}  // namespace kqcli
