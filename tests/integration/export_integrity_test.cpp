// Archive integrity against the loopback Dovecot: a folder deleted and
// created again (new UIDVALIDITY), another folder's archive directory, and
// message files that went missing or were cut between two runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "batch/batch.h"
#include "export/export_job.h"
#include "export_support.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace fs = std::filesystem;

namespace {

constexpr const char *k_pass = "pw-integrity";

// Every file of dir (relative name -> bytes), to show nothing changed.
std::map<std::string, std::string> snapshot(const std::string &dir) {
  std::map<std::string, std::string> out;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = read_all(e.path().string());
  return out;
}

class ExportIntegrity : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dv.running()) << dv.start_error();
    user = dv.unique_user("integrity");
    ASSERT_TRUE(dv.add_user(user, k_pass));
  }
  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    kq_disconnect();
  }
  void connect() {
    ASSERT_EQ(kq_connect(connect_json(user, k_pass, false).c_str()), 0) << kq_last_error();
  }
  std::vector<stored> fill(const std::string &folder, int from, int n) {
    std::vector<std::pair<std::string, long long>> msgs;
    for (int i = from; i < from + n; ++i)
      msgs.push_back({make_message(i, 1500 + 300 * i, folder + " message " + std::to_string(i)),
                      1700000000 + i * 86400});
    return append_all(dv, user, folder, msgs);
  }
  // Deletes and creates the folder again through a second IMAP session
  // (Python's imaplib), as another mail client would.
  void recreate(const std::string &folder) {
    static const char *const script = R"PY(
import imaplib, sys
port, user, pw, box = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
m = imaplib.IMAP4('127.0.0.1', port)
m.login(user, pw)
q = '"' + box + '"'
assert m.delete(q)[0] == 'OK'
assert m.create(q)[0] == 'OK'
m.logout()
print('ok')
)PY";
    platform::RunResult r = platform::run(
        {"python3", "-c", script, std::to_string(dv.plain_port()), user, k_pass, folder}, "", 30000);
    ASSERT_EQ(r.out, "ok\n") << r.err;
  }
  unsigned uidvalidity(const std::string &folder) {
    DovecotServer::Status st;
    EXPECT_TRUE(dv.status(user, folder, &st));
    return st.uidvalidity;
  }

  DovecotServer &dv = shared_dovecot();
  std::string user;
};

}  // namespace

TEST_F(ExportIntegrity, FolderCreatedAgainIsStoredBesideTheEarlierMessagesAndVerified) {
  const std::string folder = "Temp";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<stored> first = fill(folder, 0, 5);
  ASSERT_EQ(first.size(), 5u);
  unsigned uv1 = uidvalidity(folder);
  connect();
  scratch_dir d;
  search_all(folder, 5);
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  auto before = snapshot(d.str());

  // Dovecot ends a session whose selected folder is deleted under it.
  kq_disconnect();
  recreate(folder);
  connect();
  unsigned uv2 = uidvalidity(folder);
  if (uv2 == uv1) {
    // Created within the same second: make the change certain.
    ASSERT_TRUE(dv.set_uidvalidity(user, folder, uv1 + 1000));
    uv2 = uv1 + 1000;
  }
  std::vector<stored> second = fill(folder, 10, 6);
  ASSERT_EQ(second.size(), 6u);
  EXPECT_EQ(second[0].uid, first[0].uid);  // UIDs start again

  search_all(folder, 6);
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  std::string stats = kq_export_stats_json();
  EXPECT_NE(stats.find("\"done\":6,\"total\":6,"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"recreated\":true"), std::string::npos) << stats;
  // Not one earlier file was changed or removed.
  auto after = snapshot(d.str());
  for (const auto &[name, bytes] : before) {
    if (name == "manifest.jsonl" || name == "resume.json") continue;
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_EQ(after[name], bytes) << name;
  }
  // The manifest keeps the old lines, in front, and gains the new ones.
  std::string old_manifest = before["manifest.jsonl"];
  EXPECT_EQ(after["manifest.jsonl"].substr(0, old_manifest.size()), old_manifest);
  std::vector<entry> m = read_manifest(d.str());
  ASSERT_EQ(m.size(), 11u);
  for (std::size_t i = 0; i < 6; ++i) {
    const entry &e = m[5 + i];
    EXPECT_EQ(e.uid, second[i].uid);
    EXPECT_EQ(e.file, "uid-" + std::to_string(second[i].uid) + ".v" + std::to_string(uv2) + ".eml");
    EXPECT_EQ(read_all(d.file(e.file)), second[i].raw);
  }
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(read_all(d.file(m[i].file)), first[i].raw);
  ASSERT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();
  std::string report = kq_verify_report_json();
  EXPECT_NE(report.find("{\"ok\":11,\"missing\":0,\"corrupt\":0,\"total\":11,"), std::string::npos)
      << report;
  EXPECT_NE(report.find("\"intact\":true"), std::string::npos) << report;
  EXPECT_NE(read_all(d.file("resume.json")).find("\"uidvalidity\":" + std::to_string(uv2)),
            std::string::npos);

  // The next run finds everything stored and nothing re-created.
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  stats = kq_export_stats_json();
  EXPECT_NE(stats.find("\"done\":0,\"total\":0,"), std::string::npos) << stats;
  EXPECT_EQ(stats.find("recreated"), std::string::npos) << stats;
  EXPECT_EQ(read_manifest(d.str()).size(), 11u);
}

