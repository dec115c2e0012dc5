// A re-run over an archived folder brings the recorded flags up to date:
// against a scripted server, the plain FLAGS fetch, the CHANGEDSINCE one
// where CONDSTORE is offered, and Gmail labels.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "export/export_one.h"
#include "export_support.h"
#include "support/script_server.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

std::string connect_json(const ScriptServer &s) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
}

// Greeting, CAPABILITY, LOGIN and EXAMINE with the given capabilities and
// the EXAMINE's untagged answers.
void login_and_examine(ScriptServer &s, const std::string &caps, const std::string &examined) {
  s.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY " + caps + "\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in")
      .expect_line()
      .send("* 3 EXISTS\r\n* OK [UIDVALIDITY 9] ok\r\n" + examined)
      .send_tagged("OK [READ-ONLY] done");
}

// An archive of UIDs 5 and 6 of generation 9 as an earlier run left it: 5
// recorded \Seen, 6 no flags; resume.json records `modseq` (0: none).
std::vector<stored> archived(const scratch_dir &d, unsigned long long modseq) {
  std::vector<stored> msgs;
  std::string manifest;
  for (unsigned uid : {5u, 6u}) {
    stored m{uid, make_message(static_cast<int>(uid), 300, "message " + std::to_string(uid)), 1600000000LL + uid};
    std::string file = "uid-" + std::to_string(uid) + ".eml";
    write_all(d.file(file), m.raw);
    std::vector<std::string> flags;
    if (uid == 5) flags.push_back("\\Seen");
    kq::search_hit hit{};
    hit.uid = uid;
    kq::manifest_line(manifest, "INBOX", file, kq::sha256_hex(m.raw.data(), m.raw.size()).c_str(),
                      m.raw.size(), hit, 9, &flags);
    msgs.push_back(m);
  }
  write_all(d.file("manifest.jsonl"), manifest);
  std::vector<std::uint32_t> completed = {5, 6};
  kq::resume_record r;
  r.folder = "INBOX";
  r.uidvalidity = 9;
  r.base_uidvalidity = 9;
  r.last_uid = 6;
  r.completed = &completed;
  r.highestmodseq = modseq;
  write_all(d.file("resume.json"), kq::resume_format(r));
  return msgs;
}

std::vector<kq::manifest_message> latest(const scratch_dir &d) {
  std::vector<kq::manifest_message> out;
  EXPECT_EQ(kq::manifest_latest_flags(d.str().c_str(), 9, out), 0) << kq_last_error();
  return out;
}

unsigned long long recorded_modseq(const scratch_dir &d) {
  kq::resume_data r;
  EXPECT_TRUE(kq::resume_parse(read_all(d.file("resume.json")), r));
  return r.highestmodseq;
}

int flag_lines(const scratch_dir &d) {
  int n = 0;
  for (const std::string &line : split_lines(read_all(d.file("manifest.jsonl"))))
    n += line.find("\"ts_flags\":") != std::string::npos;
  return n;
}

}  // namespace

// Without CONDSTORE every stored UID's flags are asked for in one command;
// only the UID whose flags changed gets a flag line (\Recent is no change).
TEST(FlagRefreshScript, PlainFetchAsksForEveryStoredUid) {
  scratch_dir d;
  std::vector<stored> msgs = archived(d, 0);
  ScriptServer s;
  login_and_examine(s, "IMAP4rev1", "");
  s.expect_line()
      .send("* 1 FETCH (UID 5 FLAGS (\\Seen \\Recent))\r\n* 2 FETCH (UID 6 FLAGS (\\Flagged))\r\n")
      .send_tagged("OK done");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_json(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", msgs);
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(wait_end(), 2) << job_error();
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 4u);
  EXPECT_TRUE(got[2].ends_with(" EXAMINE \"INBOX\"")) << got[2];
  EXPECT_TRUE(got[3].ends_with(" UID FETCH 5:6 (UID FLAGS)")) << got[3];
  EXPECT_EQ(flag_lines(d), 1);
  std::vector<kq::manifest_message> m = latest(d);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].flags, std::vector<std::string>{"\\Seen"});
  EXPECT_EQ(m[1].flags, std::vector<std::string>{"\\Flagged"});
  EXPECT_EQ(recorded_modseq(d), 0u);
  ASSERT_EQ(kq_verify_dir(d.str().c_str()), 0);
  EXPECT_NE(std::string(kq_verify_report_json()).find("\"ok\":2,\"missing\":0,\"corrupt\":0,\"total\":2,"),
            std::string::npos)
      << kq_verify_report_json();
}

