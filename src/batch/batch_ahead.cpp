// STATUS of the folders ahead, and a folder's EXAMINE with its rows in one
// round trip.
#include "batch/batch_ahead.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <unordered_set>

#include "base/mutf7.h"
#include "base/strcase.h"
#include "connection/fetch_data.h"
#include "search/search.h"

namespace kq {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the mailbox name at p: a quoted string, a literal (its bytes are
// the response's first literal) or an atom. p ends past it.
bool read_name(const response &r, std::size_t &p, std::string &name) {
  const std::string &l = r.line;
  name.clear();
  if (p >= l.size()) return false;
  if (l[p] == '"') {
    for (++p; p < l.size(); ++p) {
      char c = l[p];
      if (c == '"') {
        ++p;
        return true;
      }
      if (c == '\\') {
        if (++p >= l.size()) return false;
        c = l[p];
      }
      name += c;
    }
    return false;
  }
  if (l[p] == '{') {
    std::size_t close = l.find('}', p);
    if (close == std::string::npos || r.literals.empty()) return false;
    name = r.literals.front();
    p = close + 1;
    return true;
  }
  std::size_t end = l.find(' ', p);
  if (end == std::string::npos) return false;
  name.assign(l, p, end - p);
  p = end;
  return !name.empty();
}

// The same folder: as sent, or INBOX in any case (its name is not case
// sensitive, and servers answer in their own spelling).
bool same_folder(const std::string &a, const std::string &b) {
  if (a == b) return true;
  return ascii_ieq(a, "INBOX") && ascii_ieq(b, "INBOX");
}

}  // namespace

bool parse_status_record(const response &r, std::string &name, folder_look &out) {
  const std::string &l = r.line;
  if (!ascii_istarts(l, "* STATUS ")) return false;
  std::size_t p = 9;
  if (!read_name(r, p, name)) return false;
  while (p < l.size() && l[p] == ' ') ++p;
  if (p >= l.size() || l[p] != '(') return false;
  ++p;
  folder_look look;
  while (p < l.size() && l[p] != ')') {
    std::size_t sp = l.find(' ', p);
    if (sp == std::string::npos) return false;
    std::string item = l.substr(p, sp - p);
    p = sp + 1;
    std::size_t q = p;
    while (q < l.size() && is_digit(l[q])) ++q;
    if (q == p || q - p > 19) return false;
    unsigned long long n = std::strtoull(l.c_str() + p, nullptr, 10);
    p = q;
    if (ascii_ieq(item, "MESSAGES")) look.messages = static_cast<long long>(n);
    else if (ascii_ieq(item, "UIDNEXT")) look.uidnext = n;
    else if (ascii_ieq(item, "UIDVALIDITY")) look.uidvalidity = n;
    while (p < l.size() && l[p] == ' ') ++p;
  }
  if (p >= l.size()) return false;
  // Without a count the answer says nothing the batch can use.
  look.known = look.messages >= 0;
  out = look;
  return true;
}

bool look_ahead(session &s, const std::vector<std::string> &folders, std::vector<folder_look> &looks,
                std::size_t window) {
  looks.assign(folders.size(), folder_look{});
  std::size_t keep = s.window();
  s.set_window(std::max(keep, window));
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (!s.selected().empty() && same_folder(s.selected(), folders[i])) continue;
    std::string wire = folder_wire_name(folders[i]);
    std::string q;
    if (!imap_quote(wire, q)) continue;
    session::command c;
    c.line = "STATUS " + q + " (MESSAGES UIDNEXT UIDVALIDITY)";
    // The server answers in order: until this command completes, the
    // STATUS records reaching it are its own. Its name is checked all the
    // same, so a stray answer is never taken for this folder's.
    auto seen = std::make_shared<folder_look>();
    c.on_data = [seen, wire](response &r) {
      std::string name;
      folder_look look;
      if (parse_status_record(r, name, look) && same_folder(name, wire)) *seen = look;
    };
    c.on_done = [seen, &looks, i](int status, const std::string &) {
      if (status == 0) looks[i] = *seen;
    };
    s.submit(std::move(c));
  }
  bool ok = s.drain();
  s.set_window(keep);
  return ok;
}

prepared_folder prepare_folder(session &s, const std::string &folder, bool fetch_rows) {
  prepared_folder p;
  int examined = -1;
  mailbox_state opened;
  std::size_t keep = s.window();
  if (keep < 2) s.set_window(2);
  if (!s.submit_examine(folder, [&examined, &opened](int status, const mailbox_state &st) {
        examined = status;
        opened = st;
      })) {
    s.set_window(keep);
    return p;
  }
  int fetched = -1;
  std::unordered_set<std::uint32_t> uids;
  auto rows = std::make_shared<search_result>(folder);
  if (fetch_rows) {
    session::command c;
    // Behind the EXAMINE: the server opens the folder first, so "1:*" is
    // this folder's. When the EXAMINE fails no folder is selected and this
    // fails too; its answer is then not looked at.
    c.line = std::string("UID FETCH 1:* ") + k_row_items;
    c.on_data = [&examined, &uids, &rows](response &r) {
      // FETCH data is only ever this command's once the EXAMINE completed
      // (before that it goes to the EXAMINE, the oldest command); a record
      // without every row item (a flag change) is no row.
      if (examined != 0) return;
      fetch_data f;
      row_draft d;
      if (!parse_fetch(r, f) || !row_from(f, d)) return;
      if (uids.insert(d.uid).second) rows->add(d);
    };
    c.on_done = [&fetched](int status, const std::string &) { fetched = status; };
    s.submit(std::move(c));
  }
  bool ok = s.drain();
  s.set_window(keep);
  p.examine = examined;
  if (examined != 0) return p;
  // EXISTS and EXPUNGE that came after the EXAMINE count too.
  p.st = s.selected() == folder ? s.selected_state() : opened;
  if (!ok) return p;
  // An empty folder: the server's EXISTS says so (some servers refuse
  // "1:*" there).
  if (p.st.exists <= 0 && uids.empty()) p.rows_whole = true;
  else p.rows_whole = fetch_rows && fetched == 0 && static_cast<long long>(uids.size()) == p.st.exists;
  if (p.rows_whole) {
    rows->settle(uids.size());
    p.rows = std::move(rows);
  }
  return p;
}

}  // namespace kq
