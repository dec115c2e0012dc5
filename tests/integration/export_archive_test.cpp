// Exports against the loopback Dovecot, every archive file checked by means
// independent of the library: the server's own bytes, sha256sum, Python's
// mailbox module and s-nail.
#include <gtest/gtest.h>

#include <thread>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "support/result_rows.h"
#include "export/export_job.h"
#include "export_support.h"
#include "support/platform/file_limit.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

// 1996-07-17 09:44:25 UTC and later dates across months and years.
constexpr long long k_dates[] = {837596665,  1672704000, 1709164800, 1709251200,
                                 1577836799, 1577836800, 1700000000, 1600000000,
                                 1650000000, 1234567890, 1400000000, 1500000000};

class ExportArchive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DovecotServer &dv = shared_dovecot();
    if (!dv.running()) return;
    user_ = dv.unique_user("export-archive");
    ASSERT_TRUE(dv.add_user(user_, "pw-archive"));
    ASSERT_TRUE(dv.create_folder(user_, k_folder));
    std::vector<std::pair<std::string, long long>> msgs;
    for (int i = 0; i < 12; ++i) {
      std::string subject = "Message " + std::to_string(i);
      std::string from;
      bool crlf = true;
      std::size_t size = 2000 + 1500 * i;
      if (i == 0) {
        subject = "Gr\xfc\xdf" "e in Latin-1";  // not UTF-8
        from = "J\xf6rg <joerg@example.org>";
      }
      if (i == 1) crlf = false;
      if (i == 2) from = "Undisclosed recipients";
      if (i == 3) size = 40000;
      if (i == 4) subject = "Gr\xc3\xbc\xc3\x9f" "e in UTF-8 \"quoted\" \\";
      std::string raw = make_message(i, size, subject, crlf, from);
      if (i == 5) raw += "From ";  // a last line of just "From ", no line end
      msgs.push_back({raw, k_dates[i]});
    }
    msgs_ = append_all(dv, user_, k_folder, msgs);
    ASSERT_EQ(msgs_.size(), 12u);
  }

  void SetUp() override {
    DovecotServer &dv = shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(msgs_.size(), 12u);
    ASSERT_EQ(kq_connect(connect_json(user_, "pw-archive", false).c_str()), 0) << kq_last_error();
    search_all(k_folder, msgs_.size());
  }

  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    // The next suite (the order differs between linkers) starts with no session.
    kq_disconnect();
  }

  static constexpr const char *k_folder = "Archive \"Test\"";
  static std::string user_;
  static std::vector<stored> msgs_;
};

std::string ExportArchive::user_;
std::vector<stored> ExportArchive::msgs_;

std::size_t count_lines(const std::string &path) { return split_lines(read_all(path)).size(); }

}  // namespace

