// folders and probe: what is in the mailbox before anything is exported.
#include <cstdio>
#include <string>

#include "cli.h"
#include "folder_list.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "term.h"

namespace kqcli {

namespace {

std::string uid_range(long long lo, long long hi) {
  if (lo <= 0 && hi <= 0) return "-";
  return std::to_string(lo) + "-" + std::to_string(hi);
}

}  // namespace

folder_listing list_folders() {
  std::string text = kq_folders_json();
  if (text.empty()) lib_fail("cannot list the folders");
  folder_listing out;
  if (!parse_folder_listing(text, out))
    throw failure("the library returned a folder list that is not a JSON array");
  return out;
}

int cmd_folders(const args &a) {
  session s(a);
  std::string text = kq_folders_json();
  if (text.empty()) lib_fail("cannot list the folders");
  if (a.has("json")) {
    std::printf("%s\n", text.c_str());
    return 0;
  }
  folder_listing list;
  if (!parse_folder_listing(text, list))
    throw failure("the library returned a folder list that is not a JSON array");

  std::size_t name_w = 6;
  for (const auto &f : list.folders) name_w = std::max(name_w, text_width(printable(f.display, false)));
  name_w = std::min<std::size_t>(name_w, 48);
  // The column heads are for a reader at a terminal; in a pipe the first line
  // is the first folder (INBOX), as a script reading it expects.
  if (term_is_tty(stream::out))
    std::printf("%s %s  %s\n", pad("FOLDER", name_w).c_str(), pad_left("MESSAGES", 8).c_str(), "UIDS");
  long long total = 0;
  for (const auto &f : list.folders) {
    total += f.count;
    std::printf("%s %s  %s\n", pad(printable(f.display, false), name_w).c_str(),
                pad_left(std::to_string(f.count), 8).c_str(), uid_range(f.uid_min, f.uid_max).c_str());
  }
  std::printf("%zu %s, %lld %s\n", list.folders.size(), list.folders.size() == 1 ? "folder" : "folders",
              total, total == 1 ? "message" : "messages");
  return 0;
}

int cmd_probe(const args &a) {
  const std::string &folder = a.positional[0];
  if (folder.empty()) throw usage_error("the folder name is empty");
  session s(a);
  std::string text = kq_probe_folder(folder.c_str());
  if (text.empty()) lib_fail("cannot probe " + folder);
  if (a.has("json")) {
    std::printf("%s\n", text.c_str());
    return 0;
  }
  jvalue p;
  if (!json_parse(text, p) || p.type != jvalue::object)
    throw failure("the library returned a probe result that is not a JSON object");
  long long sampled = p["sampled"].as_int();
  std::printf("Folder:            %s\n", header_display(p["folder"].as_str()).c_str());
  std::printf("Messages:          %lld\n", p["total_messages"].as_int());
  std::printf("Estimated size:    %s (from %lld sampled %s, %s)\n",
              human_bytes(p["estimated_bytes"].as_int()).c_str(), sampled,
              sampled == 1 ? "message" : "messages", human_bytes(p["total_bytes"].as_int()).c_str());
  std::printf("With attachments:  %.1f %% of the sample\n", p["attachment_pct"].type == jvalue::number
                                                                 ? p["attachment_pct"].num
                                                                 : 0.0);
  std::printf("UID range:         %s\n",
              uid_range(p["uid_min"].as_int(), p["uid_max"].as_int()).c_str());
  if (!p["oldest"].as_str().empty())
    std::printf("Dates:             %s to %s\n", p["oldest"].as_str().c_str(), p["newest"].as_str().c_str());
  return 0;
}

}  // namespace kqcli
