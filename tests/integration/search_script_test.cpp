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

std::string header_fetch(unsigned uid, const std::string &date, const std::string &subject) {
  std::string hdr = "From: a@x\r\nSubject: " + subject + "\r\nContent-Type: text/plain\r\n\r\n";
  return "* " + std::to_string(uid) + " FETCH (UID " + std::to_string(uid) +
         " RFC822.SIZE 100 INTERNALDATE \"" + date +
         "\" BODY[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)] {" + std::to_string(hdr.size()) +
         "}\r\n" + hdr + ")\r\n";
}

const char *k_items = "(UID RFC822.SIZE INTERNALDATE BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)])";

// Three messages brought by one command.
void three_messages(kqtest::ScriptServer &s) {
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK [READ-ONLY] ok");
  s.expect_line().send("* SEARCH 1 2 3\r\n").send_tagged("OK searched");
  // 01:30 at +0200 is 23:30 UTC the day before; 23:30 at -0100 is 00:30 UTC.
  s.expect_line()
      .send(header_fetch(1, " 7-Jul-2024 01:30:00 +0200", "one"))
      .send(header_fetch(2, "06-Jul-2024 23:30:00 -0100", "two"))
      .send(header_fetch(3, "08-Jul-2024 10:00:00 +0000", "three"))
      .send_tagged("OK fetched");
  script_logout(s);
}

// "<tag> OK fetched" for each of the n commands up to the one in last_line,
// whose tags count up by one.
std::string answer_last(const std::string &last_line, unsigned long n) {
  std::size_t sp = last_line.find(' ');
  unsigned long last = std::stoul(last_line.substr(2, sp - 2));
  std::string out;
  char tag[32];
  for (unsigned long t = last + 1 - n; t <= last; ++t) {
    std::snprintf(tag, sizeof tag, "KQ%04lu OK fetched\r\n", t);
    out += tag;
  }
  return out;
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
  ASSERT_GE(got.size(), 5u);
  EXPECT_TRUE(ends_with(got[2], " EXAMINE \"Zones\"")) << got[2];
  EXPECT_TRUE(ends_with(got[3], " UID SEARCH ALL")) << got[3];
  EXPECT_TRUE(ends_with(got[4], std::string(" UID FETCH 1:3 ") + k_items)) << got[4];
}

// A refused command is asked again in halves after a pause; the rows of
// every message come together.
TEST(SearchScript, RefusedCommandIsAskedAgainInHalves) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 1 2 3\r\n").send_tagged("OK searched");
  s.expect_line().send(header_fetch(1, " 7-Jul-2024 01:30:00 +0200", "one")).send_tagged("NO [UNAVAILABLE] try later");
  s.expect_line()
      .expect_line()
      .send(header_fetch(2, "01-Jan-2024 00:00:00 +0000", "two"))
      .send(header_fetch(3, "01-Jan-2024 00:00:00 +0000", "three"))
      .send_fn([](const std::string &l) { return answer_last(l, 2); });
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("Zones", nullptr), 0) << kq_last_error();
  EXPECT_EQ(result_uids(), (std::vector<unsigned>{1, 2, 3}));
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 7u);
  EXPECT_TRUE(ends_with(got[5], std::string(" UID FETCH 2 ") + k_items)) << got[5];
  EXPECT_TRUE(ends_with(got[6], std::string(" UID FETCH 3 ") + k_items)) << got[6];
}

// A message the server lists but never answers for fails the search: no
// result that looks whole while a message is missing.
TEST(SearchScript, MessageNeverAnsweredFailsTheSearchAndNamesIt) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 2 EXISTS\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 4 9\r\n").send_tagged("OK searched");
  s.expect_line().send(header_fetch(4, "01-Jan-2024 00:00:00 +0000", "four")).send_tagged("OK fetched");
  // Asked whether 9 is still there, then for it, until the rounds are spent.
  for (int round = 0; round < 3; ++round) {
    s.expect_line().send("* SEARCH 9\r\n").send_tagged("OK searched");
    s.expect_line().send_tagged("OK fetched");
  }
  s.expect_line().send("* SEARCH 9\r\n").send_tagged("OK searched");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_search("Gappy", nullptr), -1);
  EXPECT_NE(std::string(kq_last_error()).find("1 message could not be fetched: UID 9"), std::string::npos)
      << kq_last_error();
  EXPECT_EQ(kq_search_count(), 0);
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
}

TEST(SearchScript, ItemsInAnyOrderGiveTheRow) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 1 EXISTS\r\n* OK [UIDNEXT 8] next\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 7\r\n").send_tagged("OK searched");
  s.expect_line()
      .send("* 1 FETCH (RFC822.SIZE 5 uid 7 INTERNALDATE \"01-Jan-2024 00:00:00 +0000\")\r\n")
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

