// Restores an exported folder into another folder of a real Dovecot: the
// round trip keeps bytes, INTERNALDATEs and flags; a second run, a run after
// a killed one, and a run over tampered files never put a message there
// twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include <yyjson.h>

#include "export_support.h"
#include "restore/restore_job.h"
#include "support/platform/child_process.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

const char *env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

// What a message is after a round trip: its bytes, INTERNALDATE and flags.
struct shape {
  std::string sha256;
  long long ts = 0;
  std::string flags;  // sorted, space-separated
  bool operator<(const shape &o) const {
    return std::tie(sha256, ts, flags) < std::tie(o.sha256, o.ts, o.flags);
  }
  bool operator==(const shape &o) const { return sha256 == o.sha256 && ts == o.ts && flags == o.flags; }
};

std::vector<shape> shapes(const std::string &dir) {
  std::vector<shape> out;
  for (const std::string &line : split_lines(read_all(dir + "/manifest.jsonl"))) {
    kq::json_doc doc;
    if (!doc.parse(line)) continue;
    shape s;
    const char *sha = kq::json_str(doc.root(), "sha256");
    s.sha256 = sha ? sha : "";
    s.ts = kq::json_num(doc.root(), "ts", 0);
    std::vector<std::string> flags;
    if (yyjson_val *f = kq::json_key(doc.root(), "flags")) {
      std::size_t i, n;
      yyjson_val *v;
      yyjson_arr_foreach(f, i, n, v) flags.emplace_back(yyjson_get_str(v));
    }
    std::sort(flags.begin(), flags.end());
    for (const std::string &f : flags) s.flags += (s.flags.empty() ? "" : " ") + f;
    out.push_back(s);
  }
  std::sort(out.begin(), out.end());
  return out;
}

int wait_restore(int ms = 120000) {
  wait_for([] { return kq::restore_record().active.load() == 0; }, ms);
  return kq_restore_status();
}

long long stat_of(const char *key) {
  kq::json_doc doc;
  if (!doc.parse(kq_export_stats_json())) return -1;
  return kq::json_num(doc.root(), key, -1);
}

std::string restore_config(const std::string &dir, const std::string &folder) {
  return "{\"dir\":" + json_quote(dir) + ",\"folder\":" + json_quote(folder) + "}";
}

struct restore_env {
  DovecotServer *dv = nullptr;
  std::string user, pass = "pw-restore";
  std::vector<stored> msgs;
  scratch_dir work;
  std::string archive;
  // The exported folder: its name for doveadm (UTF-8) and as the server
  // lists it.
  std::string source = "Source", source_wire = "Source";

  // A folder of `n` messages with flags and dates of their own, exported;
  // with `big`, the second message is that many bytes.
  void make(const std::string &hint, int n, std::size_t big = 0) {
    dv = &shared_dovecot();
    ASSERT_TRUE(dv->running()) << dv->start_error();
    user = dv->unique_user(hint);
    ASSERT_TRUE(dv->add_user(user, pass));
    ASSERT_TRUE(dv->create_folder(user, source));
    std::vector<DovecotServer::Message> in;
    const char *flag_sets[] = {"", "\\Seen", "\\Seen \\Flagged", "\\Answered", "\\Draft \\Seen"};
    for (int i = 0; i < n; ++i) {
      std::string body = make_message(i, 500 + (i * 733) % 9000, "restore " + std::to_string(i));
      in.push_back({body, 1400000000 + i * 86400LL * 3 + i * 61, flag_sets[i % 5]});
    }
    // Two identical messages: both are restored, each once.
    if (n > 4) in.back() = in.front();
    if (big && n > 1) in[1].bytes = make_message(1, big, "restore big");
    std::vector<unsigned> uids = dv->append_many(user, source, in);
    ASSERT_EQ(uids.size(), static_cast<std::size_t>(n));
    archive = work.file("archive");
    connect();
    search_all(source_wire, static_cast<std::size_t>(n));
    ASSERT_EQ(kq_export_start(config(archive).c_str()), 0) << kq_last_error();
    ASSERT_EQ(wait_end(), 2) << job_error();
  }
  void connect() { ASSERT_EQ(kq_connect(connect_json(user, pass, false).c_str()), 0) << kq_last_error(); }
  int restore(const std::string &folder) {
    if (kq_restore_start(restore_config(archive, folder).c_str()) != 0) return -1;
    return wait_restore();
  }
  // The folder exported again, as shapes.
  std::vector<shape> exported(const std::string &folder) {
    std::string dir = work.file("again-" + folder + std::to_string(rounds++));
    search_all(folder, dv->uids(user, folder).size());
    EXPECT_EQ(kq_export_start(config(dir).c_str()), 0) << kq_last_error();
    EXPECT_EQ(wait_end(), 2) << job_error();
    return shapes(dir);
  }
  int rounds = 0;
};

}  // namespace

