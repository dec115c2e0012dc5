// kq_folders_json against the real server: names of every shape, counts and
// UID ranges as the server holds them, and the commands each folder costs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "connection/imap.h"
#include "mailbox_test_util.h"

using namespace kqsearch;

namespace {

class FolderListing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto &dv = kqtest::shared_dovecot();
    if (!dv.running()) return;
    user_ = fresh_user("folders");
    // UTF-8 here, modified UTF-7 over IMAP.
    for (const char *f : {"Archive/2023", "My Folder", "Say \"hi\"", "Entw\xc3\xbcrfe",
                          "back\\slash", "Empty", "Gapped", "HighUids"})
      ASSERT_TRUE(dv.create_folder(user_, f)) << dv.last_error();
    auto put = [&](const std::string &folder, int n) {
      std::vector<kqtest::DovecotServer::Message> m;
      for (int i = 0; i < n; ++i)
        m.push_back({message("a@x", "b@y", folder + " " + std::to_string(i)), 0, ""});
      ASSERT_EQ(dv.append_many(user_, folder, m).size(), static_cast<std::size_t>(n));
    };
    put("INBOX", 3);
    put("Archive/2023", 4);
    put("My Folder", 2);
    put("Say \"hi\"", 1);
    put("Entw\xc3\xbcrfe", 1);
    put("back\\slash", 1);
    put("Gapped", 10);
    for (unsigned uid : {1u, 5u, 10u}) ASSERT_TRUE(dv.expunge(user_, "Gapped", uid));
    ASSERT_TRUE(dv.set_uid_start(user_, "HighUids", 50000));
    put("HighUids", 3);
  }

  void SetUp() override {
    auto &dv = kqtest::shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(login(user_), 0) << kq_last_error();
  }

  static std::string user_;
};
std::string FolderListing::user_;

}  // namespace

TEST_F(FolderListing, EveryFolderWithTheServersCountsAndUidRanges) {
  auto &dv = kqtest::shared_dovecot();
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(kq_folders_json(), rows)) << kq_folders_json();
  std::map<std::string, folder_row> by_name;
  for (const auto &r : rows) by_name[r.name] = r;
  // Names come back as the server sends them (modified UTF-7), atoms too.
  const std::map<std::string, std::string> imap_to_utf8 = {
      {"INBOX", "INBOX"},           {"Archive/2023", "Archive/2023"},
      {"My Folder", "My Folder"},   {"Say \"hi\"", "Say \"hi\""},
      {"Entw&APw-rfe", "Entw\xc3\xbcrfe"}, {"back\\slash", "back\\slash"},
      {"Empty", "Empty"},           {"Gapped", "Gapped"},
      {"HighUids", "HighUids"}};
  for (const auto &[imap, utf8] : imap_to_utf8) {
    ASSERT_TRUE(by_name.count(imap)) << imap << " missing from " << kq_folders_json();
    const folder_row &r = by_name[imap];
    std::vector<unsigned> uids = dv.uids(user_, utf8);
    EXPECT_EQ(r.count, static_cast<long long>(uids.size())) << imap;
    EXPECT_EQ(r.uid_min, uids.empty() ? 0 : uids.front()) << imap;
    EXPECT_EQ(r.uid_max, uids.empty() ? 0 : uids.back()) << imap;
    EXPECT_EQ(r.total_bytes, 0);
    EXPECT_EQ(r.oldest, "");
    EXPECT_EQ(r.newest, "");
  }
  EXPECT_EQ(by_name["Gapped"].uid_min, 2);
  EXPECT_EQ(by_name["Gapped"].uid_max, 9);
  EXPECT_EQ(by_name["HighUids"].uid_min, 50000);
  // The missing parent is listed, as the server lists it, with zeros.
  ASSERT_TRUE(by_name.count("Archive"));
  EXPECT_EQ(by_name["Archive"].count, 0);
  EXPECT_EQ(rows.size(), imap_to_utf8.size() + 1);
  // No delimiter mistaken for a name.
  EXPECT_FALSE(by_name.count("/"));
}

TEST_F(FolderListing, NamesAreEscapedJsonStrings) {
  std::string text = kq_folders_json();
  EXPECT_NE(text.find("{\"name\":\"Say \\\"hi\\\"\",\"display\":\"Say \\\"hi\\\"\",\"count\":1,"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("{\"name\":\"back\\\\slash\",\"display\":\"back\\\\slash\",\"count\":1,"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.front(), '[');
  EXPECT_EQ(text.back(), ']');
  // The only blanks are those inside "My Folder" and "Say \"hi\"", each in
  // its name and its display name.
  EXPECT_EQ(std::count(text.begin(), text.end(), ' '), 4) << text;
}

TEST_F(FolderListing, FoldersCostTwoCommandsEachAllInFlightTogether) {
  auto &dv = kqtest::shared_dovecot();
  kq::main_session().reset_counters();
  std::uint64_t before = kq::cmd_sent_total();
  std::vector<folder_row> rows;
  ASSERT_TRUE(parse_folders(kq_folders_json(), rows));
  std::uint64_t sent = kq::cmd_sent_total() - before;
  // LIST, then EXAMINE and one ESEARCH per folder, empty or not; the
  // \Noselect parent costs nothing (the server says it cannot be opened).
  std::uint64_t want = 1;
  for (const auto &r : rows)
    if (r.name != "Archive") want += 2;
  EXPECT_EQ(sent, want);
  // Several folders' commands were on the wire at once.
  EXPECT_GT(kq::main_session().most_in_flight(), 4u);
  EXPECT_TRUE(dv.uids(user_, "Empty").empty());
}

TEST_F(FolderListing, NotConnectedGivesTheEmptyTextNotTheLastListing) {
  ASSERT_NE(std::string(kq_folders_json()), "");
  kq_disconnect();
  EXPECT_STREQ(kq_folders_json(), "");
  EXPECT_STREQ(kq_last_error(), "not connected");
}