// The server's list is the truth: UIDs far above the message count, with no
// UIDNEXT (as Courier answers), are found in one search and one fetch.
TEST(SearchScript, HighUidsWithoutUidnextAreAllFound) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 119 4000000000 120\r\n").send_tagged("OK searched");
  s.expect_line()
      .send(header_fetch(119, "01-Jan-2024 00:00:00 +0000", "a"))
      .send(header_fetch(120, "01-Jan-2024 00:00:00 +0000", "b"))
      .send(header_fetch(4000000000u, "01-Jan-2024 00:00:00 +0000", "c"))
      .send_tagged("OK");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("High", nullptr), 0) << kq_last_error();
  EXPECT_EQ(result_uids(), (std::vector<unsigned>{119, 120, 4000000000u}));
  kq_disconnect();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 5u);
  EXPECT_TRUE(ends_with(got[4], std::string(" UID FETCH 119:120,4000000000 ") + k_items)) << got[4];
}

// The criteria's UID range goes into the search itself.
TEST(SearchScript, UidRangeIsSearchedOnTheServer) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 120\r\n").send_tagged("OK searched");
  s.expect_line().send(header_fetch(120, "01-Jan-2024 00:00:00 +0000", "b")).send_tagged("OK");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("High", R"({"uid_min":120,"uid_max":200})"), 0) << kq_last_error();
  EXPECT_EQ(result_uids(), std::vector<unsigned>{120});
  kq_disconnect();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 4u);
  EXPECT_TRUE(ends_with(got[3], " UID SEARCH UID 120:200")) << got[3];
}

TEST(SearchScript, CancelFromAnotherThreadWhileTheServerIsSilentLeavesAnEmptyResult) {
  EXPECT_EQ(kq_search_cancel(), -1);  // no search runs
  kqtest::ScriptServer s;
  script_login(s);
  // 20,000 UIDs: twenty commands, of which the first eight go out at once
  // and are never answered.
  s.expect_line().send("* 20000 EXISTS\r\n* OK [UIDNEXT 20001] next\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH").send_fn([](const std::string &) {
    std::string all;
    for (int u = 1; u <= 20000; ++u) all += " " + std::to_string(u);
    return all + "\r\n";
  }).send_tagged("OK searched");
  for (int i = 0; i < 8; ++i) s.expect_line();
  s.hold();
  ASSERT_TRUE(s.start());
  // A minute of patience with a silent server.
  std::string cfg = script_json(s.port());
  cfg.replace(cfg.find("\"timeout_s\":5"), 13, "\"timeout_s\":60");
  ASSERT_EQ(kq_connect(cfg.c_str()), 0) << kq_last_error();
  int rc = 0;
  std::string why;
  // The failure is the searching thread's own last error.
  std::thread searcher([&] {
    rc = kq_search("Big", nullptr);
    why = kq_last_error();
  });
  // Wait until the eight commands are out (login took two lines, EXAMINE
  // and the search one each).
  for (int i = 0; i < 1000 && s.received().size() < 12; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(kq_search_progress(), 0.0);
  auto cancelled_at = std::chrono::steady_clock::now();
  EXPECT_EQ(kq_search_cancel(), 0);
  // The answers never come: the search does not wait out the connection's
  // patience for them, it closes the connection.
  searcher.join();
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, std::chrono::seconds(30));
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(why, "search cancelled");
  EXPECT_EQ(kq_search_count(), 0);
  EXPECT_EQ(kq_search_cancel(), -1);
  EXPECT_EQ(kq_status(), 0);
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty());
  // Nothing went out after the eight commands.
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 12u);
  EXPECT_TRUE(ends_with(got[11], std::string(" UID FETCH 7001:8000 ") + k_items)) << got[11];
}

TEST(SearchScript, ConnectionLostMidScanIsAFailureWithNoPartialResult) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 3 EXISTS\r\n* OK [UIDNEXT 4] next\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 1 2 3\r\n").send_tagged("OK searched");
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

// The connection drops while the folder's UIDs are asked for: the search
// connects again, opens the folder, asks again and ends whole.
TEST(SearchScript, ConnectionLostAtTheUidSearchIsMadeGoodAgain) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n").send_tagged("OK ok");
  s.expect_line().close();
  script_login(s);
  s.expect_line().send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n").send_tagged("OK ok");
  s.expect_line().send("* SEARCH 3 8\r\n").send_tagged("OK searched");
  s.expect_line()
      .send(header_fetch(3, "01-Jan-2024 00:00:00 +0000", "three"))
      .send(header_fetch(8, "01-Jan-2024 00:00:00 +0000", "eight"))
      .send_tagged("OK fetched");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("Cut", nullptr), 0) << kq_last_error();
  EXPECT_EQ(result_uids(), (std::vector<unsigned>{3, 8}));
  kq_disconnect();
  s.stop();
  EXPECT_EQ(s.connections(), 2);
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
}
