// A cancel through a slow link: the fake server dribbles its answers (a
// fixed number of bytes per second), so a search, an export job or a batch
// has commands in flight for seconds. A cancel must end the call, the job or
// the batch while those answers are still on the wire, leave the archive
// exact, and let the connection state say what became of it. Progress must
// move as rows arrive.
//
// "Early" is judged by what the server managed to send, not by the clock:
// the server's pace is fixed, so a client that stops within a moment has
// taken a small share of the answer, and one that waits for it all has
// taken everything.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "export_support.h"
#include "support/fake_imap.h"

namespace {

using kqtest::FakeImap;
using kqtest::read_all;
namespace fs = std::filesystem;

// 200 kB/s: a search of the folders below takes seconds to arrive.
constexpr long k_slow_bytes_per_s = 200000;

FakeImap::Folder make_folder(const std::string &name, int count, std::size_t body_bytes) {
  FakeImap::Folder f;
  f.name = name;
  f.uidvalidity = 1700000007;
  for (int i = 0; i < count; ++i)
    f.messages.push_back({static_cast<std::uint32_t>(i + 1),
                          kqtest::exp::make_message(i, body_bytes + static_cast<std::size_t>(i % 17) * 31,
                                                    name + " message " + std::to_string(i)),
                          1709632800LL + 3600LL * i});
  return f;
}

void slow_down(FakeImap &srv, long bytes_per_s) {
  FakeImap::Quirks q;
  q.dribble_bytes_per_s = bytes_per_s;
  srv.set_quirks(q);
}

// Polls pred every millisecond for at most 60 s.
bool poll_until(const std::function<bool()> &pred) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool has_command(const std::vector<FakeImap::Command> &cmds, std::size_t from, const char *word) {
  for (std::size_t i = from; i < cmds.size(); ++i)
    if (cmds[i].line.find(word) != std::string::npos) return true;
  return false;
}

// The UIDs resume.json lists as completed.
std::set<std::uint32_t> resume_completed(const std::string &dir) {
  std::string text = read_all(dir + "/resume.json");
  std::set<std::uint32_t> out;
  std::size_t at = text.find("\"completed\":[");
  if (at == std::string::npos) return out;
  at += 13;
  while (at < text.size() && text[at] != ']') {
    std::size_t end = at;
    std::uint32_t v = static_cast<std::uint32_t>(std::stoul(text.substr(at), &end));
    out.insert(v);
    at += end;
    if (at < text.size() && text[at] == ',') ++at;
  }
  return out;
}

// What an archive gets wrong against the server's bodies: a manifest entry
// whose file is missing or differs, a UID listed twice, a message file the
// manifest does not list (a half-received body stored unrecorded), resume
// state that names other UIDs than the manifest, an all.mbox that does not
// hold exactly the manifest's messages. `want`: UIDs that must be there.
std::vector<std::string> archive_problems(const std::string &dir, const std::map<std::uint32_t, std::string> &bodies,
                                          const std::set<std::uint32_t> &want) {
  std::vector<std::string> p;
  std::set<std::uint32_t> listed;
  std::set<std::string> files;
  for (const kqtest::exp::entry &e : kqtest::exp::read_manifest(dir)) {
    if (!listed.insert(e.uid).second) p.push_back("uid " + std::to_string(e.uid) + " listed twice");
    files.insert(fs::path(dir + "/" + e.file).lexically_normal().string());
    auto b = bodies.find(e.uid);
    if (b == bodies.end()) p.push_back("uid " + std::to_string(e.uid) + " was never on the server");
    else if (read_all(dir + "/" + e.file) != b->second) p.push_back("uid " + std::to_string(e.uid) + " stored wrong");
  }
  for (std::uint32_t u : want)
    if (!listed.count(u)) p.push_back("uid " + std::to_string(u) + " missing");
  const std::set<std::string> meta = {"manifest.jsonl", "resume.json", "all.mbox"};
  for (const fs::directory_entry &f : fs::recursive_directory_iterator(dir)) {
    if (!f.is_regular_file() || meta.count(f.path().filename().string())) continue;
    if (!files.count(f.path().lexically_normal().string()))
      p.push_back("file not in the manifest: " + f.path().string());
  }
  if (resume_completed(dir) != listed) p.push_back("resume.json names other UIDs than the manifest");
  std::string mbox = kqtest::exp::python_mbox_check(dir);
  if (mbox.substr(0, 3) != "ok ") p.push_back("all.mbox: " + mbox);
  return p;
}

std::map<std::uint32_t, std::string> bodies_of(const FakeImap &srv, const std::string &folder) {
  std::map<std::uint32_t, std::string> out;
  for (const FakeImap::Message &m : srv.messages(folder)) out[m.uid] = m.body;
  return out;
}

struct disconnect_at_end {
  ~disconnect_at_end() { kq_disconnect(); }
};

constexpr int k_search_messages = 3000;

TEST(SlowServer, SearchCancelledFromAnotherThreadStopsWhileRowsAreOnTheWire) {
  FakeImap srv({make_folder("INBOX", k_search_messages, 200)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  // What a whole search costs the server, at full speed.
  std::uint64_t before = srv.bytes_sent();
  ASSERT_EQ(kq_search("INBOX", nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_search_count(), k_search_messages);
  const std::uint64_t whole = srv.bytes_sent() - before;

  slow_down(srv, k_slow_bytes_per_s);
  before = srv.bytes_sent();
  int rc = 0;
  std::string why;  // the last error belongs to the thread that searched
  std::thread searcher([&rc, &why] {
    rc = kq_search("INBOX", nullptr);
    why = kq_last_error();
  });
  // Rows of this search are arriving (the last one's 1.0 is gone): the
  // fetch commands are in flight.
  EXPECT_TRUE(poll_until([] {
    double p = kq_search_progress();
    return p > 0.0 && p < 1.0;
  }));
  EXPECT_EQ(kq_search_cancel(), 0);
  searcher.join();
  const std::uint64_t sent = srv.bytes_sent() - before;
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(why, "search cancelled");
  EXPECT_EQ(kq_search_count(), 0);
  // The call came back with most of the answer still to come: it did not
  // wait for it (or read it off) first.
  EXPECT_LT(sent, whole / 2) << "sent " << sent << " of " << whole << " bytes";
  // The answers kept coming, so the connection was closed, and says so.
  EXPECT_EQ(kq_status(), 0);

  // A new connection searches whole.
  srv.set_quirks(FakeImap::Quirks{});
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("INBOX", nullptr), 0) << kq_last_error();
  EXPECT_EQ(kq_search_count(), k_search_messages);
}

TEST(SlowServer, SearchProgressSeenFromAnotherThreadStartsAtZeroAndMoves) {
  FakeImap srv({make_folder("INBOX", k_search_messages, 200)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("INBOX", nullptr), 0) << kq_last_error();
  EXPECT_EQ(kq_search_progress(), 1.0);

  slow_down(srv, k_slow_bytes_per_s);
  const std::size_t seen_before = srv.commands().size();
  int rc = 0;
  std::string why;  // the last error belongs to the thread that searched
  std::thread searcher([&rc, &why] {
    rc = kq_search("INBOX", nullptr);
    why = kq_last_error();
  });
  // Once the server has the new search's EXAMINE, the last search's 1.0 is
  // gone; before the first row command it can only be 0.
  ASSERT_TRUE(poll_until([&] { return has_command(srv.commands(), seen_before, "EXAMINE"); }));
  double at_start = kq_search_progress();
  if (has_command(srv.commands(), seen_before, "UID FETCH")) EXPECT_LT(at_start, 1.0);
  else EXPECT_EQ(at_start, 0.0);
  // While rows arrive it moves, never back, never to 1.0.
  std::vector<double> between;
  double last = at_start;
  EXPECT_TRUE(poll_until([&] {
    double p = kq_search_progress();
    EXPECT_GE(p, last);
    EXPECT_LT(p, 1.0);
    last = p;
    if (p > 0.0 && (between.empty() || p > between.back())) between.push_back(p);
    return between.size() >= 3;
  }));
  EXPECT_EQ(kq_search_cancel(), 0);
  searcher.join();
  EXPECT_EQ(rc, -1);
}

std::string export_cfg(const std::string &dir) {
  return kqtest::exp::config(dir, "\"format\":\"eml+mbox\",\"mbox\":1");
}

// 200 messages of about 20 kB: seconds of bodies at the slow pace.
constexpr int k_export_messages = 200;
constexpr std::size_t k_export_body = 20000;

TEST(SlowServer, ExportCancelledDuringABodyTransferEndsCancelledWithAnExactArchive) {
  FakeImap srv({make_folder("INBOX", k_export_messages, k_export_body)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("INBOX", nullptr), 0) << kq_last_error();
  const std::map<std::uint32_t, std::string> bodies = bodies_of(srv, "INBOX");
  std::uint64_t all_bodies = 0;
  for (const auto &[uid, body] : bodies) all_bodies += body.size();
  kqtest::scratch_dir d;

  slow_down(srv, k_slow_bytes_per_s);
  std::uint64_t before = srv.bytes_sent();
  ASSERT_EQ(kq_export_start(export_cfg(d.str()).c_str()), 0) << kq_last_error();
  ASSERT_TRUE(poll_until([] { return kq::export_record().done.load() >= 3 || kq::export_record().active.load() == 0; }));
  ASSERT_EQ(kq_export_cancel(), 0);
  ASSERT_TRUE(poll_until([] { return kq::export_record().active.load() == 0; }));
  const std::uint64_t sent = srv.bytes_sent() - before;
  EXPECT_EQ(kq_export_status(), 3);
  EXPECT_NE(std::string(kq_export_stats_json()).find("\"state\":\"cancelled\""), std::string::npos)
      << kq_export_stats_json();
  // The job ended with most bodies still to come.
  EXPECT_LT(sent, all_bodies / 2) << "sent " << sent << " of " << all_bodies << " bytes of bodies";
  EXPECT_EQ(kq_status(), 0);
  // Every stored message is recorded, and nothing else is stored.
  const std::size_t first = kqtest::exp::read_manifest(d.str()).size();
  EXPECT_EQ(first, kq::export_record().done.load());
  EXPECT_GE(first, 3u);
  EXPECT_LT(first, static_cast<std::size_t>(k_export_messages));
  std::vector<std::string> p = archive_problems(d.str(), bodies, {});
  EXPECT_TRUE(p.empty()) << p.front();

  // Connected again, the next job stores exactly the rest.
  srv.set_quirks(FakeImap::Quirks{});
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_export_start(export_cfg(d.str()).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kqtest::exp::wait_end(), 2) << kq_last_error();
  EXPECT_EQ(kq::export_record().done.load(), static_cast<std::uint64_t>(k_export_messages) - first);
  std::set<std::uint32_t> every;
  for (const auto &[uid, body] : bodies) every.insert(uid);
  p = archive_problems(d.str(), bodies, every);
  EXPECT_TRUE(p.empty()) << p.front();
}

TEST(SlowServer, BatchCancelledDuringABodyTransferEnds) {
  FakeImap srv({make_folder("INBOX", k_export_messages, k_export_body), make_folder("Other", 5, 300)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(srv.connect_json().c_str()), 0) << kq_last_error();
  std::uint64_t all_bodies = 0;
  for (const auto &[uid, body] : bodies_of(srv, "INBOX")) all_bodies += body.size();
  kqtest::scratch_dir d;

  slow_down(srv, k_slow_bytes_per_s);
  std::uint64_t before = srv.bytes_sent();
  const std::string cfg = kqtest::exp::config(d.str(), "\"folders\":[\"INBOX\",\"Other\"]");
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  // Bodies are on the wire once the server has a body fetch.
  ASSERT_TRUE(poll_until([&] { return has_command(srv.commands(), 0, "BODY.PEEK[]") || !kq::batch_active(); }));
  ASSERT_EQ(kq_export_cancel(), 0);
  ASSERT_TRUE(poll_until([] { return !kq::batch_active(); }));
  const std::uint64_t sent = srv.bytes_sent() - before;
  EXPECT_LT(sent, all_bodies / 2) << "sent " << sent << " of " << all_bodies << " bytes of bodies";
  std::string status = kq_export_all_status_json();
  EXPECT_NE(status.find("\"state\":4"), std::string::npos) << status;
  EXPECT_NE(status.find("\"INBOX\":\"error\",\"Other\":\"pending\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"error\":\"export INBOX cancelled\""), std::string::npos) << status;
}

}  // namespace
