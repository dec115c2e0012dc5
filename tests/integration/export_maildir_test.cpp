// A folder exported as a Maildir against the loopback Dovecot: the file
// names carry the flags the server holds, the manifest records them, and a
// second run finds every message under its name again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "export_support.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

constexpr const char *k_folder = "Flagged Mail";

struct flagged {
  const char *flags;    // as appended
  const char *letters;  // the name's suffix after ":2,"
};
const flagged k_messages[] = {
    {"\\Seen", "S"},
    {"\\Seen \\Flagged", "FS"},
    {"", ""},
    {"\\Answered \\Draft \\Deleted", "DRT"},
};

// The manifest's "flags" of each line, by UID; a line without the key fails.
std::vector<std::pair<unsigned, std::set<std::string>>> manifest_flags(const std::string &dir) {
  std::vector<std::pair<unsigned, std::set<std::string>>> out;
  for (const std::string &line : split_lines(read_all(dir + "/manifest.jsonl"))) {
    kq::json_doc doc;
    EXPECT_TRUE(doc.parse(line)) << line;
    yyjson_val *f = kq::json_key(doc.root(), "flags");
    EXPECT_TRUE(f && yyjson_is_arr(f)) << line;
    std::set<std::string> flags;
    std::size_t i, n;
    yyjson_val *v;
    if (f && yyjson_is_arr(f)) yyjson_arr_foreach(f, i, n, v) flags.insert(yyjson_get_str(v));
    out.push_back({static_cast<unsigned>(kq::json_num(doc.root(), "uid", 0)), flags});
  }
  return out;
}

std::set<std::string> words(const std::string &text) {
  std::set<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t sp = text.find(' ', i);
    if (sp == std::string::npos) sp = text.size();
    if (sp > i) out.insert(text.substr(i, sp - i));
    i = sp + 1;
  }
  return out;
}

}  // namespace

TEST(ExportMaildir, NamesCarryTheFlagsAndTheManifestRecordsThem) {
  DovecotServer &dv = shared_dovecot();
  ASSERT_TRUE(dv.running()) << dv.start_error();
  std::string user = dv.unique_user("export-maildir");
  ASSERT_TRUE(dv.add_user(user, "pw-maildir"));
  ASSERT_TRUE(dv.create_folder(user, k_folder));
  std::vector<DovecotServer::Message> batch;
  for (std::size_t i = 0; i < std::size(k_messages); ++i)
    batch.push_back({make_message(static_cast<int>(i), 3000, "Maildir " + std::to_string(i)),
                     1700000000 + static_cast<long long>(i) * 86400, k_messages[i].flags});
  std::vector<unsigned> uids = dv.append_many(user, k_folder, batch);
  ASSERT_EQ(uids.size(), std::size(k_messages)) << dv.last_error();
  DovecotServer::Status st;
  ASSERT_TRUE(dv.status(user, k_folder, &st));

  ASSERT_EQ(kq_connect(connect_json(user, "pw-maildir", false).c_str()), 0) << kq_last_error();
  search_all(k_folder, uids.size());
  scratch_dir d;
  const std::filesystem::path root = d.str();
  std::string cfg = config(d.str(), "\"format\":\"maildir\"");
  ASSERT_EQ(kq_export_start(cfg.c_str()), 0) << kq_last_error();
  ASSERT_EQ(wait_end(), 2) << job_error();

  for (const char *sub : {"cur", "new", "tmp"})
    EXPECT_TRUE(std::filesystem::is_directory(root / sub)) << sub;
  std::vector<entry> m = read_manifest(d.str());
  ASSERT_EQ(m.size(), uids.size());
  auto flags = manifest_flags(d.str());
  ASSERT_EQ(flags.size(), uids.size());
  for (std::size_t i = 0; i < uids.size(); ++i) {
    std::string name = "cur/" + std::to_string(batch[i].internal_date) + ".U" + std::to_string(st.uidvalidity) +
                       "_" + std::to_string(uids[i]) + ".kerquill" +
                       // Windows names cannot hold ':'; mail programs there read "!".
                       (kq::plat::windows_file_names() ? "!2," : ":2,") + k_messages[i].letters;
    auto it = std::find_if(m.begin(), m.end(), [&](const entry &e) { return e.uid == uids[i]; });
    ASSERT_NE(it, m.end()) << "uid " << uids[i];
    EXPECT_EQ(it->file, name);
    EXPECT_EQ(read_all(d.file(name)), batch[i].bytes) << name;
    auto f = std::find_if(flags.begin(), flags.end(), [&](const auto &p) { return p.first == uids[i]; });
    ASSERT_NE(f, flags.end());
    EXPECT_EQ(f->second, words(k_messages[i].flags)) << name;
  }
  EXPECT_TRUE(std::filesystem::is_empty(root / "new"));
  EXPECT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();

  // A second run finds every message under its name: nothing is stored again.
  search_all(k_folder, uids.size());
  ASSERT_EQ(kq_export_start(cfg.c_str()), 0) << kq_last_error();
  ASSERT_EQ(wait_end(), 2) << job_error();
  EXPECT_EQ(read_manifest(d.str()).size(), uids.size());
  std::size_t files = 0;
  for (const auto &e : std::filesystem::directory_iterator(root / "cur")) files += e.is_regular_file();
  EXPECT_EQ(files, uids.size());
  kq_disconnect();
}
