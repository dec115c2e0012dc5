// Every call against a server that stops answering at the worst moment
// gives up after one deadline ("timeout_s"), says so, and returns its
// failure value: never a partial result, never minutes of waiting.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "mailbox_test_util.h"
#include "platform/platform.h"

using namespace kqsearch;

namespace {

std::string quick_json(int port) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\",\"timeout_s\":2}";
}

struct stall {
  const char *what;
  std::function<void(kqtest::ScriptServer &)> script;  // after the login
  std::function<bool()> call;                          // true when it failed as it should
};

}  // namespace

TEST(StalledServer, EveryCallGivesUpAfterOneDeadlineWithItsFailureValue) {
  const std::string header = "From: a@x\r\nSubject: s\r\n\r\nbody\r\n";
  const stall cases[] = {
      // (A folder that cannot be opened leaves the previous result as it was.)
      {"search: silence on opening the folder", [](kqtest::ScriptServer &s) { s.expect_line().hold(); },
       [] { return kq_search("INBOX", nullptr) == -1; }},
      {"search: silence in the middle of a window",
       [](kqtest::ScriptServer &s) {
         s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK ok");
         s.expect_line().send("* 1 FETCH (UID 1 RFC822.SIZE 10").hold();
       },
       [] { return kq_search("INBOX", nullptr) == -1 && kq_search_count() == 0; }},
      {"fetch: silence inside the literal",
       [&header](kqtest::ScriptServer &s) {
         s.expect_line().send("* 1 EXISTS\r\n").send_tagged("OK ok");
         s.expect_line().send("* 1 FETCH (UID 1 BODY[] {" + std::to_string(header.size()) + "}\r\n" +
                              header.substr(0, 10)).hold();
       },
       [] { return kq_fetch_uid("INBOX", 1) == -1; }},
      {"fetch: silence on opening the folder", [](kqtest::ScriptServer &s) { s.expect_line().hold(); },
       [] { return kq_fetch_uid("INBOX", 1) == -1; }},
      {"probe: silence on opening the folder", [](kqtest::ScriptServer &s) { s.expect_line().hold(); },
       [] { return std::string(kq_probe_folder("INBOX")).empty(); }},
      {"folder list: silence on LIST", [](kqtest::ScriptServer &s) { s.expect_line().hold(); },
       [] { return std::string(kq_folders_json()).empty(); }},
  };
  for (const stall &c : cases) {
    SCOPED_TRACE(c.what);
    kqtest::ScriptServer s;
    script_login(s);
    c.script(s);
    ASSERT_TRUE(s.start());
    ASSERT_EQ(kq_connect(quick_json(s.port()).c_str()), 0) << kq_last_error();
    std::uint64_t t0 = kq::plat::tick_ms();
    EXPECT_TRUE(c.call());
    EXPECT_LT(kq::plat::tick_ms() - t0, 10000u);
    // The reason, after the step's own words where it has them.
    std::string err = kq_last_error();
    EXPECT_EQ(err.substr(err.rfind(':') == std::string::npos ? 0 : err.rfind(':') + 2),
              "server did not answer within 2 s")
        << err;
    EXPECT_EQ(kq_status(), 0);
    kq_disconnect();
    s.stop();
  }
}

TEST(StalledServer, ConnectGivesUpWhenTheServerGreetsAndThenSaysNothing) {
  for (bool drip : {false, true}) {
    SCOPED_TRACE(drip ? "greeting one byte at a time, then silence" : "greeting, then silence");
    kqtest::ScriptServer s;
    // Bytes that keep coming are no silence: the dripped greeting is read,
    // and the silence after it costs one deadline.
    if (drip) s.send("* OK slow\r\n", 1, 300).hold();
    else s.send("* OK ready\r\n").expect_line().hold();
    ASSERT_TRUE(s.start());
    std::uint64_t t0 = kq::plat::tick_ms();
    EXPECT_EQ(kq_connect(quick_json(s.port()).c_str()), -1);
    EXPECT_LT(kq::plat::tick_ms() - t0, 10000u);
    std::string err = kq_last_error();
    EXPECT_TRUE(err.find("did not answer within 2 s") != std::string::npos ||
                err.rfind("no greeting from server", 0) == 0)
        << err;
    EXPECT_EQ(kq_status(), 0);
    s.stop();
  }
}
