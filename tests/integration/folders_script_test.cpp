// Folder listing corner cases no real server produces on demand: literal
// names, a NIL delimiter, 600 folders, a UID SEARCH reply longer than what
// is read of it.
#include <gtest/gtest.h>

#include "mailbox_test_util.h"

using namespace kqsearch;

namespace {

std::string uid_list(int n) {
  std::string s = "* SEARCH";
  for (int i = 1; i <= n; ++i) s += " " + std::to_string(i);
  return s + "\r\n";
}

// Ends a scripted session: the library logs out, the script must have run
// as written, and the lines the library sent are returned.
std::vector<std::string> finish(kqtest::ScriptServer &s) {
  kq_disconnect();
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
  return s.received();
}

}  // namespace

TEST(FolderListScript, LiteralQuotedAndAtomNamesWithNilDelimiter) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line()
      .send("* LIST (\\HasNoChildren) \"/\" {8}\r\nodd name\r\n"
            "* LIST (\\HasNoChildren) \"/\" {8}\r\nsay \"hi\"\r\n"
            "* LIST () NIL flat\r\n"
            "* LIST () \"/\" \"quoted \\\\ back\"\r\n")
      .send_tagged("OK listed");
  for (int i = 0; i < 4; ++i) s.expect_line().send("* 0 EXISTS\r\n").send_tagged("OK opened");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(kq_folders_json(), rows)) << kq_folders_json();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].name, "odd name");
  EXPECT_EQ(rows[1].name, "say \"hi\"");
  EXPECT_EQ(rows[2].name, "flat");
  EXPECT_EQ(rows[3].name, "quoted \\ back");
  // Each name went back to the server as a quoted string.
  std::vector<std::string> got = finish(s);
  ASSERT_GE(got.size(), 7u);
  EXPECT_TRUE(ends_with(got[3], " EXAMINE \"odd name\"")) << got[3];
  EXPECT_TRUE(ends_with(got[4], " EXAMINE \"say \\\"hi\\\"\"")) << got[4];
  EXPECT_TRUE(ends_with(got[5], " EXAMINE \"flat\"")) << got[5];
  EXPECT_TRUE(ends_with(got[6], " EXAMINE \"quoted \\\\ back\"")) << got[6];
}

TEST(FolderListScript, AtMost511FoldersKeptInOrder) {
  kqtest::ScriptServer s;
  script_login(s);
  std::string list;
  for (int i = 0; i < 600; ++i) list += "* LIST () \".\" f" + std::to_string(i) + "\r\n";
  s.expect_line().send(list).send_tagged("OK listed");
  // Every folder refuses EXAMINE and SELECT: listed with zeros all the same.
  for (int i = 0; i < 511; ++i)
    s.expect_line().send_tagged("NO gone").expect_line().send_tagged("NO gone");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(kq_folders_json(), rows));
  ASSERT_EQ(rows.size(), 511u);
  EXPECT_EQ(rows[0].name, "f0");
  EXPECT_EQ(rows[510].name, "f510");
  EXPECT_EQ(rows[510].count, 0);
  EXPECT_STREQ(kq_last_error(), "cannot open mailbox f510: gone");
  finish(s);
}

TEST(FolderListScript, ReplyLongerThanWhatIsReadGivesTheLastMessagesUid) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* LIST () \"/\" Big\r\n* LIST () \"/\" Huge\r\n").send_tagged("OK listed");
  // 20000 UIDs: about 108000 characters, more than the 65535 read.
  s.expect_line().send("* 20000 EXISTS\r\n").send_tagged("OK opened");
  s.expect_line().send(uid_list(20000)).send_tagged("OK searched");
  s.expect_line().send("* 20000 FETCH (UID 20000)\r\n").send_tagged("OK fetched");
  // 60000 UIDs: the record itself is cut at 262143 characters.
  s.expect_line().send("* 60000 EXISTS\r\n").send_tagged("OK opened");
  s.expect_line().send(uid_list(60000)).send_tagged("OK searched");
  s.expect_line().send("* 60000 FETCH (UID 60000)\r\n").send_tagged("OK fetched");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(kq_folders_json(), rows)) << kq_folders_json();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].uid_min, 1);
  EXPECT_EQ(rows[0].uid_max, 20000);
  EXPECT_EQ(rows[1].uid_min, 1);
  EXPECT_EQ(rows[1].uid_max, 60000);
  std::vector<std::string> got = finish(s);
  ASSERT_GE(got.size(), 6u);
  EXPECT_TRUE(ends_with(got[5], " FETCH * (UID)")) << got[5];
}

TEST(FolderListScript, ShortReplyNeedsNoExtraFetch) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send("* LIST () \"/\" Small\r\n").send_tagged("OK listed");
  s.expect_line().send("* 3 EXISTS\r\n").send_tagged("OK opened");
  s.expect_line().send("* SEARCH 5 7 9\r\n").send_tagged("OK searched");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(kq_folders_json(), rows)) << kq_folders_json();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].uid_min, 5);
  EXPECT_EQ(rows[0].uid_max, 9);
  std::vector<std::string> got = finish(s);
  ASSERT_GE(got.size(), 6u);
  EXPECT_TRUE(ends_with(got[5], " LOGOUT")) << got[5];
}

TEST(FolderListScript, ListRefusedGivesTheEmptyText) {
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line().send_tagged("NO not now");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  EXPECT_STREQ(kq_folders_json(), "");
  finish(s);
}

