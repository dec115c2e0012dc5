// Search corner cases played by a scripted server: zone offsets in the
// internal date, a window that fails, items in another order, a search
// cancelled from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "mailbox_test_util.h"

using namespace kqsearch;

namespace {

std::string header_fetch(int uid, const std::string &date, const std::string &subject) {
  std::string hdr = "From: a@x\r\nSubject: " + subject + "\r\nContent-Type: text/plain\r\n\r\n";
  return "* " + std::to_string(uid) + " FETCH (UID " + std::to_string(uid) +
         " RFC822.SIZE 100 INTERNALDATE \"" + date +
         "\" BODY[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)] {" + std::to_string(hdr.size()) +
         "}\r\n" + hdr + ")\r\n";
}

const char *k_items = "(UID RFC822.SIZE INTERNALDATE BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)])";

// Three messages brought by one window.
void three_messages(kqtest::ScriptServer &s) {
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK [READ-ONLY] ok");
  // 01:30 at +0200 is 23:30 UTC the day before; 23:30 at -0100 is 00:30 UTC.
  s.expect_line()
      .send(header_fetch(1, " 7-Jul-2024 01:30:00 +0200", "one"))
      .send(header_fetch(2, "06-Jul-2024 23:30:00 -0100", "two"))
      .send(header_fetch(3, "08-Jul-2024 10:00:00 +0000", "three"))
      .send_tagged("OK fetched");
  script_logout(s);
}

}  // namespace

TEST(SearchScript, ZoneOffsetIsSubtractedAndTheTextKept) {
  kqtest::ScriptServer s;
  three_messages(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("Zones", R"({"since":"2024-07-07","before":"2024-07-08"})"), 0) << kq_last_error();
  ASSERT_EQ(result_uids(), std::vector<unsigned>{2});
  EXPECT_STREQ(kq_search_field(0, "date"), "06-Jul-2024 23:30:00 -0100");
  EXPECT_STREQ(kq_search_field(0, "subject"), "two");
  EXPECT_EQ(kq_search_progress(), 1.0);
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty());
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 4u);
  EXPECT_TRUE(ends_with(got[2], " EXAMINE \"Zones\"")) << got[2];
  EXPECT_TRUE(ends_with(got[3], std::string(" UID FETCH 1:3 ") + k_items)) << got[3];
}

TEST(SearchScript, RefusedWindowEndsTheScanWithTheRowsFound) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK ok");
  s.expect_line().send(header_fetch(1, " 7-Jul-2024 01:30:00 +0200", "one")).send_tagged("NO [UNAVAILABLE] try later");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("Zones", nullptr), 0) << kq_last_error();
  EXPECT_STREQ(kq_last_error(), "");
  EXPECT_EQ(result_uids(), std::vector<unsigned>{1});
  EXPECT_STREQ(kq_search_field(0, "date"), " 7-Jul-2024 01:30:00 +0200");
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty());
}

TEST(SearchScript, ItemsInAnyOrderGiveTheRow) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 1 EXISTS\r\n* OK [UIDNEXT 8] next\r\n").send_tagged("OK ok");
  s.expect_line()
      .send("* 1 FETCH (RFC822.SIZE 5 UID 7 INTERNALDATE \"01-Jan-2024 00:00:00 +0000\")\r\n")
      .send_tagged("OK");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("Odd", nullptr), 0) << kq_last_error();
  EXPECT_EQ(result_uids(), std::vector<unsigned>{7});
  EXPECT_STREQ(kq_search_field(0, "bytes"), "5");
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty());
}

TEST(SearchScript, ImpossibleUidnextIsIgnored) {
  kqtest::ScriptServer s;
  script_login(s);
  // Two messages cannot both lie below UIDNEXT 2: the default range stands.
  s.expect_line().send("* 2 EXISTS\r\n* OK [UIDNEXT 2] next\r\n").send_tagged("OK ok");
  s.expect_line().send(header_fetch(5, "01-Jan-2024 00:00:00 +0000", "five")).send_tagged("OK");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("Odd", nullptr), 0) << kq_last_error();
  EXPECT_EQ(result_uids(), std::vector<unsigned>{5});
  kq_disconnect();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 4u);
  EXPECT_TRUE(ends_with(got[3], std::string(" UID FETCH 1:103 ") + k_items)) << got[3];
}

