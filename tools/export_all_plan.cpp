// export-all --dry-run: per folder, the messages on the server, those
// archived and those a run would fetch; nothing is written.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "events.h"
#include "export_all.h"
#include "export_common.h"
#include "format.h"
#include "kerquill.h"

namespace kqcli {

namespace fs = std::filesystem;

int dry_run(const args &a, const std::string &dir, std::vector<folder_result> &results) {
  bool json = g_json_log;
  bool since = a.has("since");
  long long server_total = 0, archived_total = 0, fetch_total = 0;
  if (!json && !a.has("quiet"))
    std::printf("%s %8s %9s %9s\n", pad("FOLDER", 28).c_str(), "SERVER", "ARCHIVED", "TO FETCH");
  for (auto &r : results) {
    // What the archive holds: the UIDs its resume.json counts as stored.
    std::set<long long> stored;
    if (!r.dir.empty()) {
      std::ifstream in(fs::path(r.dir) / "resume.json", std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      jvalue rj;
      if (json_parse(text, rj))
        for (const auto &u : rj["completed"].items) stored.insert(u.as_int());
    }
    long long on_server = r.folder.count, to_fetch = 0;
    if (since) {
      // Only a search knows which messages the date lets through.
      std::string criteria;
      json_object c;
      c.str("since", a.value("since"));
      criteria = c.text();
      if (kq_search(r.folder.name.c_str(), criteria.c_str()) != 0) {
        r.word = "error";
        r.reason = std::string("search failed: ") + (kq_last_error() ? kq_last_error() : "");
      } else {
        on_server = kq_search_count();
        for (int i = 0; i < on_server; ++i)
          if (!stored.count(to_ll(kq_search_field(i, "uid")))) ++to_fetch;
      }
    } else {
      // Without a search the UIDs on the server are known only as a range:
      // the stored UIDs inside it are taken as still there.
      long long inside = 0;
      for (long long u : stored)
        if (u >= r.folder.uid_min && u <= r.folder.uid_max) ++inside;
      to_fetch = on_server - inside;
      if (to_fetch < 0) to_fetch = 0;
    }
    r.messages = archived(r.dir);
    server_total += on_server;
    archived_total += r.messages;
    fetch_total += to_fetch;
    json_object ev;
    folder_fields(ev, r).num("on_server", on_server).num("archived", r.messages).num("to_fetch", to_fetch);
    if (r.word == "error") ev.str("error", r.reason);
    log_event("folder_plan", ev);
    if (!json && !a.has("quiet"))
      std::printf("%s %8lld %9lld %9s\n", pad(shown(r.folder), 28).c_str(), on_server, r.messages,
                  r.word == "error" ? "failed" : std::to_string(to_fetch).c_str());
  }
  json_object ev;
  ev.num("folders", static_cast<long long>(results.size()))
      .num("on_server", server_total)
      .num("archived", archived_total)
      .num("to_fetch", fetch_total);
  log_event("plan_totals", ev);
  if (human_output(a))
    std::printf("Dry run: %s to fetch into %s; nothing was written.\n",
                count_text(fetch_total, "message", "messages").c_str(), dir.c_str());
  for (const auto &r : results)
    if (r.word == "error") throw failure(shown(r.folder) + ": " + r.reason);
  return 0;
}

}  // namespace kqcli