TEST_F(ExportIntegrity, ArchiveWrittenBeforeUidvalidityWasRecordedAdoptsTheCurrentOne) {
  const std::string folder = "Older";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<stored> msgs = fill(folder, 0, 4);
  connect();
  scratch_dir d;
  search_all(folder, 4);
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  // Take the records back to what an earlier version wrote.
  auto strip = [](std::string text) {
    for (std::size_t p; (p = text.find(",\"uidvalidity\":")) != std::string::npos;)
      text.erase(p, text.find_first_of(",}", p + 1) - p);
    for (std::size_t p; (p = text.find(",\"base_uidvalidity\":")) != std::string::npos;)
      text.erase(p, text.find_first_of(",}", p + 1) - p);
    return text;
  };
  write_all(d.file("manifest.jsonl"), strip(read_all(d.file("manifest.jsonl"))));
  write_all(d.file("resume.json"), strip(read_all(d.file("resume.json"))));
  ASSERT_EQ(read_all(d.file("resume.json")).find("uidvalidity"), std::string::npos);
  std::vector<stored> more = fill(folder, 4, 1);
  msgs.push_back(more[0]);
  search_all(folder, 5);
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  std::string stats = kq_export_stats_json();
  EXPECT_NE(stats.find("\"done\":1,\"total\":1,"), std::string::npos) << stats;
  EXPECT_EQ(stats.find("recreated"), std::string::npos) << stats;
  EXPECT_NE(read_all(d.file("resume.json")).find("\"uidvalidity\":" + std::to_string(uidvalidity(folder))),
            std::string::npos);
  expect_archive(d.str(), folder, msgs);
}

TEST_F(ExportIntegrity, AnotherFoldersArchiveDirectoryIsRefusedAndLeftAsItWas) {
  ASSERT_TRUE(dv.create_folder(user, "Sent"));
  fill("INBOX", 0, 3);
  fill("Sent", 20, 3);
  connect();
  scratch_dir d;
  search_all("INBOX", 3);
  ASSERT_EQ(run_export(config(d.str(), "\"format\":\"eml+mbox\"")), 2) << kq_last_error();
  auto before = snapshot(d.str());
  search_all("Sent", 3);
  for (const char *extra : {"", "\"resume\":0", "\"manifest\":0"}) {
    SCOPED_TRACE(extra);
    EXPECT_EQ(kq_export_start(config(d.str(), extra).c_str()), -1);
    std::string err = kq_last_error();
    EXPECT_NE(err.find("\"INBOX\""), std::string::npos) << err;
    EXPECT_NE(err.find("\"Sent\""), std::string::npos) << err;
    EXPECT_EQ(snapshot(d.str()), before);
  }
  // Without resume.json the manifest still tells whose archive it is.
  fs::remove(d.file("resume.json"));
  before = snapshot(d.str());
  EXPECT_EQ(kq_export_start(config(d.str()).c_str()), -1);
  EXPECT_NE(std::string(kq_last_error()).find("\"INBOX\""), std::string::npos) << kq_last_error();
  EXPECT_EQ(snapshot(d.str()), before);
}