TEST_F(ExportArchive, FlatLayoutHoldsTheServersBytesWithMatchingDigests) {
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  expect_archive(d.str(), k_folder, msgs_);
  EXPECT_FALSE(std::filesystem::exists(d.file("all.mbox")));
  // Raw header bytes that are not UTF-8 come back as \u00XX; UTF-8 stays.
  std::vector<entry> m = read_manifest(d.str());
  EXPECT_EQ(m[0].subject, "Gr\xc3\xbc\xc3\x9f" "e in Latin-1");
  EXPECT_EQ(m[0].from, "J\xc3\xb6rg <joerg@example.org>");
  EXPECT_EQ(m[4].subject, "Gr\xc3\xbc\xc3\x9f" "e in UTF-8 \"quoted\" \\");
  EXPECT_NE(read_all(d.file("manifest.jsonl")).find("\"subject\":\"Gr\\u00fc\\u00dfe in Latin-1\""),
            std::string::npos);
  // Every stored UID, ascending; last_uid the highest.
  DovecotServer::Status st;
  ASSERT_TRUE(shared_dovecot().status(user_, k_folder, &st));
  std::string uv = std::to_string(st.uidvalidity);
  std::string want = "{\"folder\":\"Archive \\\"Test\\\"\",\"uidvalidity\":" + uv +
                     ",\"base_uidvalidity\":" + uv + ",\"last_uid\":" +
                     std::to_string(msgs_.back().uid) + ",\"done\":12,\"total\":12,\"completed\":[";
  for (std::size_t i = 0; i < msgs_.size(); ++i) want += (i ? "," : "") + std::to_string(msgs_[i].uid);
  // Dovecot offers CONDSTORE: the folder's HIGHESTMODSEQ is recorded too.
  std::string resume = read_all(d.file("resume.json"));
  std::size_t ms = resume.find(",\"highestmodseq\":");
  ASSERT_NE(ms, std::string::npos) << resume;
  EXPECT_GT(std::stoull(resume.substr(ms + 17)), 0u) << resume;
  resume.erase(ms, resume.find(',', ms + 1) - ms);
  EXPECT_EQ(resume, want + "]}");
  EXPECT_STREQ(kq_export_stats_json(),
               ("{\"done\":12,\"total\":12,\"bytes\":" + std::to_string([] {
                  long long b = 0;
                  for (const stored &s : msgs_) b += static_cast<long long>(s.raw.size());
                  return b;
                }()) + ",\"eta_s\":0,\"speed_bps\":" +
                std::to_string(kq::export_record().speed_bps.load()) + ",\"state\":\"done\"}")
                   .c_str());
  EXPECT_EQ(kq_export_progress(), 1.0);
  EXPECT_STREQ(kq_export_current(), "");
}

TEST_F(ExportArchive, EveryNamingWithYyyyGivesTheDatedLayout) {
  for (const char *naming : {"YYYY\\\\MM\\\\uid", "yyyy", "by-Yyyy-month"}) {
    SCOPED_TRACE(naming);
    scratch_dir d;
    ASSERT_EQ(run_export(config(d.str(), std::string("\"naming\":\"") + naming + "\"")), 2)
        << kq_last_error();
    expect_archive(d.str(), k_folder, msgs_, true);
    EXPECT_TRUE(std::filesystem::exists(d.file("1996-07/uid-" + std::to_string(msgs_[0].uid) + ".eml")));
  }
  scratch_dir flat;
  ASSERT_EQ(run_export(config(flat.str(), "\"naming\":\"MM\\\\uid\"")), 2);
  expect_archive(flat.str(), k_folder, msgs_, false);
}

TEST_F(ExportArchive, MboxIsReadByPythonAndSnailMessageForMessage) {
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str(), "\"format\":\"eml+mbox\"")), 2) << kq_last_error();
  expect_archive(d.str(), k_folder, msgs_);
  EXPECT_EQ(python_mbox_check(d.str()), "ok 12\n");
  EXPECT_EQ(snail_count(d.str()), 12);
  std::string mbox = read_all(d.file("all.mbox"));
  EXPECT_EQ(mbox.rfind("From joerg@example.org ", 0), 0u);
  EXPECT_NE(mbox.find("\r\nFrom unknown "), std::string::npos);
  // The message without a final line end is closed before the empty line.
  EXPECT_NE(mbox.find("Last line of 1\r\n\r\nFrom unknown "), std::string::npos);
  EXPECT_EQ(mbox.find("\r\nFrom the desk"), std::string::npos);
  EXPECT_NE(mbox.find("\r\n>From the desk"), std::string::npos);
  EXPECT_NE(mbox.find("\r\n>From \r\n\r\n"), std::string::npos);

  scratch_dir upper;
  ASSERT_EQ(run_export(config(upper.str(), "\"format\":\"MBOX\"")), 2);
  EXPECT_FALSE(std::filesystem::exists(upper.file("all.mbox")));
  EXPECT_EQ(count_lines(upper.file("manifest.jsonl")), 12u);
}

