// The folder list as the tool shows it: INBOX first, then the hierarchy in
// name order, with the UTF-8 names, on servers with '/' and with '.'.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folder_list.h"

using namespace kqcli;

namespace {

std::vector<std::string> displays(const folder_listing &l) {
  std::vector<std::string> out;
  for (const auto &f : l.folders) out.push_back(f.display);
  return out;
}

}  // namespace

TEST(CliFolders, InboxFirstThenHierarchyInNameOrder) {
  struct row {
    const char *what;
    const char *json;
    char delimiter;
    std::vector<std::string> order;
  } const rows[] = {
      {"slash server",
       R"([{"name":"Sent","count":1},{"name":"Projects/2024","count":2},{"name":"INBOX","count":3},
           {"name":"Archive","count":0},{"name":"Projects","count":0},{"name":"Projects-old","count":1}])",
       '/',
       {"INBOX", "Archive", "Projects", "Projects/2024", "Projects-old", "Sent"}},
      {"dot server, children of INBOX",
       R"([{"name":"INBOX.Sent"},{"name":"INBOX.Archive.2023"},{"name":"INBOX.Archive"},{"name":"INBOX"},
           {"name":"Shared"}])",
       '.',
       {"INBOX", "INBOX.Archive", "INBOX.Archive.2023", "INBOX.Sent", "Shared"}},
      {"INBOX in another case",
       R"([{"name":"Drafts"},{"name":"Inbox"}])",
       '/',
       {"Inbox", "Drafts"}},
  };
  for (const auto &r : rows) {
    folder_listing l;
    ASSERT_TRUE(parse_folder_listing(r.json, l)) << r.what;
    EXPECT_EQ(l.delimiter, r.delimiter) << r.what;
    EXPECT_EQ(displays(l), r.order) << r.what;
  }
}

TEST(CliFolders, ShowsAndFindsTheUtf8Name) {
  folder_listing l;
  ASSERT_TRUE(parse_folder_listing(
      R"([{"name":"Entw&APw-rfe","display":"Entw\u00fcrfe","count":4},{"name":"INBOX","display":"INBOX"}])", l));
  ASSERT_EQ(l.folders.size(), 2u);
  EXPECT_EQ(l.folders[1].display, "Entw\xC3\xBC" "rfe");
  EXPECT_EQ(l.folders[1].name, "Entw&APw-rfe");
  const folder_info *by_utf8 = find_folder(l, "Entw\xC3\xBC" "rfe");
  const folder_info *by_raw = find_folder(l, "Entw&APw-rfe");
  ASSERT_NE(by_utf8, nullptr);
  EXPECT_EQ(by_utf8, by_raw);
  EXPECT_EQ(find_folder(l, "Drafts"), nullptr);
  EXPECT_FALSE(parse_folder_listing(R"({"name":"INBOX"})", l)) << "not an array";
}

TEST(CliFolders, DelimiterFromTheNamesOrTheLibrary) {
  struct row {
    std::vector<std::string> names;
    char want;
  } const rows[] = {
      {{"INBOX", "Projects", "Projects/v1.2"}, '/'},
      {{"INBOX", "INBOX.Archive", "INBOX.Archive.2023"}, '.'},
      {{"INBOX", "Sent"}, '/'},
      {{"INBOX", "a.b"}, '.'},  // no parent listed either way: the one in use
  };
  for (const auto &r : rows) EXPECT_EQ(guess_delimiter(r.names), r.want) << r.names.back();
  folder_listing l;
  ASSERT_TRUE(parse_folder_listing(R"([{"name":"a.b","delimiter":"/"},{"name":"a"}])", l));
  EXPECT_EQ(l.delimiter, '/') << "the library's word wins over a guess";
}