// A server that does not offer ESEARCH answers its form with NO or BAD
// (Courier, GNU Mailutils): the listing and the probe ask such a server the
// plain way only, and the range comes from that answer.
TEST(FolderListScript, WithoutEsearchOnlyThePlainSearchIsSent) {
  struct entry_point {
    const char *what;
    bool listed;  // kq_folders_json lists first; kq_probe_folder goes straight to the folder
    const char *(*call)();
  };
  const entry_point cases[] = {
      {"listing", true, [] { return kq_folders_json(); }},
      {"probe", false, [] { return kq_probe_folder("Small"); }},
  };
  for (const entry_point &c : cases) {
    SCOPED_TRACE(c.what);
    kqtest::ScriptServer s;
    script_login(s);
    if (c.listed) s.expect_line().send("* LIST () \"/\" Small\r\n").send_tagged("OK listed");
    s.expect_line().send("* 1 EXISTS\r\n").send_tagged("OK opened");
    s.expect_line().send("* SEARCH 7\r\n").send_tagged("OK searched");
    if (!c.listed) s.expect_line().send_tagged("OK fetched");  // the probe's sample
    script_logout(s);
    ASSERT_TRUE(s.start());
    ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
    std::string out = c.call();
    EXPECT_NE(out.find("\"uid_min\":7,\"uid_max\":7"), std::string::npos) << out;
    int searches = 0;
    for (const std::string &line : finish(s)) {
      EXPECT_EQ(line.find("RETURN"), std::string::npos) << line;
      if (line.find(" SEARCH") == std::string::npos) continue;
      ++searches;
      EXPECT_TRUE(ends_with(line, " UID SEARCH ALL")) << line;
    }
    EXPECT_EQ(searches, 1);
  }
}

TEST(FolderListScript, EightBitNamesStillGiveValidUtf8Json) {
  // Not modified UTF-7, not UTF-8: a server may still send such bytes.
  kqtest::ScriptServer s;
  script_login(s);
  s.expect_line()
      .send("* LIST (\\HasNoChildren) \"/\" \"Caf\xe9\"\r\n"
            "* LIST (\\HasNoChildren) \"/\" \"Gr\xc3\xbc\xc3\x9f" "e \xff\"\r\n")
      .send_tagged("OK listed");
  for (int i = 0; i < 2; ++i) s.expect_line().send("* 0 EXISTS\r\n").send_tagged("OK opened");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  std::string json = kq_folders_json();
  kq::json_doc doc;  // strict: invalid UTF-8 does not parse
  ASSERT_TRUE(doc.parse(json)) << json;
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(json.c_str(), rows)) << json;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "Caf\xc3\xa9");
  EXPECT_EQ(rows[1].name, "Gr\xc3\xbc\xc3\x9f" "e \xc3\xbf");
  finish(s);
}

// With ESEARCH (offered once logged in) every folder's EXAMINE and search go
// out before any is answered; a folder that refuses EXAMINE is then opened
// the step-by-step way, which also tries SELECT and still asks for the range
// the ESEARCH way.
TEST(FolderListScript, FoldersGoOutTogetherAndARefusedExamineFallsBackToSelect) {
  kqtest::ScriptServer s;
  std::vector<std::string> tags;
  auto keep_tag = [&tags](const std::string &line) {
    tags.push_back(line.substr(0, line.find(' ')));
    return std::string();
  };
  s.send("* OK ready\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK [CAPABILITY IMAP4rev1 ESEARCH] logged in");
  s.expect_line().send("* LIST () \"/\" A\r\n* LIST () \"/\" B\r\n").send_tagged("OK listed");
  for (int i = 0; i < 4; ++i) s.expect_line().send_fn(keep_tag);
  s.send_fn([&tags](const std::string &) {
    return tags[0] + " NO not now\r\n" + tags[1] + " BAD nothing selected\r\n* 4 EXISTS\r\n" + tags[2] +
           " OK opened\r\n* ESEARCH (TAG \"" + tags[3] + "\") UID MIN 7 MAX 20\r\n" + tags[3] + " OK searched\r\n";
  });
  s.expect_line().send_tagged("NO not now");  // EXAMINE A again
  s.expect_line().send("* 2 EXISTS\r\n").send_tagged("OK [READ-WRITE] opened");  // SELECT A
  s.expect_line()
      .send_fn([](const std::string &line) {
        return "* ESEARCH (TAG \"" + line.substr(0, line.find(' ')) + "\") UID MIN 3 MAX 5\r\n";
      })
      .send_tagged("OK searched");
  script_logout(s);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(script_json(s.port()).c_str()), 0) << kq_last_error();
  EXPECT_STREQ(kq_folders_json(),
               "[{\"name\":\"A\",\"display\":\"A\",\"count\":2,\"uid_min\":3,\"uid_max\":5,\"total_bytes\":0,"
               "\"oldest\":\"\",\"newest\":\"\",\"delimiter\":\"/\"},{\"name\":\"B\",\"display\":\"B\","
               "\"count\":4,\"uid_min\":7,\"uid_max\":20,\"total_bytes\":0,\"oldest\":\"\",\"newest\":\"\","
               "\"delimiter\":\"/\"}]");
  std::vector<std::string> got = finish(s);
  ASSERT_GE(got.size(), 10u);
  EXPECT_TRUE(ends_with(got[3], " EXAMINE \"A\"")) << got[3];
  EXPECT_TRUE(ends_with(got[4], " UID SEARCH RETURN (MIN MAX) ALL")) << got[4];
  EXPECT_TRUE(ends_with(got[5], " EXAMINE \"B\"")) << got[5];
  EXPECT_TRUE(ends_with(got[6], " UID SEARCH RETURN (MIN MAX) ALL")) << got[6];
  EXPECT_TRUE(ends_with(got[7], " EXAMINE \"A\"")) << got[7];
  EXPECT_TRUE(ends_with(got[8], " SELECT \"A\"")) << got[8];
  EXPECT_TRUE(ends_with(got[9], " UID SEARCH RETURN (MIN MAX) ALL")) << got[9];
}
