// Export against a scripted server: answers no real server gives on demand.
#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_one.h"
#include "export/job.h"
#include "export_support.h"
#include "support/script_server.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

std::string fetch_reply(int seq, unsigned uid, const std::string &body) {
  return "* " + std::to_string(seq) + " FETCH (UID " + std::to_string(uid) + " BODY[] {" +
         std::to_string(body.size()) + "}\r\n" + body + ")\r\n";
}

// Greeting, CAPABILITY, LOGIN and EXAMINE, as the library sends them.
void login_and_examine(ScriptServer &s) {
  s.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in")
      .expect_line()
      .send("* 9 EXISTS\r\n")
      .send_tagged("OK [READ-ONLY] done");
}

}  // namespace

std::string connect_to(const ScriptServer &s) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
}

// A literal that belongs to another message is never stored as this one:
// the attempt fails and the retry stores the right message.
TEST(ExportScript, LiteralOfAnotherUidIsNotStored) {
  std::string wrong = make_message(6, 500, "not the one asked for");
  std::string right = make_message(5, 700, "the one asked for");
  ScriptServer s;
  login_and_examine(s);
  s.expect_line()
      .send(fetch_reply(2, 6, wrong))
      .send_tagged("OK done")
      .expect_line()
      .send(fetch_reply(1, 5, right))
      .send_tagged("OK done");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", {{5, right, 1600000000}});
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 2) << kq_last_error();
  EXPECT_EQ(read_all(d.file("uid-5.eml")), right);
  std::vector<entry> m = read_manifest(d.str());
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].sha256, kq::sha256_hex(right.data(), right.size()));
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_NE(got[2].find("EXAMINE \"INBOX\""), std::string::npos) << got[2];
  EXPECT_NE(got[3].find(" UID FETCH 5 (BODY.PEEK[])"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" UID FETCH 5 (BODY.PEEK[])"), std::string::npos) << got[4];
  kq_disconnect();
}

// No body in the answer, twice: the job ends in error and says why.
TEST(ExportScript, AnswerWithoutBodyEndsTheJobWithItsReason) {
  ScriptServer s;
  login_and_examine(s);
  s.expect_line()
      .send("* 1 FETCH (UID 5 BODY[] NIL)\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("NO no such message");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", {{5, "x", 1600000000}});
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 4);
  EXPECT_STREQ(kq_last_error(), "cannot fetch message uid 5");
  EXPECT_FALSE(std::filesystem::exists(d.file("uid-5.eml")));
  EXPECT_EQ(read_all(d.file("manifest.jsonl")), "");
  s.stop();
  kq_disconnect();
}