TEST_F(ExportIntegrity, MissingAndCutFilesAreFetchedAgainOnResume) {
  const std::string folder = "Repair";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<stored> msgs = fill(folder, 0, 8);
  connect();
  scratch_dir d;
  search_all(folder, 8);
  for (bool manifest : {true, false}) {
    SCOPED_TRACE(manifest ? "with manifest" : "without manifest");
    std::string cfg = config(d.str(), manifest ? "" : "\"manifest\":0");
    ASSERT_EQ(run_export(cfg), 2) << kq_last_error();
    std::string gone = d.file("uid-" + std::to_string(msgs[6].uid) + ".eml");
    std::string cut = d.file("uid-" + std::to_string(msgs[2].uid) + ".eml");
    fs::remove(gone);
    fs::resize_file(cut, 100);
    ASSERT_EQ(run_export(cfg), 2) << kq_last_error();
    std::string stats = kq_export_stats_json();
    EXPECT_NE(stats.find("\"done\":2,\"total\":2,"), std::string::npos) << stats;
    EXPECT_EQ(read_all(gone), msgs[6].raw);
    EXPECT_EQ(read_all(cut), msgs[2].raw);
    // The cut copy is kept aside, not deleted.
    EXPECT_EQ(read_all(cut + ".damaged"), msgs[2].raw.substr(0, 100));
    fs::remove(cut + ".damaged");
  }
  expect_archive(d.str(), folder, msgs);
}

TEST_F(ExportIntegrity, AFileWithOtherBytesIsNeverReplaced) {
  const std::string folder = "Keep";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<stored> msgs = fill(folder, 0, 3);
  connect();
  search_all(folder, 3);
  std::string name = "uid-" + std::to_string(msgs[1].uid) + ".eml";
  {
    // No manifest lists the archive's files: an unknown file at a message's
    // name may be an archived message, and stays as it is.
    scratch_dir d;
    write_all(d.file(name), "someone else's message\r\n");
    ASSERT_EQ(run_export(config(d.str(), "\"manifest\":0")), 4);
    EXPECT_NE(job_error().find(name + " already holds a different message"), std::string::npos)
        << kq_export_stats_json();
    EXPECT_EQ(read_all(d.file(name)), "someone else's message\r\n");
  }
  {
    // The manifest lists every archived file and not this one: it is the
    // torn file of a run stopped mid-write, moved aside, never deleted.
    scratch_dir d;
    ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
    std::string line = split_lines(read_all(d.file("manifest.jsonl")))[1];
    std::string manifest = read_all(d.file("manifest.jsonl"));
    manifest.erase(manifest.find(line), line.size());
    write_all(d.file("manifest.jsonl"), manifest);
    write_all(d.file("resume.json"), "{\"folder\":\"Keep\",\"completed\":[" +
                                         std::to_string(msgs[0].uid) + "," +
                                         std::to_string(msgs[2].uid) + "]}");
    write_all(d.file(name), msgs[1].raw.substr(0, 50));
    ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
    EXPECT_EQ(read_all(d.file(name)), msgs[1].raw);
    EXPECT_EQ(read_all(d.file(name + ".damaged")), msgs[1].raw.substr(0, 50));
  }
}

