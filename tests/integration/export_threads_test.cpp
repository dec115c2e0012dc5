// Host threads polling and steering a running export or batch at once, as a
// host's UI thread, worker pool and timer do: every text a thread gets stays
// whole for it, a thread's last error is its own, and no order of pause,
// resume and cancel leaves a job stuck. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "export_support.h"
#include "support/fake_imap.h"

namespace {

using kqtest::FakeImap;
using namespace kqtest::exp;

// 2024-03-05 10:00:00 UTC, then an hour apart.
constexpr long long k_date0 = 1709632800;

FakeImap::Folder folder_of(const std::string &name, int count, std::uint32_t uidvalidity) {
  FakeImap::Folder f;
  f.name = name;
  f.uidvalidity = uidvalidity;
  for (int i = 0; i < count; ++i) {
    std::size_t size = 400 + static_cast<std::size_t>((i * 97) % 1200);
    f.messages.push_back({static_cast<std::uint32_t>(i + 1),
                          make_message(i, size, name + " message " + std::to_string(i)), k_date0 + 3600LL * i});
  }
  return f;
}

// A server slow enough that the job runs for a few seconds whatever the
// machine: the pace is the server's, so the polls meet the job running.
FakeImap::Quirks slow_server() {
  FakeImap::Quirks q;
  q.dribble_bytes_per_s = 60000;
  return q;
}

struct disconnect_at_end {
  ~disconnect_at_end() { kq_disconnect(); }
};

bool parses(const char *text) {
  kq::json_doc doc;
  return text && doc.parse(text) && kq::json_key(doc.root(), "state") != nullptr;
}

// What the pollers saw: counts only, so the threads share nothing else.
struct poll_tally {
  std::atomic<long> polls{0};
  std::atomic<long> while_running{0};
  std::atomic<long> bad{0};
  std::string first_bad;  // written once, by the thread that saw it first
  std::atomic<bool> claimed{false};
  void fail(const std::string &what) {
    if (bad.fetch_add(1) == 0 && !claimed.exchange(true)) first_bad = what;
  }
};

// One poller: every status call in turn, each text checked whole, and the
// first text checked again after the others were asked for (by this thread
// and, meanwhile, by the other pollers).
void poll_loop(const std::atomic<bool> &stop, poll_tally &t) {
  while (!stop.load()) {
    int st = kq_export_status();
    if (st < 0 || st > 4) t.fail("status " + std::to_string(st));
    if (st == 1) t.while_running.fetch_add(1);
    double p = kq_export_progress();
    if (!(p >= 0.0 && p <= 1.0)) t.fail("progress " + std::to_string(p));
    const char *stats = kq_export_stats_json();
    std::string stats_copy = stats;
    if (!parses(stats)) t.fail("stats: " + stats_copy);
    const char *current = kq_export_current();
    std::string cur = current;
    // "<folder>  uid=<uid>  <folder> message <n>", or nothing.
    bool whole = cur.empty() || ((cur.starts_with("INBOX  uid=") || cur.starts_with("Other  uid=")) &&
                                 cur.find(" message ") != std::string::npos);
    if (!whole) t.fail("current: " + cur);
    const char *batch = kq_export_all_status_json();
    if (!parses(batch)) t.fail(std::string("batch status: ") + batch);
    int conn = kq_status();
    if (conn < 0 || conn > 2) t.fail("kq_status " + std::to_string(conn));
    // This thread failed at nothing: whatever the worker hit is not its text.
    if (std::strcmp(kq_last_error(), "") != 0) t.fail(std::string("last error: ") + kq_last_error());
    if (stats_copy != stats) t.fail("stats text changed under its reader: " + stats_copy + " / " + stats);
    if (cur != current) t.fail("current text changed under its reader: " + cur + " / " + current);
    t.polls.fetch_add(1);
    std::this_thread::yield();
  }
}

// Runs four pollers until `ended` says the run is over.
void poll_until(const std::function<bool()> &ended, poll_tally &t) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> pollers;
  for (int i = 0; i < 4; ++i) pollers.emplace_back(poll_loop, std::cref(stop), std::ref(t));
  EXPECT_TRUE(wait_for(ended, 300000)) << "the run did not end";
  stop = true;
  for (auto &th : pollers) th.join();
}

std::size_t manifest_size(const std::string &dir) { return read_manifest(dir).size(); }

// The search result an export works on: every message of the server's INBOX.
void table_of_inbox(const FakeImap &srv) {
  std::vector<stored> rows;
  for (const auto &m : srv.messages("INBOX")) rows.push_back({m.uid, m.body, m.date});
  fill_table("INBOX", rows);
}

}  // namespace

TEST(ExportThreads, FourThreadsPollingAnExportGetWholeTexts) {
  FakeImap srv({folder_of("INBOX", 150, 7)});
  srv.set_quirks(slow_server());
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  table_of_inbox(srv);
  kqtest::scratch_dir d;
  poll_tally t;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0) << kq_last_error();
  poll_until([] { return kq::export_record().active.load() == 0; }, t);
  EXPECT_EQ(t.bad.load(), 0) << t.first_bad;
  EXPECT_GT(t.while_running.load(), 0);
  EXPECT_EQ(kq_export_status(), 2) << kq_export_stats_json();
  EXPECT_EQ(manifest_size(d.str()), 150u);
}