TEST_F(ExportArchive, ResumeOffEmptiesTheManifestFirstAndManifestOffLeavesIt) {
  scratch_dir d;
  std::string old = "{\"uid\":999999,\"file\":\"x.eml\"}\nnot json\n";
  write_all(d.file("manifest.jsonl"), old);
  ASSERT_EQ(run_export(config(d.str(), "\"manifest\":0")), 2);
  EXPECT_EQ(read_all(d.file("manifest.jsonl")), old);
  std::filesystem::remove(d.file("resume.json"));
  ASSERT_EQ(run_export(config(d.str(), "\"resume\":0")), 2);
  expect_archive(d.str(), k_folder, msgs_);
  // Resume off does not write resume.json either.
  EXPECT_FALSE(std::filesystem::exists(d.file("resume.json")));
  // true and 0.9 are off as well, 2 is on.
  ASSERT_EQ(run_export(config(d.str(), "\"resume\":true")), 2);
  EXPECT_EQ(kq::export_record().total.load(), 12u);
  ASSERT_EQ(run_export(config(d.str(), "\"resume\":0.9")), 2);
  EXPECT_EQ(kq::export_record().total.load(), 12u);
  ASSERT_EQ(run_export(config(d.str(), "\"resume\":2")), 2);
  EXPECT_TRUE(std::filesystem::exists(d.file("resume.json")));
  ASSERT_EQ(run_export(config(d.str(), "\"resume\":2")), 2);
  EXPECT_EQ(kq::export_record().total.load(), 0u);
  expect_archive(d.str(), k_folder, msgs_);
}

TEST_F(ExportArchive, ResumeSkipsExactlyTheUidsTheArchiveHolds) {
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str())), 2);
  // The archive lost two messages; resume.json still names the highest UID.
  unsigned gone1 = msgs_[3].uid, gone2 = msgs_[7].uid;
  std::string list;
  for (const stored &s : msgs_)
    if (s.uid != gone1 && s.uid != gone2) list += (list.empty() ? "" : ",") + std::to_string(s.uid);
  write_all(d.file("resume.json"), "{\"folder\":" + json_quote(k_folder) + ",\"last_uid\":" +
                                       std::to_string(msgs_.back().uid) + ",\"completed\":[" + list + "]}");
  std::filesystem::remove(d.file("uid-" + std::to_string(gone1) + ".eml"));
  std::filesystem::remove(d.file("uid-" + std::to_string(gone2) + ".eml"));
  ASSERT_EQ(run_export(config(d.str())), 2);
  EXPECT_EQ(kq::export_record().total.load(), 2u);
  EXPECT_EQ(kq::export_record().done.load(), 2u);
  expect_archive(d.str(), k_folder, msgs_);
}

TEST_F(ExportArchive, TornManifestLineIsDroppedByTheNextJob) {
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str())), 2);
  std::string good = read_all(d.file("manifest.jsonl"));
  // A crash cut the last line short.
  std::string torn = good + good.substr(0, 57);
  write_all(d.file("manifest.jsonl"), torn);
  std::vector<std::string> lines = split_lines(torn);
  std::size_t parsed = 0;
  for (const std::string &l : lines) {
    kq::json_doc doc;
    parsed += doc.parse(l);
  }
  EXPECT_EQ(parsed, 12u);
  // Verification finds every message whole and reports the torn line.
  ASSERT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();
  EXPECT_STREQ(kq_verify_report_json(), "{\"ok\":12,\"missing\":0,\"corrupt\":0,\"total\":12,\"files\":[],\"unreadable_lines\":1,\"duplicates\":0,\"unlisted\":0,\"resume\":\"read\",\"intact\":false,\"bad_lines\":[13],\"duplicate_uids\":[],\"unlisted_uids\":[]}");
  ASSERT_EQ(run_export(config(d.str())), 2);
  EXPECT_EQ(kq::export_record().total.load(), 0u);
  EXPECT_EQ(read_all(d.file("manifest.jsonl")), good);
  expect_archive(d.str(), k_folder, msgs_);
}

