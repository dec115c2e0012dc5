// The session against a scripted server: which command FETCH data reaches,
// what a malformed response costs, how long silence may last, what a
// response may hold, when credentials stay off the wire, and reconnecting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/fetch_data.h"
#include "connection/session.h"
#include "kerquill.h"
#include "support/script_server.h"

namespace {

using kqtest::ScriptServer;

std::string json_for(const ScriptServer &s, const std::string &extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"secret-pw\"" + extra + "}";
}

// Greeting with capabilities, then LOGIN accepted.
ScriptServer &greet_and_login(ScriptServer &s, const char *caps = "IMAP4rev1") {
  return s.send(std::string("* OK [CAPABILITY ") + caps + "] scripted\r\n").expect_line().send_tagged("OK in");
}

// The tag of the n-th line the client sent (0-based).
std::string tag_of(const ScriptServer &s, std::size_t n) {
  std::vector<std::string> got = s.received();
  return n < got.size() ? got[n].substr(0, got[n].find(' ')) : std::string("?");
}

class SessionScript : public ::testing::Test {
 protected:
  void start_and_connect(ScriptServer &s, const std::string &extra = "") {
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    kq::conn_config cfg;
    ASSERT_TRUE(kq::conn_config_parse(json_for(s, extra).c_str(), cfg)) << kq_last_error();
    ASSERT_EQ(sess.connect(cfg), 0) << kq_last_error();
  }
  // Submits a command that keeps what is routed to it.
  void submit(const std::string &line, std::uint32_t lo, std::uint32_t hi, std::vector<kq::response> &data,
              int &done) {
    kq::session::command c;
    c.line = line;
    c.uid_lo = lo;
    c.uid_hi = hi;
    c.on_data = [&data](kq::response &r) { data.push_back(std::move(r)); };
    c.on_done = [&done](int st, const std::string &) { done = st; };
    sess.submit(std::move(c));
  }
  kq::session sess;
};

}  // namespace

TEST_F(SessionScript, FetchDataIsRoutedByItsParsedUidItem) {
  ScriptServer s;
  // Three commands in flight: UIDs 1..100, UID 1500, and one with no range.
  // Records name their UID in any case, and carry "UID 1500" as text inside
  // other items; each must reach the command its UID item names.
  greet_and_login(s).expect_line().expect_line().expect_line().send_fn([&s](const std::string &) {
    return "* 1 FETCH (BODYSTRUCTURE (\"application\" \"pdf\" (\"name\" \"x UID 1500.pdf\") NIL NIL "
           "\"base64\" 10) uid 5)\r\n"
           "* 2 FETCH (BODY[HEADER] {9}\r\nUID 1500\n Uid 1500)\r\n"
           "* 3 FETCH (BODY[HEADER] {8}\r\nUID 1500 UID 70)\r\n"
           "* 4 FETCH (FLAGS (\\Seen) UID 3000)\r\n"
           "* 5 EXISTS\r\n" +
           tag_of(s, 1) + " OK a\r\n" + tag_of(s, 2) + " OK b\r\n" + tag_of(s, 3) + " OK c\r\n";
  });
  start_and_connect(s);
  sess.set_window(3);
  std::vector<kq::response> data[3];
  int done[3] = {-2, -2, -2};
  submit("UID FETCH 1:100 (BODYSTRUCTURE)", 1, 100, data[0], done[0]);
  submit("UID FETCH 1500 (BODY.PEEK[HEADER])", 1500, 1500, data[1], done[1]);
  submit("NOOP", 0, 0, data[2], done[2]);
  ASSERT_TRUE(sess.drain()) << kq_last_error();
  auto uids = [](const std::vector<kq::response> &rs) {
    std::vector<std::uint32_t> out;
    for (const kq::response &r : rs) {
      std::uint32_t u = 0;
      out.push_back(kq::fetch_uid(r, u) ? u : 0);
    }
    return out;
  };
  EXPECT_EQ(uids(data[0]), (std::vector<std::uint32_t>{5, 70, 0}));  // 0: the EXISTS
  EXPECT_EQ(uids(data[1]), (std::vector<std::uint32_t>{1500}));
  // No range holds 3000: the command that claimed none gets it.
  EXPECT_EQ(uids(data[2]), (std::vector<std::uint32_t>{3000}));
  EXPECT_EQ(done[0], 0);
  EXPECT_EQ(done[1], 0);
  EXPECT_EQ(done[2], 0);
  EXPECT_TRUE(s.errors().empty());
}
