// search, show and save-attachment: the search options, the result table and
// one fetched message.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "term.h"

namespace kqcli {

namespace {

void check_day(const args &a, const char *name) {
  if (!a.has(name)) return;
  std::string v = a.value(name);
  int y, m, d;
  char tail;
  if (v.size() != 10 || std::sscanf(v.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 ||
      v[4] != '-' || v[7] != '-' || m < 1 || m > 12 || d < 1 || d > 31 || y < 1970)
    throw usage_error(std::string("--") + name + " wants a day as YYYY-MM-DD, not '" + v + "'");
}

std::string field(int row, const char *key) { return kq_search_field(row, key); }

const char *attachment_word(const std::string &state) {
  if (state == "1") return "yes";
  if (state == "0") return "no";
  return "?";
}

std::string attachment_type(int i) { return kq_attachment_field(nullptr, i, "ctype"); }

std::string main_type(const std::string &ctype) {
  std::string t = ctype.substr(0, ctype.find(';'));
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
  return t;
}

// Value of the first header line called name in a header block, unfolded.
std::string header_value(const std::string &block, const std::string &name) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t eol = block.find('\n', pos);
    if (eol == std::string::npos) eol = block.size();
    std::string line = block.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(line[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    if (!same) continue;
    std::string value = line.substr(name.size() + 1);
    while (pos < block.size() && (block[pos] == ' ' || block[pos] == '\t')) {
      eol = block.find('\n', pos);
      if (eol == std::string::npos) eol = block.size();
      value += " " + block.substr(pos, eol - pos);
      pos = eol + 1;
    }
    return value;
  }
  return "";
}

// Runs the search behind show and save-attachment and returns the row of the
// wanted message; pos_row is the ROW argument, or empty with --uid.
int locate(const args &a, const std::string &folder, const std::string *pos_row) {
  if (a.has("uid")) {
    long long uid = a.number("uid", 0);
    if (uid < 1 || uid > 4294967295LL) throw usage_error("--uid wants 1 to 4294967295");
    args narrowed = a;
    narrowed.options["uid-min"] = {std::to_string(uid)};
    narrowed.options["uid-max"] = {std::to_string(uid)};
    if (run_search(folder, narrowed) < 1)
      throw failure("no message with UID " + std::to_string(uid) + " in " + folder +
                    " (matching the search options)");
    return 0;
  }
  int rows = run_search(folder, a);
  return row_argument(*pos_row, rows);
}

void fetch_row(int row) {
  if (kq_fetch(row) != 0) lib_fail("cannot fetch row " + std::to_string(row));
}

}  // namespace

std::string criteria_json(const args &a) {
  check_day(a, "since");
  check_day(a, "before");
  json_object c;
  for (const char *k : {"since", "before"})
    if (a.has(k)) c.str(k, a.value(k));
  for (const char *k : {"from", "to", "subject"})
    if (a.has(k)) {
      if (a.value(k).empty()) throw usage_error(std::string("--") + k + " wants a text");
      c.str(k, a.value(k));
    }
  if (a.has("min-bytes")) c.num("min_bytes", a.number("min-bytes", 0));
  if (a.has("has-attachments")) {
    std::string v = a.value("has-attachments");
    if (v != "0" && v != "1") throw usage_error("--has-attachments wants 0 or 1");
    c.num("has_attachments", v == "1" ? 1 : 0);
  }
  long long lo = a.number("uid-min", 0), hi = a.number("uid-max", 0);
  if (a.has("uid-min")) {
    if (lo < 1) throw usage_error("--uid-min wants a UID of 1 or more");
    c.num("uid_min", lo);
  }
  if (a.has("uid-max")) {
    if (hi < 1) throw usage_error("--uid-max wants a UID of 1 or more");
    if (a.has("uid-min") && hi < lo) throw usage_error("--uid-max is below --uid-min");
    c.num("uid_max", hi);
  }
  return c.text();
}

int run_search(const std::string &folder, const args &a) {
  if (folder.empty()) throw usage_error("the folder name is empty");
  std::string criteria = criteria_json(a);
  bool note = term_is_tty(stream::err);
  if (note) std::fprintf(stderr, "Searching %s...", header_display(folder).c_str());
  int rc = kq_search(folder.c_str(), criteria.c_str());
  if (note) std::fprintf(stderr, "\r\x1b[2K");
  if (rc != 0) lib_fail("search in " + folder + " failed");
  return kq_search_count();
}

int row_argument(const std::string &text, int rows) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    throw usage_error("ROW wants a row number from 'kerquill search', not '" + text + "'");
  int row = std::stoi(text);
  if (row >= rows)
    throw failure("row " + text + " does not exist: the search found " + std::to_string(rows) +
                  (rows == 1 ? " message" : " messages") +
                  (rows ? " (rows 0 to " + std::to_string(rows - 1) + ")" : ""));
  return row;
}

int cmd_search(const args &a) {
  const std::string &folder = a.positional[0];
  session s(a);
  int rows = run_search(folder, a);

  if (a.has("json")) {
    std::string out = "[";
    for (int i = 0; i < rows; ++i) {
      json_object o;
      o.num("row", i)
          .num("uid", to_ll(field(i, "uid")))
          .str("date", field(i, "date"))
          .num("bytes", to_ll(field(i, "bytes")))
          .str("from", field(i, "from"))
          .str("to", field(i, "to"))
          .str("subject", field(i, "subject"))
          .num("has_attachments", to_ll(field(i, "has_attachments")));
      if (i) out += ',';
      out += o.text();
    }
    std::printf("%s]\n", out.c_str());
    return 0;
  }

  bool tty = term_is_tty(stream::out);
  std::size_t width = tty ? static_cast<std::size_t>(term_width()) : 0;
  // Fixed columns take 46; From gets a share of what is left on a terminal.
  std::size_t from_w = 28, subj_w = 0;
  if (tty) {
    std::size_t rest = width > 46 + 20 ? width - 46 : 20;
    from_w = std::min<std::size_t>(28, rest / 3);
    subj_w = rest - from_w - 1;
  }
  std::printf("%s %s  %s  %s %s %s %s\n", pad_left("ROW", 4).c_str(), pad_left("UID", 6).c_str(),
              pad("DATE", 16).c_str(), pad_left("SIZE", 7).c_str(), pad("ATT", 3).c_str(),
              pad("FROM", from_w).c_str(), "SUBJECT");
  bool unknown_att = false;
  for (int i = 0; i < rows; ++i) {
    unknown_att = unknown_att || field(i, "has_attachments") == "-1";
    std::string subject = header_display(field(i, "subject"));
    if (tty) subject = fit(subject, subj_w);
    std::printf("%s %s  %s  %s %s %s %s\n", pad_left(std::to_string(i), 4).c_str(),
                pad_left(field(i, "uid"), 6).c_str(), pad(short_date(field(i, "date")), 16).c_str(),
                pad_left(human_bytes(to_ll(field(i, "bytes"))), 7).c_str(),
                pad(attachment_word(field(i, "has_attachments")), 3).c_str(),
                pad(header_display(field(i, "from")), from_w).c_str(), subject.c_str());
  }
  std::printf("%d %s in %s\n", rows, rows == 1 ? "message" : "messages",
              header_display(folder).c_str());
  if (unknown_att) std::printf("(ATT ?: the header alone does not tell)\n");
  return 0;
}

int cmd_show(const args &a) {
  const std::string &folder = a.positional[0];
  session s(a);
  int row = locate(a, folder, a.positional.size() > 1 ? &a.positional[1] : nullptr);
  fetch_row(row);
  if (a.has("save-eml")) {
    std::string path = a.value("save-eml");
    if (kq_fetch_save(path.c_str()) != 0) lib_fail("cannot save the message");
  }
  std::string header = kq_fetch_header(), body = kq_fetch_body_text();
  int atts = kq_attachment_count();

  if (a.has("json")) {
    std::string list = "[";
    for (int i = 0; i < atts; ++i) {
      json_object o;
      o.num("index", i)
          .str("name", kq_attachment_field(nullptr, i, "name"))
          .str("ctype", attachment_type(i))
          .num("size", to_ll(kq_attachment_field(nullptr, i, "size")));
      if (i) list += ',';
      list += o.text();
    }
    list += "]";
    json_object o;
    o.str("folder", folder)
        .num("row", row)
        .num("uid", to_ll(field(row, "uid")))
        .str("date", field(row, "date"))
        .num("bytes", to_ll(field(row, "bytes")))
        .str("header", header)
        .str("body", body)
        .raw("attachments", list);
    std::printf("%s\n", o.text().c_str());
    return 0;
  }

  std::printf("Folder:  %s   row %d   UID %s   %s\n", header_display(folder).c_str(), row,
              field(row, "uid").c_str(), human_bytes(to_ll(field(row, "bytes"))).c_str());
  if (a.has("full-header")) {
    std::printf("%s", printable(header, true).c_str());
  } else {
    for (const char *h : {"From", "To", "Cc", "Date", "Subject"}) {
      std::string v = header_value(header, h);
      if (!v.empty() || std::string(h) != "Cc")
        std::printf("%-8s %s\n", (std::string(h) + ":").c_str(), header_display(v).c_str());
    }
  }
  std::printf("\n%s", printable(body, true).c_str());
  if (!body.empty() && body.back() != '\n') std::printf("\n");
  if (atts > 0) {
    std::printf("\nAttachments (%d):\n", atts);
    for (int i = 0; i < atts; ++i) {
      std::string size = kq_attachment_field(nullptr, i, "size");
      std::printf("  %2d  %s  %s  %s\n", i,
                  pad(header_display(kq_attachment_field(nullptr, i, "name")), 32).c_str(),
                  pad(main_type(attachment_type(i)), 24).c_str(),
                  human_bytes(to_ll(size)).c_str());
    }
    if (a.has("uid"))
      std::printf("Save one with: kerquill save-attachment %s N DIR --uid %s\n",
                  shell_word(printable(folder, false)).c_str(), field(row, "uid").c_str());
    else
      std::printf("Save one with: kerquill save-attachment %s %d N DIR (same search options)\n",
                  shell_word(printable(folder, false)).c_str(), row);
  }
  if (a.has("save-eml")) std::printf("\nRaw message written to %s\n", a.value("save-eml").c_str());
  return 0;
}

int cmd_save_attachment(const args &a) {
  const std::string &folder = a.positional[0];
  bool by_uid = a.has("uid");
  const std::string &n_text = a.positional[by_uid ? 1 : 2];
  const std::string &dir = a.positional[by_uid ? 2 : 3];
  if (n_text.empty() || n_text.size() > 4 || n_text.find_first_not_of("0123456789") != std::string::npos)
    throw usage_error("N wants an attachment number as 'show' lists it, not '" + n_text + "'");
  if (dir.empty()) throw usage_error("DIR is empty");
  int n = std::stoi(n_text);

  session s(a);
  int row = locate(a, folder, by_uid ? nullptr : &a.positional[1]);
  fetch_row(row);
  int atts = kq_attachment_count();
  if (n >= atts)
    throw failure("the message has " + std::to_string(atts) +
                  (atts == 1 ? " attachment" : " attachments") +
                  (atts ? " (0 to " + std::to_string(atts - 1) + ")" : ""));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw failure("cannot create " + dir + ": " + ec.message());
  if (kq_attachment_save(nullptr, n, dir.c_str()) != 0) lib_fail("cannot save attachment " + n_text);
  // The library may have chosen another name than the row's ("photo (2).png")
  // so as not to replace a file: it tells which.
  std::string where = kq_attachment_saved_path();
  auto size = std::filesystem::file_size(std::filesystem::path(where), ec);
  if (!ec)
    std::printf("saved %s (%s)\n", printable(where, false).c_str(),
                human_bytes(static_cast<long long>(size)).c_str());
  else
    std::printf("saved %s\n", printable(where, false).c_str());
  return 0;
}

}  // namespace kqcli
