// Servers that misbehave the way real ones and big providers do, played by
// the in-process fake server (support/fake_imap.h). One rule holds for every
// fault: no search and no export may report success while a message the
// server holds is missing from it or stored wrong. Each case runs three
// phases against one folder:
//   (a) kq_search without criteria: every UID the folder holds, or -1;
//   (b) an export of that result: "done" only with every message stored
//       byte for byte, else "error" with a reason; "vanished" counts only
//       messages the server really expunged;
//   (c) the same server, now sane: a new search and an export into the same
//       directory complete the archive, each message once (all.mbox too),
//       and the archive verifies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "export_support.h"
#include "support/fake_imap.h"

namespace {

using kqtest::FakeImap;
using kqtest::read_all;

// A fresh directory for one archive, removed afterwards. On Linux it lives
// in /dev/shm when there is one: these cases write thousands of small files,
// each flushed to disk, and what they test is which bytes land, not how
// durably; a loaded machine's disk would otherwise set the pace.
class scratch_dir {
 public:
  scratch_dir() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
#if defined(__linux__)
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec)) base = "/dev/shm";
#endif
    std::random_device rd;
    path_ = base / ("kq-hostile-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// 2024-03-05 10:00:00 UTC, then a few hours apart.
constexpr long long k_date0 = 1709632800;

enum class uids { dense, gappy, ten_digits };

// Messages of varied size (300 to about 2,000 bytes), with lines that mbox
// must quote; UIDs dense from 1, far apart, or 10-digit and never adjacent.
FakeImap::Folder make_folder(const std::string &name, int count, uids layout,
                             std::uint32_t uidvalidity = 1700000001) {
  FakeImap::Folder f;
  f.name = name;
  f.uidvalidity = uidvalidity;
  std::uint32_t uid = layout == uids::ten_digits ? 4000000000u : layout == uids::gappy ? 3000u : 0u;
  for (int i = 0; i < count; ++i) {
    switch (layout) {
      case uids::dense: uid += 1; break;
      case uids::gappy: uid += 1 + static_cast<std::uint32_t>((i * 37) % 1500); break;
      case uids::ten_digits: uid += 2 + static_cast<std::uint32_t>(i % 3); break;
    }
    std::size_t size = 300 + static_cast<std::size_t>((i * 131) % 1700);
    f.messages.push_back({uid,
                          kqtest::exp::make_message(i, size, name + " message " + std::to_string(i)),
                          k_date0 + 3 * 3600LL * i});
  }
  return f;
}

std::vector<std::uint32_t> uids_of(const std::vector<FakeImap::Message> &msgs) {
  std::vector<std::uint32_t> out;
  for (const auto &m : msgs) out.push_back(m.uid);
  return out;
}

std::vector<std::uint32_t> result_uids() {
  std::vector<std::uint32_t> out;
  for (int i = 0; i < kq_search_count(); ++i)
    out.push_back(static_cast<std::uint32_t>(std::stoul(kq_search_field(i, "uid"))));
  return out;
}

// At most a few of a list, for a readable failure line.
std::string some(const std::vector<std::uint32_t> &v) {
  std::string out;
  for (std::size_t i = 0; i < v.size() && i < 6; ++i) out += (i ? " " : "") + std::to_string(v[i]);
  if (v.size() > 6) out += " ... (" + std::to_string(v.size()) + ")";
  return out;
}

std::string first_problems(const std::vector<std::string> &p) {
  std::string out;
  for (std::size_t i = 0; i < p.size() && i < 5; ++i) out += p[i] + "\n";
  if (p.size() > 5) out += "... " + std::to_string(p.size()) + " problems\n";
  return out;
}

std::string connect_cfg(const FakeImap &srv, int timeout_s) {
  return srv.connect_json("\"timeout_s\":" + std::to_string(timeout_s));
}

// Connected and logged in, reconnecting when a fault cost the connection.
bool ensure_connected(const FakeImap &srv, int timeout_s) {
  if (kq_status() == 2) return true;
  return kq_connect(connect_cfg(srv, timeout_s).c_str()) == 0;
}

std::string export_cfg(const std::string &dir) {
  return kqtest::exp::config(dir, "\"format\":\"eml+mbox\",\"mbox\":1");
}

long long stats_num(const std::string &stats, const char *key) {
  kq::json_doc doc;
  if (!doc.parse(stats)) return -99;
  return kq::json_num(doc.root(), key, 0);
}

// What the archive in dir gets wrong: every UID of `want` must be listed
// once with its exact bytes; a UID of `may` may be listed (once, exact);
// nothing else may be.
std::vector<std::string> archive_problems(const std::string &dir,
                                          const std::map<std::uint32_t, std::string> &want,
                                          const std::map<std::uint32_t, std::string> &may) {
  std::vector<std::string> problems;
  std::map<std::uint32_t, int> seen;
  for (const kqtest::exp::entry &e : kqtest::exp::read_manifest(dir)) {
    ++seen[e.uid];
    auto w = want.find(e.uid);
    auto m = may.find(e.uid);
    const std::string *expected = w != want.end() ? &w->second : m != may.end() ? &m->second : nullptr;
    if (!expected) {
      problems.push_back("uid " + std::to_string(e.uid) + " archived but never asked for");
      continue;
    }
    std::string got = read_all(dir + "/" + e.file);
    if (got != *expected)
      problems.push_back("uid " + std::to_string(e.uid) + " archived wrong: " +
                         std::to_string(got.size()) + " bytes, the server's are " +
                         std::to_string(expected->size()));
  }
  std::vector<std::uint32_t> missing;
  for (const auto &[uid, body] : want)
    if (seen[uid] == 0) missing.push_back(uid);
  if (!missing.empty()) problems.push_back("missing from the archive: uids " + some(missing));
  for (const auto &[uid, n] : seen)
    if (n > 1) problems.push_back("uid " + std::to_string(uid) + " archived " + std::to_string(n) + " times");
  return problems;
}

std::map<std::uint32_t, std::string> bodies(const std::vector<FakeImap::Message> &msgs) {
  std::map<std::uint32_t, std::string> out;
  for (const auto &m : msgs) out[m.uid] = m.body;
  return out;
}

// Puts the folder's rows into the result table, as a search that got them
// all would: the export phase then meets the fault even when the search
// refused to give a result.
void install_rows(const std::string &folder, const std::vector<FakeImap::Message> &msgs) {
  std::vector<kqtest::exp::stored> rows;
  for (const auto &m : msgs) rows.push_back({m.uid, m.body, m.date});
  kqtest::exp::fill_table(folder, rows);
}

// The UID ranges a "UID FETCH <set> ..." line names (none for other lines).
std::vector<std::pair<unsigned long long, unsigned long long>> fetch_set(const std::string &line) {
  std::vector<std::pair<unsigned long long, unsigned long long>> out;
  std::string up = line;
  for (char &ch : up) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  std::size_t at = up.find(" UID FETCH ");
  if (at == std::string::npos) return out;
  std::size_t i = at + 11;
  while (i < line.size() && line[i] != ' ') {
    unsigned long long a = 0, b;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) a = a * 10 + (line[i++] - '0');
    b = a;
    if (i < line.size() && line[i] == ':') {
      ++i;
      b = 0;
      if (i < line.size() && line[i] == '*') b = 0xFFFFFFFFULL, ++i;
      while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) b = b * 10 + (line[i++] - '0');
    }
    out.push_back({std::min(a, b), std::max(a, b)});
    if (i < line.size() && line[i] == ',') ++i;
  }
  return out;
}