namespace {

// "KQ0009 OK ..." for the eight commands up to the one in last_line, whose
// tags count up by one ("KQ0002" ... "KQ0009").
std::string answer_eight(const std::string &last_line) {
  std::size_t sp = last_line.find(' ');
  unsigned long n = std::stoul(last_line.substr(2, sp - 2));
  std::string out;
  char tag[32];
  for (unsigned long t = n - 7; t <= n; ++t) {
    std::snprintf(tag, sizeof tag, "KQ%04lu OK fetched\r\n", t);
    out += tag;
  }
  return out;
}

}  // namespace

TEST(SearchScript, CancelFromAnotherThreadLeavesAnEmptyResult) {
  EXPECT_EQ(kq_search_cancel(), -1);  // no search runs
  kqtest::ScriptServer s;
  script_login(s);
  // 20,000 UIDs: twenty windows, of which the first eight go out at once
  // and are answered only after the host has asked to stop.
  s.expect_line().send("* 20000 EXISTS\r\n* OK [UIDNEXT 20001] next\r\n").send_tagged("OK ok");
  for (int i = 0; i < 8; ++i) s.expect_line();
  s.sleep_ms(600).send(header_fetch(1, "01-Jan-2024 00:00:00 +0000", "one")).send_fn(answer_eight);
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  int rc = 0;
  std::thread searcher([&] { rc = kq_search("Big", nullptr); });
  // Wait until the eight windows are out (login took two lines, EXAMINE one).
  for (int i = 0; i < 200 && s.received().size() < 11; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(kq_search_progress(), 0.0);
  EXPECT_EQ(kq_search_cancel(), 0);
  searcher.join();
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(kq_last_error(), "search cancelled");
  EXPECT_EQ(kq_search_count(), 0);
  EXPECT_EQ(kq_search_cancel(), -1);
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty());
  // Nothing went out after the eight windows but the logout.
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 12u);
  EXPECT_TRUE(ends_with(got[10], std::string(" UID FETCH 7001:8000 ") + k_items)) << got[10];
  EXPECT_TRUE(ends_with(got[11], " LOGOUT")) << got[11];
}

TEST(SearchScript, ConnectionLostMidScanIsAFailureWithNoPartialResult) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK ok");
  s.expect_line().send(header_fetch(1, "01-Jan-2024 00:00:00 +0000", "one")).close();
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_search("Cut", nullptr), -1);
  EXPECT_STRNE(kq_last_error(), "");
  EXPECT_EQ(kq_search_count(), 0);
  EXPECT_EQ(kq_status(), 0);
  kq_disconnect();
  s.stop();
}

// A server claiming two billion messages below UID 4294967295 whose windows
// come back empty: the walk looks for the next message by bisecting the
// sequence numbers once, finds none, and ends with an empty result after a
// few dozen commands (it once walked the whole UID range, millions of them).
TEST(SearchScript, BogusMessageCountWithEmptyWindowsCostsAFewCommands) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 2147483647 EXISTS\r\n* OK [UIDNEXT 4294967295] next\r\n").send_tagged("OK ok");
  for (int i = 0; i < 8; ++i) s.expect_line();
  s.send_fn(answer_eight);
  // Each "FETCH n (UID)" of the bisection is answered with no message.
  auto ok_only = [](const std::string &line) { return line.substr(0, line.find(' ')) + " OK none\r\n"; };
  for (int i = 0; i < 32; ++i) s.expect_line().send_fn(ok_only);
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_search("Bogus", nullptr), 0) << kq_last_error();
  EXPECT_EQ(kq_search_count(), 0);
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 2u + 1u + 8u + 32u + 1u);
  EXPECT_TRUE(ends_with(got[11], " FETCH 1073741824 (UID)")) << got[11];
  EXPECT_TRUE(ends_with(got[got.size() - 1], " LOGOUT"));
}
