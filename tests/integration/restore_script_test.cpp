// Restore against a scripted server that offers neither UIDPLUS nor
// LITERAL+: synchronizing literals one at a time, flags the folder does not
// keep left out, a refused flag retried without flags, and a second run
// that finds every message by Message-ID, size and digest and sends none.
#include <gtest/gtest.h>

#include "export/export_one.h"
#include "export_support.h"
#include "restore/restore_job.h"
#include "support/script_server.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

std::string connect_json_to(const ScriptServer &s) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
}

// Greeting, CAPABILITY (no extension the restore could use), LOGIN, the
// target folder as SELECT reports it, then EXAMINE and CLOSE: no folder is
// open while messages go up.
void open_target(ScriptServer &s, int exists) {
  std::string e = "* " + std::to_string(exists) + " EXISTS\r\n";
  s.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in")
      .expect_line()
      .send(e + "* OK [UIDVALIDITY 7] v\r\n* OK [PERMANENTFLAGS (\\Seen \\Flagged)] p\r\n")
      .send_tagged("OK [READ-WRITE] selected")
      .expect_line()
      .send(e + "* OK [UIDVALIDITY 7] v\r\n")
      .send_tagged("OK [READ-ONLY] examined")
      .expect_line()
      .send_tagged("OK closed");
}

// The session's own EXAMINE of the folder at the end, then LOGOUT.
void examine_and_logout(ScriptServer &s) {
  s.expect_line().send("* 2 EXISTS\r\n").send_tagged("OK [READ-ONLY] examined");
  s.expect_line().send("* BYE\r\n").send_tagged("OK bye").close();
}

struct archived {
  std::string bytes, date, flags;
};

void write_archive(const std::string &dir, const std::vector<archived> &msgs) {
  std::string manifest;
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    std::string file = "uid-" + std::to_string(i + 1) + ".eml";
    write_all(dir + "/" + file, msgs[i].bytes);
    manifest += "{\"uid\":" + std::to_string(i + 1) + ",\"folder\":\"INBOX\",\"uidvalidity\":3,\"file\":\"" +
                file + "\",\"sha256\":\"" + kq::sha256_hex(msgs[i].bytes.data(), msgs[i].bytes.size()) +
                "\",\"size\":" + std::to_string(msgs[i].bytes.size()) + ",\"date\":\"" + msgs[i].date +
                "\",\"ts\":0,\"flags\":[" + msgs[i].flags + "]}\n";
  }
  write_all(dir + "/manifest.jsonl", manifest);
}

int run_restore(const ScriptServer &s, const std::string &dir) {
  EXPECT_EQ(kq_connect(connect_json_to(s).c_str()), 0) << kq_last_error();
  std::string cfg = "{\"dir\":" + json_quote(dir) + ",\"folder\":\"Target\"}";
  EXPECT_EQ(kq_restore_start(cfg.c_str()), 0) << kq_last_error();
  wait_for([] { return kq::restore_record().active.load() == 0; }, 60000);
  return kq_restore_status();
}

long long stat_of(const char *key) {
  kq::json_doc doc;
  if (!doc.parse(kq_export_stats_json())) return -1;
  return kq::json_num(doc.root(), key, -1);
}

std::string fetch_body(unsigned uid, const std::string &body) {
  return "* " + std::to_string(uid) + " FETCH (UID " + std::to_string(uid) + " BODY[] {" +
         std::to_string(body.size()) + "}\r\n" + body + ")\r\n";
}

}  // namespace

TEST(RestoreScript, WithoutUidplusOrLiteralPlusEachMessageGoesOnceAndIsFoundAgain) {
  std::vector<archived> msgs = {
      {make_message(1, 300, "first"), "05-Mar-2021 10:00:00 +0100", "\"\\\\Seen\",\"\\\\Recent\",\"$Odd\""},
      {make_message(2, 400, "second"), " 7-Mar-2021 11:00:00 +0000", ""}};
  scratch_dir d;
  write_archive(d.str(), msgs);

  ScriptServer s;
  open_target(s, 0);
  // The first is refused with its flags, the second taken; the first then
  // goes again without flags.
  s.expect_command().send_tagged("NO [CANNOT] flag refused");
  s.expect_command().send_tagged("OK appended");
  s.expect_command().send_tagged("OK appended");
  examine_and_logout(s);
  ASSERT_TRUE(s.start());
  EXPECT_EQ(run_restore(s, d.str()), 2) << kq_export_stats_json();
  EXPECT_EQ(stat_of("restored"), 2);
  kq_disconnect();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 8u);
  EXPECT_NE(got[2].find(" SELECT \"Target\""), std::string::npos) << got[2];
  // Closed only once open read-only: CLOSE expunges nothing then.
  EXPECT_NE(got[3].find(" EXAMINE \"Target\""), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" CLOSE"), std::string::npos) << got[4];
  auto append_of = [&](const std::string &flags, const archived &m) {
    return " APPEND \"Target\"" + flags + " \"" + m.date + "\" {" + std::to_string(m.bytes.size()) + "}\r\n" +
           m.bytes;
  };
  // \Recent is never sent, and $Odd is not among the folder's PERMANENTFLAGS.
  EXPECT_NE(got[5].find(append_of(" (\\Seen)", msgs[0])), std::string::npos) << got[5];
  EXPECT_NE(got[6].find(append_of("", msgs[1])), std::string::npos) << got[6];
  EXPECT_NE(got[7].find(append_of("", msgs[0])), std::string::npos) << got[7];

  // The ledger has no UIDs (no UIDPLUS): the second run asks the folder.
  ScriptServer s2;
  open_target(s2, 2);
  s2.expect_line().send("* 2 EXISTS\r\n").send_tagged("OK [READ-ONLY] examined");
  s2.expect_line().send("* SEARCH 1\r\n").send_tagged("OK searched");
  s2.expect_line().send("* SEARCH 2\r\n").send_tagged("OK searched");
  s2.expect_line()
      .send("* 1 FETCH (UID 1 RFC822.SIZE " + std::to_string(msgs[0].bytes.size()) + ")\r\n* 2 FETCH (UID 2 RFC822.SIZE " +
            std::to_string(msgs[1].bytes.size()) + ")\r\n")
      .send_tagged("OK fetched");
  s2.expect_line().send(fetch_body(1, msgs[0].bytes)).send_tagged("OK fetched");
  s2.expect_line().send(fetch_body(2, msgs[1].bytes)).send_tagged("OK fetched");
  s2.expect_line().send_tagged("OK closed");
  examine_and_logout(s2);
  ASSERT_TRUE(s2.start());
  EXPECT_EQ(run_restore(s2, d.str()), 2) << kq_export_stats_json();
  EXPECT_EQ(stat_of("restored"), 0);
  EXPECT_EQ(stat_of("present"), 2);
  kq_disconnect();
  s2.stop();
  std::vector<std::string> got2 = s2.received();
  ASSERT_GE(got2.size(), 13u);
  EXPECT_NE(got2[6].find(" UID SEARCH HEADER Message-ID \"<m1@example.org>\""), std::string::npos) << got2[6];
  EXPECT_NE(got2[8].find(" UID FETCH 1:2 (UID RFC822.SIZE)"), std::string::npos) << got2[8];
  for (const std::string &line : got2) EXPECT_EQ(line.find("APPEND"), std::string::npos) << line;
}