bool overlaps(const std::vector<std::pair<unsigned long long, unsigned long long>> &x,
              const std::vector<std::pair<unsigned long long, unsigned long long>> &y) {
  for (const auto &a : x)
    for (const auto &b : y)
      if (a.first <= b.second && b.first <= a.second) return true;
  return false;
}

struct hostile_case {
  std::string name;
  int count = 100;
  uids layout = uids::gappy;
  FakeImap::Quirks quirks;
  // Adjusts the switches for the export phase (the search phase has them
  // as given); both phases start with the once-only switches armed.
  std::function<void(FakeImap::Quirks &)> for_export;
  // The fault passes (it strikes once) or a careful client avoids it
  // (smaller sets, shorter lines, patience): the export must then end
  // "done", not merely refuse to lie.
  bool must_complete = false;
  // The switches change some answer (false for the sane controls).
  bool fault = true;
  // Done between the search and the export, as another client might.
  std::function<void(FakeImap &)> before_export;
  // What "vanished" must say after the export phase (-1: at most what the
  // server really removed, which every case checks).
  int vanished = -1;
  int timeout_s = 10;
  // A further check of what the server saw.
  std::function<void(const FakeImap &)> check;
};

void PrintTo(const hostile_case &c, std::ostream *os) { *os << c.name; }