TEST(ExportThreads, FourThreadsPollingABatchGetWholeTexts) {
  FakeImap srv({folder_of("INBOX", 80, 7), folder_of("Other", 60, 8)});
  srv.set_quirks(slow_server());
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  kqtest::scratch_dir d;
  poll_tally t;
  ASSERT_EQ(kq_export_all_folders(config(d.str(), "\"folders\":[\"INBOX\",\"Other\"]").c_str()), 0)
      << kq_last_error();
  poll_until([] { return !kq::batch_active(); }, t);
  EXPECT_EQ(t.bad.load(), 0) << t.first_bad;
  EXPECT_GT(t.while_running.load(), 0);
  std::string status = kq_export_all_status_json();
  EXPECT_NE(status.find("\"state\":2,"), std::string::npos) << status;
  EXPECT_EQ(manifest_size(d.str() + "/INBOX"), 80u);
  EXPECT_EQ(manifest_size(d.str() + "/Other"), 60u);
}

// Pause, resume and (in the second case) cancel from three threads in any
// order while others poll. Afterwards one resume must be enough for a job
// that was not cancelled to run to its end; a cancelled one ends by itself.
// Never stuck: the job lets go of its worker either way.
TEST(ExportThreads, SteeringFromSeveralThreadsNeverLeavesTheJobStuck) {
  for (bool with_cancel : {false, true}) {
    SCOPED_TRACE(with_cancel ? "pause, resume and cancel" : "pause and resume");
    FakeImap srv({folder_of("INBOX", 120, 7)});
    srv.set_quirks(slow_server());
    ASSERT_TRUE(srv.start());
    disconnect_at_end disconnect;
    ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
    table_of_inbox(srv);
    kqtest::scratch_dir d;
    ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0) << kq_last_error();
    std::atomic<int> odd{0};
    std::vector<std::thread> steer;
    for (int n = 0; n < 3; ++n) {
      steer.emplace_back([n, with_cancel, &odd] {
        std::mt19937 rng(static_cast<unsigned>(n * 7919 + (with_cancel ? 1 : 0)));
        for (int i = 0; i < 60; ++i) {
          int rc;
          switch (rng() % (with_cancel && i > 40 ? 3 : 2)) {
            case 0: rc = kq_export_pause(); break;
            case 1: rc = kq_export_resume(); break;
            default: rc = kq_export_cancel(); break;
          }
          if (rc != 0 && rc != -1) odd.fetch_add(1);
          std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 8));
        }
      });
    }
    poll_tally t;
    poll_until([&] {
      for (auto &th : steer)
        if (th.joinable()) th.join();
      return true;
    }, t);
    EXPECT_EQ(odd.load(), 0);
    // The last word may have been a pause: one resume takes it back, pending
    // or in effect; a job already running or ended refuses it.
    int rc = kq_export_resume();
    EXPECT_TRUE(rc == 0 || rc == -1);
    int end = wait_end(300000);
    EXPECT_EQ(kq::export_record().active.load(), 0u) << "the job is stuck: " << kq_export_stats_json();
    EXPECT_EQ(t.bad.load(), 0) << t.first_bad;
    std::string stats = kq_export_stats_json();
    if (!with_cancel) {
      EXPECT_EQ(end, 2) << stats;
      EXPECT_EQ(manifest_size(d.str()), 120u);
    } else {
      // Cancelled, unless the job had stored everything before a cancel came.
      EXPECT_TRUE(end == 3 || end == 2) << stats;
      EXPECT_TRUE(stats.find("\"state\":\"cancelled\"") != std::string::npos ||
                  stats.find("\"state\":\"done\"") != std::string::npos)
          << stats;
    }
    kq_disconnect();
    srv.stop();
  }
}

// A resume soon after a pause, while the job still drains what it has in
// flight (its state still "running"), calls the pause off: it returns 0, the
// job never reads "paused" afterwards, and it runs to its end.
TEST(ExportThreads, ResumeBeforeThePauseTookEffectCallsItOff) {
  FakeImap srv({folder_of("INBOX", 120, 7)});
  srv.set_quirks(slow_server());
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  table_of_inbox(srv);
  kqtest::scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0) << kq_last_error();
  ASSERT_TRUE(wait_for([] { return kq::export_record().done.load() > 0 || kq_export_status() != 1; }));
  ASSERT_EQ(kq_export_status(), 1) << kq_export_stats_json();
  for (int round = 0; round < 3 && kq_export_status() == 1; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(kq_export_pause(), 0);
    // As the host that reported this waited: a pause drains far longer.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(kq_export_resume(), 0) << kq_export_stats_json();
    // Nothing can bring the pause back now: the job runs on or ends.
    bool paused_after = false;
    wait_for([&] {
      int st = kq_export_status();
      paused_after = paused_after || st == 3;
      return st != 1 || kq::export_record().done.load() >= 20u * static_cast<unsigned>(round + 1);
    }, 300000);
    EXPECT_FALSE(paused_after) << kq_export_stats_json();
  }
  EXPECT_EQ(wait_end(300000), 2) << kq_export_stats_json();
  EXPECT_EQ(manifest_size(d.str()), 120u);
}