// With CONDSTORE and a recorded HIGHESTMODSEQ only what changed since is
// asked for; Gmail labels come with the flags and with a new body, decoded.
TEST(FlagRefreshScript, ChangedSinceWithLabels) {
  scratch_dir d;
  std::vector<stored> msgs = archived(d, 100);
  stored fresh{7, make_message(7, 300, "message 7"), 1600000007};
  msgs.push_back(fresh);
  ScriptServer s;
  login_and_examine(s, "IMAP4rev1 CONDSTORE X-GM-EXT-1", "* OK [HIGHESTMODSEQ 120] ok\r\n");
  s.expect_line()
      .send("* 2 FETCH (UID 6 MODSEQ (110) FLAGS (\\Seen) X-GM-LABELS (\\Inbox \"&ZeVnLIqe-\"))\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send("* 3 FETCH (UID 7 FLAGS () X-GM-LABELS (Work) BODY[] {" + std::to_string(fresh.raw.size()) +
            "}\r\n" + fresh.raw + ")\r\n")
      .send_tagged("OK done");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_json(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", msgs);
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(wait_end(), 2) << job_error();
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 5u);
  EXPECT_TRUE(got[2].ends_with(" EXAMINE \"INBOX\" (CONDSTORE)")) << got[2];
  EXPECT_TRUE(got[3].ends_with(" UID FETCH 5:6 (UID FLAGS X-GM-LABELS) (CHANGEDSINCE 100)")) << got[3];
  EXPECT_TRUE(got[4].ends_with(" UID FETCH 7 (FLAGS X-GM-LABELS BODY.PEEK[])")) << got[4];
  EXPECT_EQ(flag_lines(d), 1);
  std::vector<kq::manifest_message> m = latest(d);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].flags, std::vector<std::string>{"\\Seen"});
  EXPECT_FALSE(m[0].has_labels);  // not asked for: unchanged since
  EXPECT_EQ(m[1].flags, std::vector<std::string>{"\\Seen"});
  EXPECT_EQ(m[1].labels, (std::vector<std::string>{"\\Inbox", "日本語"}));
  EXPECT_EQ(m[2].uid, 7u);
  EXPECT_TRUE(m[2].has_flags);
  EXPECT_TRUE(m[2].flags.empty());
  EXPECT_EQ(m[2].labels, std::vector<std::string>{"Work"});
  EXPECT_EQ(recorded_modseq(d), 120u);
}

// Nothing changed in the folder since the recorded HIGHESTMODSEQ: no flag
// is asked for at all.
TEST(FlagRefreshScript, UnchangedModseqAsksNothing) {
  scratch_dir d;
  std::vector<stored> msgs = archived(d, 120);
  std::string before = read_all(d.file("manifest.jsonl"));
  ScriptServer s;
  login_and_examine(s, "IMAP4rev1 CONDSTORE", "* OK [HIGHESTMODSEQ 120] ok\r\n");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_json(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", msgs);
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(wait_end(), 2) << job_error();
  kq_disconnect();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 3u);
  for (std::size_t i = 3; i < got.size(); ++i) EXPECT_EQ(got[i].find("FETCH"), std::string::npos) << got[i];
  EXPECT_EQ(read_all(d.file("manifest.jsonl")), before);
  EXPECT_EQ(recorded_modseq(d), 120u);
}