TEST_F(ExportIntegrity, FolderNameOfAThousandBytesWorksEndToEnd) {
  // Five levels of 200 characters: longer than any one directory name, so
  // the server stores it as nested directories.
  std::string folder;
  for (int i = 0; i < 5; ++i) {
    if (i) folder += '/';
    folder += std::string(1, static_cast<char>('A' + i)) + " \"q\" " + std::string(194, 'x');
  }
  ASSERT_GE(folder.size(), 1000u);
  ASSERT_TRUE(dv.create_folder(user, folder)) << dv.last_error();
  std::vector<stored> msgs = fill(folder, 0, 2);
  ASSERT_EQ(msgs.size(), 2u);
  connect();
  search_all(folder, 2);
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  expect_archive(d.str(), folder, msgs);
  EXPECT_NE(read_all(d.file("resume.json")).find(json_quote(folder)), std::string::npos);

  std::string probe = kq_probe_folder(folder.c_str());
  kq::json_doc doc;
  ASSERT_TRUE(doc.parse(probe)) << probe;
  EXPECT_STREQ(kq::json_str(doc.root(), "folder"), folder.c_str());
  EXPECT_EQ(kq::json_num(doc.root(), "total_messages", -1), 2);

  scratch_dir b;
  std::string cfg = "{\"dir\":" + json_quote(b.str()) + ",\"folders\":[" + json_quote(folder) + "]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  ASSERT_TRUE(wait_for([] { return std::string(kq_export_all_status_json()).rfind("{\"state\":1,", 0) != 0; }, 60000));
  std::string st = kq_export_all_status_json();
  EXPECT_EQ(st.rfind("{\"state\":2,\"folder_idx\":0,\"done_folders\":1,", 0), 0u) << st;
  ASSERT_EQ(kq::the_batch().folder_count, 1);
  EXPECT_EQ(std::string(kq::the_batch().folders[0]), folder);
  expect_archive(b.str() + "/" + kq::the_batch().subdirs[0], folder, msgs, true);  // dated by default
}

// The archive's file system fills up during a run: the job fails with the
// system's reason, what it stored is whole and listed, and once there is room
// again the next run stores the rest, each message once, and verifies.
TEST_F(ExportIntegrity, FullFileSystemFailsTheRunAndTheNextRunCompletesIt) {
  scratch_dir d;
  const std::string small = d.str() + "/small";
  fs::create_directories(small);
  // 96 KB holds about a third of the folder below.
  platform::RunResult m =
      platform::run({"mount", "-t", "tmpfs", "-o", "size=96k,mode=0700", "kq-full", small}, "", 10000);
  if (m.exit_code != 0) GTEST_SKIP() << "no small tmpfs can be mounted here: " << m.err << m.error;
  struct unmount_at_end {
    std::string dir;
    ~unmount_at_end() { platform::run({"umount", "-l", dir}, "", 10000); }
  } unmount{small};

  const std::string folder = "Full";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<std::pair<std::string, long long>> in;
  for (int i = 0; i < 30; ++i)
    in.push_back({make_message(i, 8000, "full " + std::to_string(i)), 1700000000 + i * 60});
  std::vector<stored> msgs = append_all(dv, user, folder, in);
  ASSERT_EQ(msgs.size(), 30u);
  connect();
  search_all(folder, 30);
  const std::string cfg = config(small, "\"format\":\"eml+mbox\"");
  ASSERT_EQ(run_export(cfg), 4);
  std::string err = job_error();
  EXPECT_EQ(err.rfind("cannot write " + small + "/", 0), 0u) << err;

  // Every message the manifest lists is whole; the run stored some, not all.
  std::vector<entry> part = read_manifest(small);
  EXPECT_LT(part.size(), 30u);
  for (const entry &e : part) {
    EXPECT_EQ(e.size, static_cast<long long>(read_all(small + "/" + e.file).size())) << e.file;
    EXPECT_EQ(e.sha256, sha256sum(small + "/" + e.file)) << e.file;
  }

  ASSERT_EQ(platform::run({"mount", "-o", "remount,size=4m", small}, "", 10000).exit_code, 0);
  ASSERT_EQ(run_export(cfg), 2) << kq_last_error();
  expect_archive(small, folder, msgs);
  EXPECT_EQ(python_mbox_check(small), "ok 30\n");
  ASSERT_EQ(kq_verify_dir(small.c_str()), 0) << kq_last_error();
  std::string report = kq_verify_report_json();
  EXPECT_NE(report.find("\"intact\":true"), std::string::npos) << report;
}