class HostileServer : public ::testing::TestWithParam<hostile_case> {};

// Disconnects (which also cancels a job still running) however a test ends,
// before its server goes.
struct disconnect_at_end {
  ~disconnect_at_end() { kq_disconnect(); }
};

TEST_P(HostileServer, NoRunReportsSuccessWithMessagesMissingOrWrong) {
  const hostile_case &k = GetParam();
  const std::string folder = "INBOX";
  FakeImap srv({make_folder(folder, k.count, k.layout)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  srv.set_quirks(k.quirks);
  ASSERT_EQ(kq_connect(connect_cfg(srv, k.timeout_s).c_str()), 0) << kq_last_error();
  const std::vector<FakeImap::Message> at_start = srv.messages(folder);

  // (a) The search: all or nothing.
  int rc = kq_search(folder.c_str(), nullptr);
  std::vector<std::uint32_t> found = rc == 0 ? result_uids() : std::vector<std::uint32_t>{};
  {
    SCOPED_TRACE("(a) search");
    if (rc == 0) {
      std::vector<std::uint32_t> now = uids_of(srv.messages(folder)), before = uids_of(at_start);
      std::vector<std::uint32_t> missing, unknown;
      std::set_difference(now.begin(), now.end(), found.begin(), found.end(), std::back_inserter(missing));
      std::set_difference(found.begin(), found.end(), before.begin(), before.end(), std::back_inserter(unknown));
      EXPECT_TRUE(missing.empty()) << "kq_search returned 0 with " << found.size() << " rows; missing uids "
                                   << some(missing);
      EXPECT_TRUE(unknown.empty()) << "rows for uids the folder never held: " << some(unknown);
      EXPECT_TRUE(std::is_sorted(found.begin(), found.end()) &&
                  std::adjacent_find(found.begin(), found.end()) == found.end())
          << "rows not ascending and unique";
    } else {
      EXPECT_STRNE(kq_last_error(), "") << "kq_search failed without a reason";
    }
  }

  // (b) The export of that result; when the search failed or fell short,
  // of every row the folder holds, so the export meets the fault too.
  scratch_dir d;
  {
    SCOPED_TRACE("(b) export");
    srv.set_quirks(k.quirks);
    if (k.for_export) {
      FakeImap::Quirks q = k.quirks;
      k.for_export(q);
      srv.set_quirks(q);
    }
    ASSERT_TRUE(ensure_connected(srv, k.timeout_s)) << kq_last_error();
    std::vector<FakeImap::Message> asked = srv.messages(folder);
    if (rc != 0 || found != uids_of(asked)) install_rows(folder, asked);
    if (k.before_export) k.before_export(srv);
    ASSERT_EQ(kq_export_start(export_cfg(d.str()).c_str()), 0) << kq_last_error();
    int st = kqtest::exp::wait_end(120000);
    std::string why = kqtest::exp::job_error();
    std::string stats = kq_export_stats_json();
    ASSERT_NE(st, 1) << "the export did not end within 120 s";
    // What the server holds now of what was asked for, and what it removed.
    std::map<std::uint32_t, std::string> want, gone;
    std::set<std::uint32_t> asked_uids;
    for (const auto &m : asked) asked_uids.insert(m.uid);
    for (const auto &m : srv.messages(folder))
      if (asked_uids.count(m.uid)) want[m.uid] = m.body;
    for (const auto &[f, m] : srv.expunged())
      if (asked_uids.count(m.uid)) gone[m.uid] = m.body;
    EXPECT_TRUE(st == 2 || st == 4) << "export ended in state " << st << ": " << stats;
    if (st == 2) {
      std::vector<std::string> p = archive_problems(d.str(), want, gone);
      EXPECT_TRUE(p.empty()) << "the export reported done: " << stats << "\n" << first_problems(p);
    } else if (st == 4) {
      EXPECT_FALSE(why.empty()) << "the export failed without a reason";
    }
    long long vanished = stats_num(stats, "vanished");
    EXPECT_LE(vanished, static_cast<long long>(gone.size()))
        << "\"vanished\" counts messages the server still holds: " << stats;
    if (k.vanished >= 0) {
      EXPECT_EQ(vanished, k.vanished) << stats;
    }
    if (k.must_complete) {
      EXPECT_EQ(st, 2) << "a fault a careful client gets past ended the export: " << why << " " << stats;
    }
  }

  // (c) The same server, sane: the archive is completed.
  {
    SCOPED_TRACE("(c) sane re-run");
    srv.set_quirks(FakeImap::Quirks{});
    ASSERT_TRUE(ensure_connected(srv, k.timeout_s)) << kq_last_error();
    ASSERT_EQ(kq_search(folder.c_str(), nullptr), 0) << kq_last_error();
    std::vector<FakeImap::Message> held = srv.messages(folder);
    EXPECT_EQ(result_uids(), uids_of(held)) << "a sane server's search";
    ASSERT_EQ(kq_export_start(export_cfg(d.str()).c_str()), 0) << kq_last_error();
    int st = kqtest::exp::wait_end(120000);
    EXPECT_EQ(st, 2) << kq_last_error() << " " << kq_export_stats_json();
    std::map<std::uint32_t, std::string> gone;
    for (const auto &[f, m] : srv.expunged()) gone[m.uid] = m.body;
    std::vector<std::string> p = archive_problems(d.str(), bodies(held), gone);
    EXPECT_TRUE(p.empty()) << first_problems(p);
    std::string mbox = kqtest::exp::python_mbox_check(d.str());
    EXPECT_EQ(mbox.substr(0, 3), "ok ") << "all.mbox: " << mbox;
    EXPECT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();
    EXPECT_NE(std::string(kq_verify_report_json()).find("\"intact\":true"), std::string::npos)
        << kq_verify_report_json();
  }
  if (k.fault) {
    EXPECT_FALSE(srv.faults().empty()) << "the fault never struck: this case tests nothing";
  }
  if (k.check) k.check(srv);
  kq_disconnect();
  srv.stop();
  // Commands the fake could not answer point at the fake, not the library.
  for (const std::string &n : srv.notes()) std::printf("fake server: %s\n", n.c_str());
}

std::vector<hostile_case> cases() {
  std::vector<hostile_case> v;
  auto add = [&v](std::string name, int count, uids layout, auto set) -> hostile_case & {
    hostile_case c;
    c.name = std::move(name);
    c.count = count;
    c.layout = layout;
    set(c.quirks);
    v.push_back(std::move(c));
    return v.back();
  };
  using Q = FakeImap::Quirks;
  // A sane server, so a failure of the harness itself shows here first.
  add("SaneServer", 40, uids::dense, [](Q &) {}).fault = false;
  {
    hostile_case &c = add("GappyTenDigitUids", 300, uids::ten_digits, [](Q &) {});
    c.fault = false;
    c.must_complete = true;
  }
  add("NoUidnext", 200, uids::gappy, [](Q &q) { q.no_uidnext = true; });
  {
    // Without ESEARCH a client that asks the server which UIDs still exist
    // must read the plain SEARCH answer: two messages go while the export
    // runs.
    FakeImap::Folder f = make_folder("INBOX", 150, uids::gappy);
    std::vector<std::uint32_t> gone = {f.messages[20].uid, f.messages[140].uid};
    hostile_case &c = add("NoEsearch", 150, uids::gappy, [](Q &q) { q.no_esearch = true; });
    c.for_export = [gone](Q &q) {
      q.expunge_during_uid_fetch_n = 1;
      q.expunge_uids = gone;
    };
    c.must_complete = true;
  }
  add("ThrottledOkDrops", 2000, uids::dense, [](Q &q) { q.throttled_ok_drops = 7; }).must_complete = true;
  add("NulBeforeRecords", 100, uids::gappy, [](Q &q) { q.nul_before_records = true; });
  // Every command's last record comes late, so each costs the client a
  // retry: few commands (dense UIDs) keep the case short.
  add("OkBeforeLastRecord", 150, uids::dense, [](Q &q) { q.ok_before_last_record = true; });
  add("LowerCaseUidItem", 200, uids::gappy, [](Q &q) { q.lower_case_uid_item = true; });
  add("UidTextInBodystructure", 300, uids::gappy, [](Q &q) { q.uid_text_in_bodystructure = true; });
  {
    // Three messages of the first batch answer without a body, once.
    FakeImap::Folder f = make_folder("INBOX", 100, uids::gappy);
    std::set<std::uint32_t> odd = {f.messages[3].uid, f.messages[40].uid, f.messages[77].uid};
    add("FetchWithoutBodyOnce", 100, uids::gappy, [odd](Q &q) { q.fetch_without_body_once = odd; })
        .must_complete = true;
  }
  add("NoUnavailableOnce", 150, uids::gappy, [](Q &q) { q.no_unavailable_once_for_command_n = 1; })
      .must_complete = true;
  {
    // Really expunged while a fetch runs: during the search's first
    // command (the messages lie in windows already asked for or not yet),
    // and other messages during the export's first.
    FakeImap::Folder f = make_folder("INBOX", 200, uids::gappy);
    std::vector<std::uint32_t> in_search = {f.messages[5].uid, f.messages[150].uid};
    std::vector<std::uint32_t> in_export = {f.messages[10].uid, f.messages[120].uid, f.messages[199].uid};
    hostile_case &c = add("ExpungeDuringFetch", 200, uids::gappy, [in_search](Q &q) {
      q.expunge_during_uid_fetch_n = 1;
      q.expunge_uids = in_search;
    });
    c.for_export = [in_export](Q &q) {
      q.expunge_during_uid_fetch_n = 1;
      q.expunge_uids = in_export;
    };
    c.must_complete = true;
    c.check = [](const FakeImap &srv) { EXPECT_EQ(srv.expunged().size(), 5u); };
  }
  {
    // Another client expunges three messages after the search: they are
    // the ones, and the only ones, that vanished.
    FakeImap::Folder f = make_folder("INBOX", 100, uids::gappy);
    std::vector<std::uint32_t> gone = {f.messages[2].uid, f.messages[50].uid, f.messages[99].uid};
    hostile_case &c = add("ExpungedBeforeExport", 100, uids::gappy, [](Q &) {});
    c.before_export = [gone](FakeImap &srv) { srv.expunge_now("INBOX", gone); };
    c.vanished = 3;
    c.must_complete = true;
    c.fault = false;
  }
  {
    FakeImap::Folder f = make_folder("INBOX", 120, uids::gappy);
    std::uint32_t victim = f.messages[30].uid;
    add("WrongLiteralLengthOnce", 120, uids::gappy, [victim](Q &q) { q.wrong_literal_length_once = victim; });
  }
  {
    FakeImap::Folder f = make_folder("INBOX", 120, uids::gappy);
    std::set<std::uint32_t> twice = {f.messages[0].uid, f.messages[61].uid};
    add("TwoBodiesForUid", 120, uids::gappy, [twice](Q &q) { q.two_bodies_for_uid = twice; });
  }
  {
    // A client within the limit never meets the refusal: nothing to strike.
    hostile_case &c = add("MaxLineOctets", 400, uids::ten_digits, [](Q &q) { q.max_line_octets = 1000; });
    c.must_complete = true;
    c.fault = false;
  }
  add("NoForLongSets", 400, uids::dense, [](Q &q) { q.no_for_long_sets = 100; }).must_complete = true;
  {
    // About 340 kB of bodies at 100 kB/s: a command's answer takes longer
    // than the client's 2 s time-out, yet bytes never stop coming.
    hostile_case &c = add("DribbleSlowButSteady", 300, uids::dense, [](Q &) {});
    c.timeout_s = 2;
    c.for_export = [](Q &q) { q.dribble_bytes_per_s = 100000; };
    c.must_complete = true;
  }
  add("ByeAfterNRecords", 200, uids::gappy, [](Q &q) { q.bye_after_n_records = 50; });
  {
    hostile_case &c = add("SuggestedBackoff", 150, uids::gappy,
                          [](Q &q) { q.suggested_backoff_for_command_n = 1; });
    c.must_complete = true;
    // The server asked for 200 ms: no fetch of the refused UIDs comes sooner.
    c.check = [](const FakeImap &srv) {
      std::vector<FakeImap::Command> cmds = srv.commands();
      for (std::size_t i = 0; i < cmds.size(); ++i) {
        if (cmds[i].completion.find("Suggested Backoff") == std::string::npos) continue;
        std::vector<std::pair<unsigned long long, unsigned long long>> refused = fetch_set(cmds[i].line);
        for (std::size_t j = i + 1; j < cmds.size(); ++j) {
          if (!overlaps(refused, fetch_set(cmds[j].line))) continue;
          EXPECT_GE(cmds[j].at_ms - cmds[i].at_ms, 190)
              << "refused UIDs asked again after " << cmds[j].at_ms - cmds[i].at_ms
              << " ms: " << cmds[j].line.substr(0, 80);
          break;
        }
      }
    };
  }
  return v;
}

INSTANTIATE_TEST_SUITE_P(Quirks, HostileServer, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<hostile_case> &i) { return i.param.name; });

// The batch export finds its own rows (UID SEARCH, then rows and bodies
// by UID set): the same rule holds there. A run of every folder ends "done"
// only with each folder's archive whole; a sane re-run completes it.
class HostileServerBatchRun : public ::testing::TestWithParam<hostile_case> {};

std::string wait_batch_end() {
  std::string status;
  EXPECT_TRUE(kqtest::exp::wait_for([] { return !kq::batch_active(); }, 120000))
      << "the batch did not end within 120 s";
  status = kq_export_all_status_json();
  return status;
}

TEST_P(HostileServerBatchRun, NoBatchReportsSuccessWithMessagesMissingOrWrong) {
  const hostile_case &k = GetParam();
  FakeImap srv({make_folder("INBOX", k.count, k.layout), make_folder("Other", 30, uids::dense, 21)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  srv.set_quirks(k.quirks);
  ASSERT_EQ(kq_connect(connect_cfg(srv, k.timeout_s).c_str()), 0) << kq_last_error();
  scratch_dir d;
  const std::string cfg = kqtest::exp::config(d.str(), "\"folders\":[\"INBOX\",\"Other\"]");
  {
    SCOPED_TRACE("batch against the faulty server");
    ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
    std::string status = wait_batch_end();
    kq::json_doc doc;
    ASSERT_TRUE(doc.parse(status)) << status;
    long long state = kq::json_num(doc.root(), "state", -1);
    EXPECT_TRUE(state == 2 || state == 4) << status;
    std::map<std::uint32_t, std::string> gone;
    for (const auto &[f, m] : srv.expunged()) gone[m.uid] = m.body;
    for (const char *f : {"INBOX", "Other"}) {
      const char *word = kq::json_str(kq::json_key(doc.root(), "folders"), f);
      if (!word || std::string(word) != "done") continue;
      std::vector<std::string> p = archive_problems(d.str() + "/" + f, bodies(srv.messages(f)), gone);
      EXPECT_TRUE(p.empty()) << f << " reported done, yet " << first_problems(p) << status;
    }
    if (k.must_complete) {
      EXPECT_EQ(state, 2) << "a fault a careful client gets past ended the batch: " << status;
    }
  }
  {
    SCOPED_TRACE("batch against the same server, sane");
    srv.set_quirks(FakeImap::Quirks{});
    ASSERT_TRUE(ensure_connected(srv, k.timeout_s)) << kq_last_error();
    ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
    std::string status = wait_batch_end();
    kq::json_doc doc;
    ASSERT_TRUE(doc.parse(status)) << status;
    EXPECT_EQ(kq::json_num(doc.root(), "state", -1), 2) << status;
    std::map<std::uint32_t, std::string> gone;
    for (const auto &[f, m] : srv.expunged()) gone[m.uid] = m.body;
    for (const char *f : {"INBOX", "Other"}) {
      SCOPED_TRACE(f);
      std::string dir = d.str() + "/" + f;
      std::vector<std::string> p = archive_problems(dir, bodies(srv.messages(f)), gone);
      EXPECT_TRUE(p.empty()) << first_problems(p);
      EXPECT_EQ(kq_verify_dir(dir.c_str()), 0) << kq_last_error();
    }
  }
  if (k.fault) {
    EXPECT_FALSE(srv.faults().empty()) << "the fault never struck: this case tests nothing";
  }
  kq_disconnect();
  srv.stop();
  for (const std::string &n : srv.notes()) std::printf("fake server: %s\n", n.c_str());
}

std::vector<hostile_case> batch_cases() {
  using Q = FakeImap::Quirks;
  std::vector<hostile_case> v;
  auto add = [&v](std::string name, auto set) -> hostile_case & {
    hostile_case c;
    c.name = std::move(name);
    c.count = 300;
    c.layout = uids::gappy;
    set(c.quirks);
    // The second folder stays sane: the batch goes on past the faulty one,
    // and the client's backoffs are paid once.
    c.quirks.only_in_folder = "INBOX";
    v.push_back(std::move(c));
    return v.back();
  };
  add("ThrottledOkDrops", [](Q &q) { q.throttled_ok_drops = 7; }).must_complete = true;
  {
    hostile_case &c = add("OkBeforeLastRecord", [](Q &q) { q.ok_before_last_record = true; });
    c.count = 150;
    c.layout = uids::dense;
  }
  add("NoUnavailableOnce", [](Q &q) { q.no_unavailable_once_for_command_n = 1; }).must_complete = true;
  {
    // The first UID FETCH asks for the rows, the second for bodies: two
    // messages go during it.
    FakeImap::Folder f = make_folder("INBOX", 300, uids::gappy);
    std::vector<std::uint32_t> gone = {f.messages[1].uid, f.messages[280].uid};
    add("NoEsearchExpungeDuringFetch", [gone](Q &q) {
      q.no_esearch = true;
      q.expunge_during_uid_fetch_n = 2;
      q.expunge_uids = gone;
    }).must_complete = true;
  }
  add("NoForLongSets", [](Q &q) { q.no_for_long_sets = 100; }).must_complete = true;
  return v;
}

INSTANTIATE_TEST_SUITE_P(Quirks, HostileServerBatchRun, ::testing::ValuesIn(batch_cases()),
                         [](const ::testing::TestParamInfo<hostile_case> &i) { return i.param.name; });

// Long UID sets are written as several commands: with 2,000 messages whose
// 10-digit UIDs are never adjacent, no command line (CRLF included) exceeds
// 1,000 octets, and the run still archives everything.
TEST(HostileServerLines, EveryCommandLineFitsInAThousandOctets) {
  FakeImap srv({make_folder("INBOX", 2000, uids::ten_digits)});
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(connect_cfg(srv, 10).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_search("INBOX", nullptr), 0) << kq_last_error();
  EXPECT_EQ(kq_search_count(), 2000);
  scratch_dir d;
  ASSERT_EQ(kq_export_start(export_cfg(d.str()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kqtest::exp::wait_end(120000), 2) << kq_last_error();
  std::vector<std::string> p = archive_problems(d.str(), bodies(srv.messages("INBOX")), {});
  EXPECT_TRUE(p.empty()) << first_problems(p);
  kq_disconnect();
  srv.stop();
  std::size_t longest = 0;
  std::string which;
  for (const auto &c : srv.commands()) {
    if (c.octets > longest) longest = c.octets, which = c.line;
  }
  EXPECT_LE(longest, 1000u) << "longest command line: " << which.substr(0, 120) << "...";
}

// A server that refuses LOGIN before TLS: the password never goes out, and
// the failure names the reason.
TEST(HostileServerLogin, LogindisabledKeepsThePasswordOffTheWire) {
  FakeImap srv({make_folder("INBOX", 3, uids::dense)});
  FakeImap::Quirks q;
  q.logindisabled = true;
  srv.set_quirks(q);
  ASSERT_TRUE(srv.start());
  EXPECT_EQ(kq_connect(connect_cfg(srv, 10).c_str()), -1);
  EXPECT_NE(std::string(kq_last_error()).find("LOGINDISABLED"), std::string::npos) << kq_last_error();
  kq_disconnect();
  srv.stop();
  EXPECT_EQ(srv.received_bytes().find("secret-pass"), std::string::npos) << "the password reached the wire";
  EXPECT_FALSE(srv.login_seen());
}

// A folder that is listed but cannot be opened: the batch goes on, the
// other folders are archived whole, the status calls that folder
// "unreadable", and the run ends done.
TEST(HostileServerBatch, UnreadableFolderIsReportedAndTheOthersComplete) {
  FakeImap srv({make_folder("INBOX", 60, uids::gappy), make_folder("Locked", 20, uids::dense, 11),
                make_folder("Archive", 80, uids::dense, 12)});
  FakeImap::Quirks q;
  q.unreadable_folder = "Locked";
  srv.set_quirks(q);
  ASSERT_TRUE(srv.start());
  disconnect_at_end disconnect;
  ASSERT_EQ(kq_connect(connect_cfg(srv, 10).c_str()), 0) << kq_last_error();
  scratch_dir d;
  ASSERT_EQ(kq_export_all_folders(kqtest::exp::config(d.str()).c_str()), 0) << kq_last_error();
  std::string status;
  EXPECT_TRUE(kqtest::exp::wait_for(
      [&] {
        status = kq_export_all_status_json();
        return !kq::batch_active();
      },
      120000))
      << status;
  status = kq_export_all_status_json();
  kq::json_doc doc;
  ASSERT_TRUE(doc.parse(status)) << status;
  EXPECT_EQ(kq::json_num(doc.root(), "state", -1), 2) << status;
  auto word = [&](const char *f) {
    const char *s = kq::json_str(kq::json_key(doc.root(), "folders"), f);
    return std::string(s ? s : "<absent>");
  };
  EXPECT_EQ(word("INBOX"), "done") << status;
  EXPECT_EQ(word("Archive"), "done") << status;
  EXPECT_EQ(word("Locked"), "unreadable") << status;
  for (const char *f : {"INBOX", "Archive"}) {
    SCOPED_TRACE(f);
    std::string dir = d.str() + "/" + f;
    std::vector<std::string> p = archive_problems(dir, bodies(srv.messages(f)), {});
    EXPECT_TRUE(p.empty()) << first_problems(p);
    EXPECT_EQ(kq_verify_dir(dir.c_str()), 0) << kq_last_error();
  }
  kq_disconnect();
  srv.stop();
}

}  // namespace