TEST(Restore, RoundTripKeepsBytesDatesAndFlagsAndASecondRunAddsNothing) {
  restore_env e;
  e.make("restore-trip", 150);
  ASSERT_EQ(e.restore("Restored"), 2) << job_error();
  EXPECT_EQ(stat_of("restored"), 150);
  EXPECT_EQ(stat_of("present"), 0);
  EXPECT_EQ(stat_of("failed"), 0);
  std::vector<shape> want = shapes(e.archive);
  ASSERT_EQ(want.size(), 150u);
  EXPECT_EQ(e.exported("Restored"), want);

  // Everything is in the ledger: nothing goes out again.
  ASSERT_EQ(e.restore("Restored"), 2) << job_error();
  EXPECT_EQ(stat_of("restored"), 0);
  EXPECT_EQ(stat_of("present"), 150);
  EXPECT_EQ(e.dv->uids(e.user, "Restored").size(), 150u);

  // Without the ledger the folder itself is asked, message by message.
  std::remove((e.archive + "/restore.jsonl").c_str());
  ASSERT_EQ(e.restore("Restored"), 2) << job_error();
  EXPECT_EQ(stat_of("restored"), 0);
  EXPECT_EQ(stat_of("present"), 150);
  EXPECT_EQ(e.dv->uids(e.user, "Restored").size(), 150u);
  EXPECT_EQ(e.exported("Restored"), want);
}

// Many small batches in flight at once, each MULTIAPPEND of a few: every
// message still goes once, and a second run sends none.
TEST(Restore, BatchesInFlightTogetherPutEachMessageOnce) {
  restore_env e;
  e.make("restore-ahead", 120);
  kq::restore_set_tuning({8, 4, 3});
  int state = e.restore("Ahead");
  kq::restore_set_tuning({});
  ASSERT_EQ(state, 2) << job_error();
  EXPECT_EQ(stat_of("restored"), 120);
  EXPECT_EQ(e.exported("Ahead"), shapes(e.archive));
  ASSERT_EQ(e.restore("Ahead"), 2) << job_error();
  EXPECT_EQ(stat_of("present"), 120);
  EXPECT_EQ(e.dv->uids(e.user, "Ahead").size(), 120u);
}

// A message larger than the restore holds in memory goes out from its file
// in pieces and comes back byte for byte, flags and date kept.
TEST(Restore, LargeMessageComesBackWhole) {
  restore_env e;
  e.make("restore-large", 6, 5u << 20);
  ASSERT_EQ(e.restore("Large"), 2) << job_error();
  EXPECT_EQ(stat_of("restored"), 6);
  EXPECT_EQ(e.exported("Large"), shapes(e.archive));
}

// No target named: the archive's own folder, the prefix before it in its
// own letters and the source server's name kept, each message once.
TEST(Restore, PrefixGoesBeforeTheArchivesOwnFolder) {
  restore_env e;
  e.source = "Entw\xc3\xbcrfe";
  e.source_wire = "Entw&APw-rfe";
  e.make("restore-prefix", 5);
  const std::string cfg = "{\"dir\":" + json_quote(e.archive) + ",\"prefix\":\"\xc3\x9c" "ber/\"}";
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(kq_restore_start(cfg.c_str()), 0) << kq_last_error();
    ASSERT_EQ(wait_restore(), 2) << job_error();
    EXPECT_EQ(stat_of("restored"), run == 0 ? 5 : 0);
    kq::json_doc doc;
    ASSERT_TRUE(doc.parse(kq_export_stats_json()));
    const char *folder = kq::json_str(doc.root(), "folder");
    EXPECT_STREQ(folder ? folder : "", "\xc3\x9c" "ber/Entw\xc3\xbc" "rfe");
  }
  EXPECT_EQ(e.dv->uids(e.user, "\xc3\x9c" "ber/Entw\xc3\xbc" "rfe").size(), 5u);
  // The server's own name of it, as a client lists it.
  search_all("&ANw-ber/Entw&APw-rfe", 5);
}

