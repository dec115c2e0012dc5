// Helpers shared by the folder, probe and search tests: message texts,
// logging in to the shared Dovecot or a script server, reading JSON output.
#pragma once

#include <string>
#include <vector>

#include <yyjson.h>

#include "base/text.h"
#include "kerquill.h"
#include "support/dovecot_server.h"
#include "support/script_server.h"

namespace kqsearch {

// One message with CRLF line ends. ctype "mixed" and "alternative" build
// multipart bodies; anything else is used as the Content-Type as it is.
inline std::string message(const std::string &from, const std::string &to,
                           const std::string &subject, const std::string &ctype = "text/plain",
                           const std::string &body = "hello\r\n") {
  std::string h = "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
                  "\r\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\nMessage-ID: <" +
                  std::to_string(std::hash<std::string>{}(from + to + subject + body)) +
                  "@test>\r\nMIME-Version: 1.0\r\n";
  if (ctype == "mixed" || ctype == "alternative") {
    std::string b = "b-" + ctype;
    return h + "Content-Type: multipart/" + ctype + "; boundary=\"" + b + "\"\r\n\r\n--" + b +
           "\r\nContent-Type: text/plain\r\n\r\n" + body + "--" + b +
           (ctype == "mixed" ? "\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\n"
                               "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"
                             : "\r\nContent-Type: text/html\r\n\r\n<p>hello</p>\r\n") +
           "--" + b + "--\r\n";
  }
  return h + "Content-Type: " + ctype + "\r\n\r\n" + body;
}

// Adds a fresh user to the shared server and logs the library in as it.
inline std::string fresh_user(const std::string &hint) {
  auto &dv = kqtest::shared_dovecot();
  std::string user = dv.unique_user(hint);
  dv.add_user(user, "pw-" + user);
  return user;
}

inline int login(const std::string &user) {
  return kq_connect(kqtest::connect_json(user, "pw-" + user, false).c_str());
}

// Connection settings for a script server on port.
inline std::string script_json(int port) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\",\"timeout_s\":5}";
}

// Greeting, CAPABILITY and LOGIN.
inline void script_login(kqtest::ScriptServer &s) {
  s.send("* OK ready\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in");
}

// Answers the LOGOUT of kq_disconnect.
inline void script_logout(kqtest::ScriptServer &s) {
  s.expect_line().send("* BYE\r\n").send_tagged("OK bye").close();
}

inline bool ends_with(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct folder_row {
  std::string name;
  long long count = -1, uid_min = -1, uid_max = -1, total_bytes = -1;
  std::string oldest = "?", newest = "?";
};

// Rows of a kq_folders_json text; false when it is not a JSON array.
inline bool parse_folders(const char *text, std::vector<folder_row> &rows) {
  rows.clear();
  kq::json_doc doc;
  if (!doc.parse(text) || !yyjson_is_arr(doc.root())) return false;
  std::size_t i, n;
  yyjson_val *v;
  yyjson_arr_foreach(doc.root(), i, n, v) {
    folder_row r;
    r.name = kq::json_str(v, "name") ? kq::json_str(v, "name") : "<none>";
    r.count = kq::json_num(v, "count", -1);
    r.uid_min = kq::json_num(v, "uid_min", -1);
    r.uid_max = kq::json_num(v, "uid_max", -1);
    r.total_bytes = kq::json_num(v, "total_bytes", -1);
    if (const char *s = kq::json_str(v, "oldest")) r.oldest = s;
    if (const char *s = kq::json_str(v, "newest")) r.newest = s;
    rows.push_back(r);
  }
  return true;
}

// UIDs of the current search rows.
inline std::vector<unsigned> result_uids() {
  std::vector<unsigned> out;
  for (int i = 0; i < kq_search_count(); ++i)
    out.push_back(static_cast<unsigned>(std::stoul(kq_search_field(i, "uid"))));
  return out;
}

}  // namespace kqsearch