TEST_F(ExportArchive, ArchiveRootPutsTheArchiveWhereTheBatchWouldAndNamesIt) {
  scratch_dir d;
  // The batch's name for the folder: its '"' as '_'.
  const std::string dir = d.str() + "/Archive _Test_";
  ASSERT_EQ(run_export("{\"archive_root\":" + json_quote(d.str() + "/") + "}"), 2) << kq_last_error();
  expect_archive(dir, k_folder, msgs_);
  std::string stats = kq_export_stats_json();
  EXPECT_NE(stats.find(",\"dir\":" + json_quote(dir)), std::string::npos) << stats;
  // Only the root was the host's: with "dir" the stats name none.
  ASSERT_EQ(run_export(config(dir, "\"archive_root\":\"elsewhere\"")), 2);
  EXPECT_EQ(std::string(kq_export_stats_json()).find("\"dir\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists("elsewhere"));

  EXPECT_EQ(kq_export_start(("{\"archive_root\":\"" + std::string(4090, 'r') + "\"}").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "dir too long");
}

TEST_F(ExportArchive, StartRefusalsUseTheirTexts) {
  scratch_dir d;
  EXPECT_EQ(kq_export_start("{}"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing dir");
  EXPECT_EQ(kq_export_status(), 0);
  EXPECT_EQ(kq_export_start("{\"dir\":5}"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing dir");
  EXPECT_EQ(kq_export_start("[\"dir\"]"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing dir");
  EXPECT_EQ(kq_export_start("{\"dir\":"), -1);
  EXPECT_STREQ(kq_last_error(), "invalid export config JSON");
  EXPECT_EQ(kq_export_status(), 0);
  EXPECT_STREQ(kq_export_stats_json(), "{\"done\":0,\"total\":0,\"bytes\":0,\"eta_s\":0,\"speed_bps\":0,\"state\":\"idle\"}");
  kq::search_result_ptr found = kq::current_result();
  kq::clear_result(found->folder());
  EXPECT_EQ(kq_export_start(config(d.str()).c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "no search results \xe2\x80\x94 call kq_search first");
  kq::install_result(found);
  kq_disconnect();
  EXPECT_EQ(kq_export_start(config(d.str()).c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  ASSERT_EQ(kq_connect(connect_json(user_, "pw-archive", false).c_str()), 0);
  // One trailing backslash is dropped from the directory.
  std::string with_bs = config(d.str() + "/archive\\");
  ASSERT_EQ(run_export(with_bs), 2);
  EXPECT_EQ(count_lines(d.file("archive/manifest.jsonl")), 12u);
  EXPECT_STREQ(kq_last_error(), "");
}

TEST_F(ExportArchive, ExpungedMessageIsSkippedAndCountedAsVanished) {
  DovecotServer &dv = shared_dovecot();
  const std::string folder = "Expunged";
  ASSERT_TRUE(dv.create_folder(user_, folder));
  std::vector<std::pair<std::string, long long>> in;
  for (int i = 0; i < 5; ++i) in.push_back({make_message(50 + i, 3000, "row " + std::to_string(i)), 1600000000});
  std::vector<stored> rows = append_all(dv, user_, folder, in);
  ASSERT_EQ(rows.size(), 5u);
  search_all(folder, 5);
  // Gone after the search: the fourth row has no message any more. The job
  // goes on with the others and ends done, naming the count.
  unsigned gone = rows[3].uid;
  ASSERT_TRUE(dv.expunge(user_, folder, gone));
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  std::string stats = kq_export_stats_json();
  EXPECT_NE(stats.find("\"vanished\":1}"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"done\":4,\"total\":4"), std::string::npos) << stats;
  for (const entry &e : read_manifest(d.str())) EXPECT_NE(e.uid, gone);
  rows.erase(rows.begin() + 3);
  expect_archive(d.str(), folder, rows);
  EXPECT_FALSE(std::filesystem::exists(d.file("uid-" + std::to_string(gone) + ".eml")));
  // A later job finds nothing left to do.
  search_all(folder, 4);
  ASSERT_EQ(run_export(config(d.str())), 2);
  expect_archive(d.str(), folder, rows);
}

TEST_F(ExportArchive, CancelledJobIsCompletedByTheNextWithEveryMessageOnce) {
  scratch_dir d;
  std::string cfg = config(d.str(), "\"format\":\"eml+mbox\"");
  ASSERT_EQ(kq_export_start(cfg.c_str()), 0);
  // Stop at a row boundary partway: pause, wait for it, cancel.
  // A loaded machine may let the job end before the pause is seen.
  ASSERT_EQ(kq_export_pause(), 0);
  ASSERT_TRUE(wait_for([] { return kq_export_status() != 1; }));
  if (kq_export_status() == 3) {
    EXPECT_EQ(kq_export_start(cfg.c_str()), -1);
    EXPECT_STREQ(kq_last_error(), "export already running");
    ASSERT_EQ(kq_export_resume(), 0);
  }
  ASSERT_TRUE(wait_for([] { return kq::export_record().done.load() >= 1 || kq_export_status() != 1; }));
  kq_export_cancel();
  int st = wait_end();
  ASSERT_TRUE(st == 3 || st == 2);
  std::size_t first = count_lines(d.file("manifest.jsonl"));
  EXPECT_EQ(first, kq::export_record().done.load());
  ASSERT_EQ(run_export(cfg), 2);
  // resume.json may lag the cancelled job by up to two seconds of work: those are
  // stored again, but the archive still ends with each message once.
  EXPECT_GE(kq::export_record().done.load(), 12u - std::min<std::size_t>(first, 12));
  expect_archive(d.str(), k_folder, msgs_);
  EXPECT_EQ(python_mbox_check(d.str()), "ok 12\n");
}

TEST_F(ExportArchive, PauseWaitsForTheMessageInHandAndCancelEndsAPause) {
  DovecotServer &dv = shared_dovecot();
  const std::string folder = "Big";
  ASSERT_TRUE(dv.create_folder(user_, folder));
  std::string big = make_message(100, 16u << 20, "sixteen megabytes");
  std::vector<stored> rows =
      append_all(dv, user_, folder, {{big, 1650000000}, {msgs_[0].raw, 1}, {msgs_[1].raw, 2}});
  ASSERT_EQ(rows.size(), 3u);
  unsigned big_uid = rows[0].uid;
  search_all(folder, 3);
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str(), "\"format\":\"mbox\"").c_str()), 0);
  std::string mark = "uid=" + std::to_string(big_uid);
  ASSERT_TRUE(wait_for([&] { return std::string(kq_export_current()).find(mark) != std::string::npos; }));
  ASSERT_EQ(kq_export_pause(), 0);
  // What is on its way is stored first (the big message among it); then the
  // job pauses, and nothing more is stored while it holds.
  ASSERT_TRUE(wait_for([] { return kq_export_status() == 3; }));
  EXPECT_EQ(kq_export_pause(), -1);
  std::vector<entry> m = read_manifest(d.str());
  ASSERT_GE(m.size(), 1u);
  bool has_big = false;
  for (const entry &e : m)
    if (e.uid == big_uid) has_big = read_all(d.file(e.file)) == big;
  EXPECT_TRUE(has_big);
  std::string stats = kq_export_stats_json();
  EXPECT_EQ(stats.rfind("{\"done\":" + std::to_string(m.size()) + ",\"total\":3,", 0), 0u) << stats;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(read_manifest(d.str()).size(), m.size());
  EXPECT_EQ(kq::export_record().active.load(), 1u);
  // A paused job still owns the session: every call that would talk to the
  // server is refused at once, the job's connection untouched.
  EXPECT_EQ(kq_fetch(0), -1);
  EXPECT_STREQ(kq_last_error(), "kq_fetch: an export is running; wait for it or cancel it first");
  EXPECT_STREQ(kq_folders_json(), "");
  EXPECT_NE(std::strstr(kq_last_error(), "an export is running"), nullptr);
  EXPECT_STREQ(kq_probe_folder(folder.c_str()), "");
  EXPECT_EQ(kq_search(folder.c_str(), nullptr), -1);
  EXPECT_EQ(kq_search_count(), 3);
  EXPECT_EQ(kq_status(), 2);

  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(kq_export_cancel(), 0);
  ASSERT_TRUE(wait_for([] { return kq::export_record().active.load() == 0; }, 2000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  EXPECT_EQ(kq_export_status(), 3);
  EXPECT_EQ(kq_export_resume(), -1);
  EXPECT_EQ(kq_export_cancel(), -1);
  EXPECT_EQ(read_manifest(d.str()).size(), m.size());
  EXPECT_EQ(python_mbox_check(d.str()), "ok " + std::to_string(m.size()) + "\n");
  // The record is free again.
  ASSERT_EQ(run_export(config(d.str())), 2);
  expect_archive(d.str(), folder, rows);
}

TEST_F(ExportArchive, FolderThatCannotBeOpenedEndsInErrorWithItsReason) {
  kqtest::put_rows("No such folder", kq::current_result()->rows());
  scratch_dir d;
  ASSERT_EQ(run_export(config(d.str() + "/never")), 4);
  EXPECT_TRUE(job_error().starts_with("cannot open mailbox No such folder: Mailbox doesn't exist"))
      << kq_export_stats_json();
  EXPECT_FALSE(std::filesystem::exists(d.file("never")));
}

TEST_F(ExportArchive, ManifestThatCannotBeWrittenFailsTheJobInsteadOfDroppingLines) {
  if (!kqtest::file_size_limit::supported()) GTEST_SKIP() << "no per-process file size limit on this system";
  scratch_dir d;
  // An archive of 300 earlier messages, listed in resume.json and the
  // manifest, so the manifest is far larger than any message file.
  std::string list, old;
  for (unsigned uid = 900001; uid <= 900300; ++uid) {
    list += (list.empty() ? "" : ",") + std::to_string(uid);
    old += "{\"uid\":" + std::to_string(uid) + ",\"folder\":" + json_quote(k_folder) +
           ",\"file\":\"uid-" + std::to_string(uid) + ".eml\",\"sha256\":\"" + std::string(64, '0') +
           "\",\"size\":1,\"from\":\"\",\"subject\":\"" + std::string(200, 's') +
           "\",\"date\":\"\",\"ts\":-1}\n";
    // Its files are there with the size the lines give, so the lines stay.
    write_all(d.file("uid-" + std::to_string(uid) + ".eml"), "x");
  }
  write_all(d.file("resume.json"),
            "{\"folder\":" + json_quote(k_folder) + ",\"last_uid\":0,\"completed\":[" + list + "]}");
  write_all(d.file("manifest.jsonl"), old);
  int state;
  {
    // The disk fills after about two more manifest lines.
    file_size_limit full(static_cast<long long>(old.size()) + 700);
    state = run_export(config(d.str()));
  }
  EXPECT_EQ(state, 4);
  EXPECT_NE(job_error().find("cannot write " + d.str() + "/manifest.jsonl"), std::string::npos)
      << kq_export_stats_json();
  // Only whole lines, one per message counted as stored.
  std::vector<entry> m = read_manifest(d.str());
  std::size_t done = kq::export_record().done.load();
  EXPECT_GE(done, 1u);
  EXPECT_LT(done, 12u);
  ASSERT_EQ(m.size(), 300u + done);
  EXPECT_EQ(read_all(d.file("manifest.jsonl")).substr(0, old.size()), old);
  // With room again the next job completes the archive.
  ASSERT_EQ(run_export(config(d.str())), 2);
  EXPECT_EQ(read_manifest(d.str()).size(), 312u);
}
