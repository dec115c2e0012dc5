// kq_folders_json: every folder with its message count and UID range.
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/mutf7.h"
#include "connection/imap.h"
#include "base/strcase.h"
#include "base/text.h"
#include "mailbox/folders.h"

namespace kq {

std::string utc_day(long long t) {
  char d[32] = "";
  std::tm tm{};
  if (t > 0 && plat::utc_to_tm(t, &tm)) std::strftime(d, sizeof d, "%Y-%m-%d", &tm);
  return d;
}

int list_folders(session &sess, std::vector<folder_entry> &out, std::size_t max) {
  out.clear();
  session::command c;
  c.line = "LIST \"\" \"*\"";
  int rc = -1;
  c.on_data = [&out, max](response &r) {
    folder_entry e;
    if (out.size() >= max || !list_parse(r, e.name, &e.delimiter)) return;
    std::size_t open = r.line.find('('), close = r.line.find(')');
    if (open != std::string::npos && close != std::string::npos && close > open) {
      std::string attrs = r.line.substr(open, close - open);
      for (char &ch : attrs) ch = ascii_lower(ch);
      e.noselect = attrs.find("\\noselect") != std::string::npos ||
                   attrs.find("\\nonexistent") != std::string::npos;
    }
    out.push_back(std::move(e));
  };
  c.on_done = [&rc](int st, const std::string &) { rc = st; };
  sess.submit(std::move(c));
  sess.drain();
  if (rc != 0 && rc != -1) set_err("LIST failed");
  return rc == 0 ? 0 : -1;
}

namespace {

constexpr std::size_t k_out_cap = 262144;


void append_object(std::string &out, const char *name, const std::string &delimiter, const folder_stat &st) {
  char num[160];
  out += "{\"name\":";
  json_append_str_utf8(out, name);
  out += ",\"display\":";
  json_append_str_utf8(out, folder_display_name(name));
  std::snprintf(num, sizeof num, ",\"count\":%lld,\"uid_min\":%lld,\"uid_max\":%lld,\"total_bytes\":%lld",
                st.count, st.uid_min, st.uid_max, st.total_bytes);
  out += num;
  out += ",\"oldest\":\"";
  out += utc_day(st.oldest);
  out += "\",\"newest\":\"";
  out += utc_day(st.newest);
  out += "\",\"delimiter\":";
  json_append_str_utf8(out, delimiter);
  out += "}";
}

}  // namespace

std::string folders_json() {
  session &sess = main_session();
  if (!sess.usable()) return {};
  std::vector<std::string> names;
  std::vector<bool> noselect;
  std::vector<std::string> delimiters;
  {
    std::vector<folder_entry> entries;
    if (list_folders(sess, entries, static_cast<std::size_t>(k_list_max)) != 0) return {};
    for (folder_entry &e : entries) {
      names.push_back(std::move(e.name));
      noselect.push_back(e.noselect);
      delimiters.push_back(std::move(e.delimiter));
    }
  }
  std::size_t n = names.size();
  // Names longer than a list row (or holding a NUL) are listed cut; a cut
  // name is not the server's, so it is never sent back.
  std::vector<std::array<char, k_list_name_max + 1>> shown(n);
  std::vector<folder_stat> stats(n);
  std::vector<stats_request> wanted;
  for (std::size_t i = 0; i < n; ++i) {
    copy_cut(shown[i].data(), shown[i].size(), names[i]);
    bool cut = names[i].size() > static_cast<std::size_t>(k_list_name_max) ||
               names[i].find('\0') != std::string::npos;
    // A folder the server itself calls unselectable holds no messages: it
    // is listed with zeros, as an attempt to open it would leave it.
    if (cut || noselect[i]) {
      copy_cut(stats[i].name, sizeof stats[i].name, shown[i].data());
      continue;
    }
    wanted.push_back({shown[i].data(), &stats[i]});
  }
  std::vector<int> rc;
  folder_stats_many(sess, wanted, rc);
  // Whole objects only: the text stays valid JSON when it must be cut.
  std::string out = "[";
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t keep = out.size();
    if (i > 0) out += ',';
    append_object(out, shown[i].data(), delimiters[i], stats[i]);
    if (out.size() + 1 > k_out_cap - 1) {
      out.resize(keep);
      break;
    }
  }
  out += ']';
  return out;
}


}  // namespace kq