TEST(Restore, MissingFolderIsRefusedWithoutCreate) {
  restore_env e;
  e.make("restore-nocreate", 3);
  std::string cfg = "{\"dir\":" + json_quote(e.archive) + ",\"folder\":\"Absent\",\"create\":0}";
  ASSERT_EQ(kq_restore_start(cfg.c_str()), 0) << kq_last_error();
  EXPECT_EQ(wait_restore(), 4);
  EXPECT_NE(job_error().find("cannot open folder Absent"), std::string::npos) << job_error();
}

TEST(Restore, TamperedAndMissingFilesAreReportedAndNotUploaded) {
  restore_env e;
  e.make("restore-tamper", 12);
  std::vector<entry> lines = read_manifest(e.archive);
  ASSERT_EQ(lines.size(), 12u);
  std::string changed = e.archive + "/" + lines[3].file;
  std::string text = read_all(changed);
  text[text.size() / 2] ^= 1;
  write_all(changed, text);
  std::remove((e.archive + "/" + lines[7].file).c_str());

  ASSERT_EQ(e.restore("Tampered"), 4);
  EXPECT_EQ(stat_of("restored"), 10);
  EXPECT_EQ(stat_of("failed"), 2);
  std::string err = job_error();
  EXPECT_NE(err.find("uid " + std::to_string(lines[3].uid) + ", " + std::to_string(lines[7].uid)),
            std::string::npos)
      << err;
  std::string stats = kq_export_stats_json();
  EXPECT_NE(stats.find("sha256 does not match the manifest"), std::string::npos) << stats;
  EXPECT_NE(stats.find("file missing"), std::string::npos) << stats;
  EXPECT_EQ(e.dv->uids(e.user, "Tampered").size(), 10u);
}

// The child's side of the kill test: restores and, once the given number of
// messages is settled, tells the parent and waits to be killed.
TEST(RestoreKillChild, DISABLED_RunRestore) {
  static std::string marker = env("KQ_RESTORE_CHILD_MARKER");
  static long long at = std::atoll(env("KQ_RESTORE_CHILD_AT"));
  // Small batches, several in flight: a kill finds APPENDs of more than
  // one batch unanswered or unrecorded.
  kq::restore_set_tuning({16, 4, 4});
  kq::restore_set_settled_hook([](std::uint64_t n) {
    if (static_cast<long long>(n) < at) return;
    write_all(marker, "reached");
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  ASSERT_EQ(kq_connect(env("KQ_RESTORE_CHILD_CONNECT")), 0) << kq_last_error();
  ASSERT_EQ(kq_restore_start(env("KQ_RESTORE_CHILD_CONFIG")), 0) << kq_last_error();
  wait_restore(600000);
}

TEST(RestoreKill, KilledRunsLeaveEveryMessageExactlyOnce) {
  restore_env e;
  e.make("restore-kill", 200);
  std::string marker = e.work.file("reached");
  // After the first message, inside a batch whose ledger lines are not
  // written yet, on a batch's edge and late in the run.
  for (int at : {1, 40, 64, 65, 170}) {
    SCOPED_TRACE("kill after " + std::to_string(at));
    std::remove(marker.c_str());
    std::vector<std::pair<std::string, std::string>> child_env = {
        {"KQ_RESTORE_CHILD_MARKER", marker},
        {"KQ_RESTORE_CHILD_AT", std::to_string(at)},
        {"KQ_RESTORE_CHILD_CONNECT", connect_json(e.user, e.pass, false)},
        {"KQ_RESTORE_CHILD_CONFIG", restore_config(e.archive, "Killed")}};
    std::vector<std::string> argv = {platform::self_executable(), "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=RestoreKillChild.DISABLED_RunRestore"};
    platform::child_process child;
    ASSERT_TRUE(child.start(argv, child_env, e.work.file("child.log")));
    bool reached = wait_for([&] { return !child.running() || !read_all(marker).empty(); }, 120000);
    ASSERT_TRUE(reached) << read_all(e.work.file("child.log"));
    ASSERT_TRUE(child.running()) << read_all(e.work.file("child.log"));
    child.kill_now();
    EXPECT_LE(e.dv->uids(e.user, "Killed").size(), 200u);
  }
  e.connect();
  ASSERT_EQ(e.restore("Killed"), 2) << job_error();
  EXPECT_EQ(stat_of("restored") + stat_of("present"), 200);
  EXPECT_EQ(e.dv->uids(e.user, "Killed").size(), 200u);
  EXPECT_EQ(e.exported("Killed"), shapes(e.archive));
}
