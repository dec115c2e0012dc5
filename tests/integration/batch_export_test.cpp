// Batch export of many folders against the real server: per-folder archives
// that verify, the status seen during and after a run, resume, cancel, and
// the refusals of the starting call.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "batch/batch.h"
#include "kerquill.h"
#include "platform/platform.h"
#include "search/search_table.h"
#include "support/dovecot_server.h"
#include "support/script_server.h"

namespace fs = std::filesystem;

namespace {

const std::string k_pass = "batch-pass";
// 2024-03-05 10:00:00 UTC, then one day apart.
constexpr long long k_date0 = 1709632800;

std::string message(const std::string &folder, int n) {
  return "From: Sender " + std::to_string(n) + " <s" + std::to_string(n) +
         "@example.org>\r\nTo: r@example.org\r\nSubject: " + folder + " message " +
         std::to_string(n) + "\r\nDate: Tue, 5 Mar 2024 10:00:00 +0000\r\n\r\nBody of " + folder +
         " number " + std::to_string(n) + ".\r\nFrom here on a line that mbox would quote.\r\n";
}

std::vector<unsigned> fill(kqtest::DovecotServer &dv, const std::string &user,
                           const std::string &folder, int count) {
  std::vector<kqtest::DovecotServer::Message> msgs;
  for (int i = 0; i < count; ++i) msgs.push_back({message(folder, i), k_date0 + 86400LL * i, ""});
  return dv.append_many(user, folder, msgs);
}

struct scratch_dir {
  fs::path path;
  explicit scratch_dir(const std::string &tag) {
    path = fs::temp_directory_path() / ("kq-batch-" + tag + "-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::remove_all(path);
  }
  ~scratch_dir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string str() const { return path.string(); }
};

struct status_view {
  std::string text;
  kq::json_doc doc;
  bool ok = false;
  explicit status_view(std::string t) : text(std::move(t)) { ok = doc.parse(text); }
  long long num(const char *k) { return kq::json_num(doc.root(), k, -99); }
  std::string folder(const char *k) {
    const char *s = kq::json_str(kq::json_key(doc.root(), "folders"), k);
    return s ? s : "<absent>";
  }
  std::size_t folder_count() { return yyjson_obj_size(kq::json_key(doc.root(), "folders")); }
  std::string current() {
    const char *s = kq::json_str(doc.root(), "current");
    return s ? s : "<absent>";
  }
  // Why the run failed ("<absent>" when the text names no reason).
  std::string error() {
    const char *s = kq::json_str(doc.root(), "error");
    return s ? s : "<absent>";
  }
};

// Polls the batch until it leaves state 1; every status text seen is kept.
std::vector<std::string> wait_batch(int timeout_s = 120) {
  std::vector<std::string> seen;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    std::string s = kq_export_all_status_json();
    if (seen.empty() || seen.back() != s) seen.push_back(s);
    status_view v(s);
    if (!v.ok || v.num("state") != 1 || std::chrono::steady_clock::now() > end) return seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
}

std::vector<std::string> manifest_lines(const fs::path &dir) {
  std::vector<std::string> out;
  std::ifstream f(dir / "manifest.jsonl");
  for (std::string l; std::getline(f, l);) out.push_back(l);
  return out;
}

// Verifies an archive and checks every listed file holds the server's bytes.
void expect_archive(kqtest::DovecotServer &dv, const std::string &user, const std::string &folder,
                    const fs::path &dir, std::size_t count) {
  SCOPED_TRACE(folder);
  ASSERT_EQ(kq_verify_dir(dir.string().c_str()), 0) << kq_last_error();
  status_view r(kq_verify_report_json());
  EXPECT_EQ(r.num("ok"), static_cast<long long>(count)) << r.text;
  EXPECT_EQ(r.num("total"), static_cast<long long>(count)) << r.text;
  auto lines = manifest_lines(dir);
  ASSERT_EQ(lines.size(), count);
  for (const auto &l : lines) {
    kq::json_doc d;
    ASSERT_TRUE(d.parse(l));
    auto uid = static_cast<unsigned>(kq::json_num(d.root(), "uid", 0));
    std::string file = kq::json_str(d.root(), "file");
    // The default naming files each message under its year and month.
    EXPECT_TRUE(file.starts_with("2024-03/uid-")) << file;
    std::ifstream f(dir / file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, dv.fetch_raw(user, folder, uid));
  }
}

class BatchExport : public ::testing::Test {
 protected:
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  std::string user;

  void SetUp() override {
    ASSERT_TRUE(dv.running()) << dv.start_error();
    user = dv.unique_user("batch");
    ASSERT_TRUE(dv.add_user(user, k_pass));
  }
  void TearDown() override {
    // Leave nothing running for the next test.
    for (int i = 0; i < 400 && status_view(kq_export_all_status_json()).num("state") == 1; ++i) {
      kq_export_cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kq_disconnect();
  }
  void connect() { ASSERT_EQ(kq_connect(kqtest::connect_json(user, k_pass, false).c_str()), 0) << kq_last_error(); }
};

}  // namespace

TEST_F(BatchExport, ListedFoldersWithAnEmptyOneInTheMiddle) {
  ASSERT_TRUE(dv.create_folder(user, "Alpha"));
  ASSERT_TRUE(dv.create_folder(user, "Empty"));
  ASSERT_TRUE(dv.create_folder(user, "Parent"));
  ASSERT_TRUE(dv.create_folder(user, "Parent/Child"));
  ASSERT_EQ(fill(dv, user, "Alpha", 3).size(), 3u);
  ASSERT_EQ(fill(dv, user, "Parent/Child", 4).size(), 4u);
  connect();
  scratch_dir d("listed");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str() + "/") +
                    ",\"folders\":[\"Alpha\",\"Empty\",\"Parent/Child\"]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  auto seen = wait_batch();

  bool third_running = false;
  for (const auto &s : seen) {
    status_view v(s);
    ASSERT_TRUE(v.ok) << s;
    if (v.num("state") != 1) continue;
    if (v.num("folder_idx") == 2) {
      // The empty folder counts as done once the next one runs, but it is
      // not among the folders exported.
      EXPECT_EQ(v.folder("Alpha"), "done") << s;
      EXPECT_EQ(v.folder("Empty"), "done") << s;
      EXPECT_EQ(v.folder("Parent_Child"), "running") << s;
      EXPECT_EQ(v.num("done_folders"), 1) << s;
      EXPECT_EQ(v.current(), "folder 3/3: Parent/Child") << s;
      third_running = true;
    }
    if (v.num("folder_idx") == 0) {
      EXPECT_EQ(v.folder("Empty"), "pending") << s;
    }
  }
  // A fast run may end between two polls; what was seen must be consistent.
  (void)third_running;
  status_view end(seen.back());
  EXPECT_EQ(end.text, "{\"state\":2,\"folder_idx\":2,\"done_folders\":2,\"current\":\"\","
                      "\"folders\":{\"Alpha\":\"done\",\"Empty\":\"done\",\"Parent_Child\":\"done\"}}");

  expect_archive(dv, user, "Alpha", d.path / "Alpha", 3);
  expect_archive(dv, user, "Parent/Child", d.path / "Parent_Child", 4);
  EXPECT_FALSE(fs::exists(d.path / "Empty"));
  EXPECT_FALSE(fs::exists(d.path / "Parent"));
  EXPECT_EQ(std::string(kq_archive_stats_json((d.path / "Alpha").string().c_str())),
            "{\"messages\":3,\"bytes\":" +
                std::to_string(message("Alpha", 0).size() * 3) +
                ",\"oldest\":\"2024-03-05\",\"newest\":\"2024-03-07\",\"unreadable_lines\":0,\"duplicates\":0}");
}

TEST_F(BatchExport, EveryServerFolderWhenNoneListedThenResumeAddsNothing) {
  ASSERT_TRUE(dv.create_folder(user, "Work"));
  // "Lone" exists only as the unselectable parent of "Lone/Kid"; "Lone_Kid"
  // would share Lone/Kid's directory name.
  ASSERT_TRUE(dv.create_folder(user, "Lone/Kid"));
  ASSERT_TRUE(dv.create_folder(user, "Lone_Kid"));
  ASSERT_EQ(fill(dv, user, "INBOX", 2).size(), 2u);
  ASSERT_EQ(fill(dv, user, "Work", 1).size(), 1u);
  ASSERT_EQ(fill(dv, user, "Lone/Kid", 2).size(), 2u);
  ASSERT_EQ(fill(dv, user, "Lone_Kid", 3).size(), 3u);
  connect();
  scratch_dir d("all");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  ASSERT_EQ(end.num("state"), 2) << end.text << " " << kq_last_error();
  EXPECT_EQ(end.num("done_folders"), 4) << end.text;
  EXPECT_EQ(end.folder_count(), 5u) << end.text;
  EXPECT_EQ(end.folder("Lone"), "done") << end.text;

  expect_archive(dv, user, "INBOX", d.path / "INBOX", 2);
  expect_archive(dv, user, "Work", d.path / "Work", 1);
  // Whichever of the two came first keeps the plain name.
  std::set<std::size_t> sizes{manifest_lines(d.path / "Lone_Kid").size(),
                              manifest_lines(d.path / "Lone_Kid~2").size()};
  EXPECT_EQ(sizes, (std::set<std::size_t>{2, 3}));
  EXPECT_EQ(end.folder("Lone_Kid~2"), "done") << end.text;
  EXPECT_EQ(kq_verify_dir((d.path / "Lone_Kid~2").string().c_str()), 0);
  EXPECT_EQ(status_view(kq_verify_report_json()).num("corrupt"), 0);
  EXPECT_FALSE(fs::exists(d.path / "Lone"));

  // The same batch again: every job finds its messages recorded.
  auto before = manifest_lines(d.path / "INBOX");
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view again(wait_batch().back());
  EXPECT_EQ(again.num("state"), 2) << again.text;
  EXPECT_EQ(again.num("done_folders"), 4) << again.text;
  EXPECT_EQ(manifest_lines(d.path / "INBOX"), before);
  kq::json_doc stats;
  ASSERT_TRUE(stats.parse(std::string(kq_export_stats_json())));
  EXPECT_EQ(kq::json_num(stats.root(), "done", -1), 0) << kq_export_stats_json();
  EXPECT_EQ(kq::json_num(stats.root(), "total", -1), 0) << kq_export_stats_json();
  expect_archive(dv, user, "Work", d.path / "Work", 1);
}

TEST_F(BatchExport, PauseHoldsTheBatchAndCancelEndsIt) {
  ASSERT_TRUE(dv.create_folder(user, "Big"));
  ASSERT_TRUE(dv.create_folder(user, "Other"));
  ASSERT_EQ(fill(dv, user, "Big", 400).size(), 400u);
  ASSERT_EQ(fill(dv, user, "Other", 1).size(), 1u);
  connect();
  scratch_dir d("cancel");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[\"Big\",\"Other\"]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();

  // The job starts once the folder's search is done; pause it when a few
  // messages are stored.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto done = [] {
    kq::json_doc s;
    return s.parse(std::string(kq_export_stats_json())) ? kq::json_num(s.root(), "done", 0) : 0;
  };
  while ((done() < 5 || kq_export_pause() != 0) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (kq_export_status() != 3 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(kq_export_status(), 3);

  // Paused, the batch waits on the folder.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  status_view held(kq_export_all_status_json());
  EXPECT_EQ(held.text, "{\"state\":1,\"folder_idx\":0,\"done_folders\":0,\"current\":\"folder 1/2: Big\","
                       "\"folders\":{\"Big\":\"running\",\"Other\":\"pending\"}}");
  // A second batch cannot start over the running one, nor clear its status.
  EXPECT_EQ(kq_export_all_folders(cfg.c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "batch already running");
  EXPECT_EQ(status_view(kq_export_all_status_json()).text, held.text);

  ASSERT_EQ(kq_export_cancel(), 0);
  status_view end(wait_batch(30).back());
  EXPECT_EQ(end.text, "{\"state\":4,\"folder_idx\":0,\"done_folders\":0,\"current\":\"folder 1/2: Big\","
                      "\"folders\":{\"Big\":\"error\",\"Other\":\"pending\"},\"error\":\"export Big cancelled\"}");
  EXPECT_FALSE(fs::exists(d.path / "Other"));

  // What was stored before the cancel is intact.
  ASSERT_EQ(kq_verify_dir((d.path / "Big").string().c_str()), 0);
  status_view r(kq_verify_report_json());
  EXPECT_EQ(r.num("ok"), r.num("total")) << r.text;
  EXPECT_GE(r.num("total"), 5) << r.text;
  EXPECT_LT(r.num("total"), 400) << r.text;
}

TEST_F(BatchExport, FolderLargerThanTheResultTableIsExportedInParts) {
  ASSERT_TRUE(dv.create_folder(user, "Many"));
  ASSERT_EQ(fill(dv, user, "Many", 7).size(), 7u);
  connect();
  const int saved = kq::search_state::instance().cap;
  kq::search_state::instance().cap = 3;  // stands in for the 200000-row limit
  scratch_dir d("parts");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[\"Many\"]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  EXPECT_EQ(end.num("state"), 2) << end.text << " " << kq_last_error();
  EXPECT_EQ(end.num("done_folders"), 1);
  expect_archive(dv, user, "Many", d.path / "Many", 7);

  // Without resume the parts cannot share one archive: the run says so
  // instead of reporting a cut folder as done.
  scratch_dir d2("parts-noresume");
  std::string cfg2 = "{\"dir\":" + kqtest::json_quote(d2.str()) + ",\"folders\":[\"Many\"],\"resume\":0}";
  ASSERT_EQ(kq_export_all_folders(cfg2.c_str()), 0) << kq_last_error();
  status_view end2(wait_batch().back());
  kq::search_state::instance().cap = saved;
  EXPECT_EQ(end2.num("state"), 4) << end2.text;
  EXPECT_EQ(end2.folder("Many"), "error");
  EXPECT_EQ(end2.error(), "export Many incomplete: more than 3 messages");
}

TEST_F(BatchExport, SinceKeepsTheLaterMessagesAndARunWithoutItAddsTheEarlierOnes) {
  ASSERT_TRUE(dv.create_folder(user, "Alpha"));
  // Received 2024-03-05 to 2024-03-08, one a day.
  std::vector<unsigned> uids = fill(dv, user, "Alpha", 4);
  ASSERT_EQ(uids.size(), 4u);
  connect();
  scratch_dir d("since");
  const std::string dir = kqtest::json_quote(d.str());
  std::string cfg = "{\"dir\":" + dir + ",\"folders\":[\"Alpha\"],\"since\":\"2024-03-07\"}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view first(wait_batch().back());
  ASSERT_EQ(first.num("state"), 2) << first.text;
  std::set<unsigned> stored;
  for (const auto &l : manifest_lines(d.path / "Alpha")) {
    kq::json_doc line;
    ASSERT_TRUE(line.parse(l));
    stored.insert(static_cast<unsigned>(kq::json_num(line.root(), "uid", 0)));
  }
  EXPECT_EQ(stored, (std::set<unsigned>{uids[2], uids[3]}));

  // Without the day the same archive gets the two it lacks, once each. The
  // batch thread may still be letting go of its directory after it
  // published the end: the start is refused until it has.
  const std::string all = "{\"dir\":" + dir + ",\"folders\":[\"Alpha\"]}";
  for (int i = 0; i < 3000 && kq_export_all_folders(all.c_str()) != 0; ++i) {
    ASSERT_STREQ(kq_last_error(), "batch already running");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  status_view second(wait_batch().back());
  ASSERT_EQ(second.num("state"), 2) << second.text;
  expect_archive(dv, user, "Alpha", d.path / "Alpha", 4);
}

TEST_F(BatchExport, SinceThatIsNoDayIsRefusedAtTheStart) {
  connect();
  scratch_dir d("since-bad");
  // Not a text, a day that does not exist, another spelling, a day with more
  // after it.
  for (const char *since : {"7", "\"2024-02-30\"", "\"2024-3-1\"", "\"2024-03-01 \"",
                            "\"2024-03-01\\\",\\\"x\\\":\\\"\""}) {
    SCOPED_TRACE(since);
    std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"since\":" + since + "}";
    EXPECT_EQ(kq_export_all_folders(cfg.c_str()), -1);
    EXPECT_STREQ(kq_last_error(), "bad since");
  }
  EXPECT_FALSE(fs::exists(d.path));
}

TEST_F(BatchExport, StartRefusals) {
  ASSERT_TRUE(dv.create_folder(user, "Alpha"));
  ASSERT_EQ(fill(dv, user, "Alpha", 1).size(), 1u);
  scratch_dir d("refuse");
  const std::string dir = kqtest::json_quote(d.str());
  EXPECT_EQ(kq_export_all_folders(("{\"dir\":" + dir + "}").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  connect();

  // A finished batch first, whose status the refusals below then clear.
  ASSERT_EQ(kq_export_all_folders(("{\"dir\":" + dir + ",\"folders\":[1,\"Alpha\",null,\"Alpha\"]}").c_str()), 0);
  status_view done(wait_batch().back());
  EXPECT_EQ(done.text, "{\"state\":2,\"folder_idx\":0,\"done_folders\":1,\"current\":\"\","
                       "\"folders\":{\"Alpha\":\"done\"}}");
  const std::string none = "{\"state\":0,\"folder_idx\":0,\"done_folders\":0,\"current\":\"\",\"folders\":{}}";

  EXPECT_EQ(kq_export_all_folders(nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "empty config");
  EXPECT_EQ(std::string(kq_export_all_status_json()), none);
  ASSERT_EQ(kq_export_all_folders(("{\"dir\":" + dir + "}").c_str()), 0);
  wait_batch();
  EXPECT_EQ(kq_export_all_folders(""), -1);
  EXPECT_EQ(std::string(kq_export_all_status_json()), none);
  EXPECT_EQ(kq_export_all_folders("{\"dir\":"), -1);
  EXPECT_STREQ(kq_last_error(), "invalid batch config JSON");
  EXPECT_EQ(kq_export_all_folders("{\"dir\":7,\"folders\":[\"Alpha\"]}"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing dir");
  EXPECT_EQ(kq_export_all_folders("[\"dir\"]"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing dir");
  EXPECT_EQ(kq_export_all_folders(("{\"dir\":\"" + std::string(4096, 'd') + "\"}").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "dir too long");
  // A list with no usable name does not turn into "every folder".
  EXPECT_EQ(kq_export_all_folders(("{\"dir\":" + dir + ",\"folders\":[1,{}]}").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "no folders found");
  EXPECT_EQ(std::string(kq_export_all_status_json()), none);

  // Settings read before the start failed show how they were taken;
  // "parallel" is accepted and has no effect.
  EXPECT_EQ(kq_export_all_folders("{\"parallel\":3.7,\"resume\":true,\"manifest\":5}"), -1);
  EXPECT_FALSE(kq::the_batch().opt.resume);
  EXPECT_TRUE(kq::the_batch().opt.manifest);
  EXPECT_EQ(kq_export_all_folders("{\"parallel\":9,\"naming\":false}"), -1);
  EXPECT_TRUE(kq::the_batch().opt.resume);
  EXPECT_EQ(kq::the_batch().opt.naming, "YYYY\\MM\\uid");

  // Folder names stay when the start fails later: they show as pending.
  EXPECT_EQ(kq_export_all_folders("{\"folders\":[\"Alpha\"]}"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing dir");
  EXPECT_EQ(std::string(kq_export_all_status_json()),
            "{\"state\":0,\"folder_idx\":0,\"done_folders\":0,\"current\":\"\",\"folders\":{\"Alpha\":\"pending\"}}");

  // A folder the host names that the server does not have fails the run.
  ASSERT_EQ(kq_export_all_folders(("{\"dir\":" + dir + ",\"folders\":[\"Alpha\",\"Nope\"]}").c_str()), 0);
  status_view bad(wait_batch().back());
  EXPECT_EQ(bad.num("state"), 4);
  EXPECT_EQ(bad.num("done_folders"), 1);
  EXPECT_EQ(bad.folder("Alpha"), "done");
  EXPECT_EQ(bad.folder("Nope"), "error");
  EXPECT_TRUE(bad.error().starts_with("search Nope failed: cannot open mailbox Nope: Mailbox doesn't exist"))
      << bad.text;
}

namespace {

// A one-message IMAP server whose one folder is named "..": no real server
// accepts that name, but a hostile one may list it.
std::string answer(const std::string &line) {
  static const std::string msg = message("dots", 1);
  std::string tag = line.substr(0, line.find(' '));
  std::string cmd = line.substr(tag.size() + 1);
  auto ok = [&](const std::string &untagged) { return untagged + tag + " OK done\r\n"; };
  if (cmd.starts_with("CAPABILITY")) return ok("* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n");
  if (cmd.starts_with("EXAMINE") || cmd.starts_with("SELECT"))
    return ok("* 1 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n* OK [UIDNEXT 2] ok\r\n");
  if (cmd.starts_with("LOGOUT")) return ok("* BYE bye\r\n");
  if (cmd.starts_with("UID SEARCH")) return ok("* SEARCH 1\r\n");
  if (cmd.find("FETCH") == std::string::npos) return ok("");
  if (cmd.find("BODY.PEEK[]") != std::string::npos)
    return ok("* 1 FETCH (UID 1 BODY[] {" + std::to_string(msg.size()) + "}\r\n" + msg + ")\r\n");
  if (cmd.find("HEADER.FIELDS") != std::string::npos) {
    std::string head = msg.substr(0, msg.find("\r\n\r\n") + 4);
    return ok("* 1 FETCH (UID 1 RFC822.SIZE " + std::to_string(msg.size()) +
              " INTERNALDATE \"05-Mar-2024 10:00:00 +0000\" BODY[HEADER.FIELDS (FROM TO SUBJECT DATE)] {" +
              std::to_string(head.size()) + "}\r\n" + head + ")\r\n");
  }
  // Only UID 1 (message 1) exists.
  return ok("* 1 FETCH (UID 1)\r\n");
}

}  // namespace

TEST(BatchExportScripted, FolderNamedDotDotStaysInsideTheBatchDirectory) {
  kqtest::ScriptServer srv;
  srv.send("* OK scripted\r\n");
  for (int i = 0; i < 60; ++i) srv.expect_line().send_fn(answer);
  ASSERT_TRUE(srv.start());
  scratch_dir d("dots");
  const fs::path batch = d.path / "batch";
  std::string conn = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port()) +
                     ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
  ASSERT_EQ(kq_connect(conn.c_str()), 0) << kq_last_error();
  std::string cfg = "{\"dir\":" + kqtest::json_quote(batch.string()) + ",\"folders\":[\"..\"],\"naming\":\"flat\"}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch(60).back());
  kq_disconnect();
  srv.stop();
  // Windows would strip "_.." to "_", so there it is made "_._".
  const std::string sub = kq::plat::windows_file_names() ? "_._" : "_..";
  EXPECT_EQ(end.text, "{\"state\":2,\"folder_idx\":0,\"done_folders\":1,\"current\":\"\","
                      "\"folders\":{\"" + sub + "\":\"done\"}}")
      << kq_last_error();
  EXPECT_TRUE(fs::exists(batch / sub / "uid-1.eml"));
  ASSERT_EQ(kq_verify_dir((batch / sub).string().c_str()), 0);
  EXPECT_EQ(status_view(kq_verify_report_json()).num("ok"), 1);
  // Nothing landed next to the batch directory.
  for (const auto &e : fs::directory_iterator(d.path)) EXPECT_EQ(e.path(), batch);
}

TEST_F(BatchExport, FolderThatCannotBeOpenedIsAnErrorWithItsReasonAndTheOthersAreExported) {
  ASSERT_TRUE(dv.create_folder(user, "Alpha"));
  ASSERT_TRUE(dv.create_folder(user, "Beta"));
  ASSERT_EQ(fill(dv, user, "Alpha", 2).size(), 2u);
  ASSERT_EQ(fill(dv, user, "Beta", 3).size(), 3u);
  connect();
  scratch_dir d("unopenable");
  // "Gone" is not on the server: opening it fails, which is no \Noselect.
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[\"Alpha\",\"Gone\",\"Beta\"]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  ASSERT_TRUE(end.ok) << end.text;
  // Not reported as finished: one folder is missing from the archive.
  EXPECT_EQ(end.num("state"), 4) << end.text;
  EXPECT_EQ(end.num("done_folders"), 2) << end.text;
  EXPECT_EQ(end.folder("Alpha"), "done") << end.text;
  EXPECT_EQ(end.folder("Gone"), "error") << end.text;
  EXPECT_EQ(end.folder("Beta"), "done") << end.text;
  const char *why = kq::json_str(kq::json_key(end.doc.root(), "errors"), "Gone");
  ASSERT_NE(why, nullptr) << end.text;
  EXPECT_NE(std::string(why).find("cannot open mailbox Gone"), std::string::npos) << why;
  EXPECT_EQ(end.error(), why);
  expect_archive(dv, user, "Alpha", d.path / "Alpha", 2);
  expect_archive(dv, user, "Beta", d.path / "Beta", 3);
}

TEST_F(BatchExport, OnlyFoldersTheServerFlagsNoselectAreSkippedFromItsListing) {
  // Dovecot lists the parent of a folder created on its own as \Noselect
  // (or \NonExistent); the batch passes it over without an error.
  ASSERT_TRUE(dv.create_folder(user, "Top/Leaf"));
  ASSERT_EQ(fill(dv, user, "Top/Leaf", 2).size(), 2u);
  connect();
  std::string listing = kq_folders_json();
  scratch_dir d("noselect");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + "}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  ASSERT_TRUE(end.ok) << end.text;
  EXPECT_EQ(end.num("state"), 2) << end.text << "\n" << listing;
  EXPECT_EQ(end.text.find("\"errors\""), std::string::npos) << end.text;
  expect_archive(dv, user, "Top/Leaf", d.path / "Top_Leaf", 2);
}

TEST_F(BatchExport, ListedFolderTheServerWillNotOpenIsPassedOverButANamedOneFails) {
  ASSERT_TRUE(dv.create_folder(user, "Locked"));
  ASSERT_TRUE(dv.create_folder(user, "Open"));
  ASSERT_EQ(fill(dv, user, "INBOX", 2).size(), 2u);
  ASSERT_EQ(fill(dv, user, "Locked", 1).size(), 1u);
  ASSERT_EQ(fill(dv, user, "Open", 3).size(), 3u);
  // The server still lists the folder but can no longer read it.
  const std::string locked = dv.folder_path(user, "Locked");
  ASSERT_TRUE(kqtest::platform::set_mode(locked, 0));
  connect();
  scratch_dir d("unreadable");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + "}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  ASSERT_TRUE(end.ok) << end.text;
  // Everything readable was exported, so the run is complete.
  EXPECT_EQ(end.num("state"), 2) << end.text;
  EXPECT_EQ(end.num("done_folders"), 2) << end.text;
  EXPECT_EQ(end.folder("Locked"), "unreadable") << end.text;
  EXPECT_EQ(end.num("unreadable_folders"), 1) << end.text;
  EXPECT_EQ(end.text.find("\"errors\""), std::string::npos) << end.text;
  // The server's own text, without the library's words around it.
  const char *why = kq::json_str(kq::json_key(end.doc.root(), "unreadable"), "Locked");
  ASSERT_NE(why, nullptr) << end.text;
  EXPECT_FALSE(std::string(why).empty());
  EXPECT_EQ(std::string(why).find("cannot open mailbox"), std::string::npos) << why;
  EXPECT_FALSE(fs::exists(d.path / "Locked" / "manifest.jsonl"));
  expect_archive(dv, user, "INBOX", d.path / "INBOX", 2);
  expect_archive(dv, user, "Open", d.path / "Open", 3);

  // Named by the host, the same folder is one the run could not export.
  std::string named = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[\"Locked\",\"Open\"]}";
  ASSERT_EQ(kq_export_all_folders(named.c_str()), 0) << kq_last_error();
  status_view failed(wait_batch().back());
  EXPECT_TRUE(kqtest::platform::set_mode(locked, 0700));
  EXPECT_EQ(failed.num("state"), 4) << failed.text;
  EXPECT_EQ(failed.folder("Locked"), "error") << failed.text;
  EXPECT_EQ(failed.folder("Open"), "done") << failed.text;
  EXPECT_EQ(failed.text.find("\"unreadable\""), std::string::npos) << failed.text;
  EXPECT_TRUE(failed.error().starts_with("search Locked failed: cannot open mailbox Locked: ")) << failed.text;
}

TEST(BatchExportScripted, RefusedFolderKeepsTheServersTextButARefusalForNowOrALostConnectionIsAnError) {
  kqtest::ScriptServer srv;
  srv.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in")
      .expect_line()  // LIST
      .send("* LIST () \"/\" Locked\r\n* LIST () \"/\" Busy\r\n* LIST () \"/\" Gone\r\n"
            "* LIST () \"/\" Later\r\n")
      .send_tagged("OK listed")
      // STATUS of the folders ahead, which tells nothing here.
      .expect_line()
      .send_tagged("NO [NOPERM] Permission denied")
      .expect_line()
      .send_tagged("NO [UNAVAILABLE] Try again later")
      .expect_line()
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK done")
      // As an access list that shows a folder but grants no right to read it.
      .expect_line()
      .send_tagged("NO [NOPERM] Permission denied")
      .expect_line()
      .send_tagged("NO [NOPERM] Permission denied")
      // Readable later: no folder to pass over.
      .expect_line()
      .send_tagged("NO [UNAVAILABLE] Try again later")
      .expect_line()
      .send_tagged("NO [UNAVAILABLE] Try again later")
      // The connection drops while the next folder is opened, and every
      // attempt to connect again is turned away at the greeting.
      .expect_line()
      .close();
  for (int i = 0; i < 3; ++i) srv.send("* BYE too busy\r\n").close();
  ASSERT_TRUE(srv.start());
  scratch_dir d("refused");
  std::string conn = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port()) +
                     ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
  ASSERT_EQ(kq_connect(conn.c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_export_all_folders(("{\"dir\":" + kqtest::json_quote(d.str()) + "}").c_str()), 0) << kq_last_error();
  status_view end(wait_batch(60).back());
  std::string why = end.error();
  kq_disconnect();
  srv.stop();
  EXPECT_TRUE(srv.errors().empty()) << srv.errors().front();
  EXPECT_EQ(srv.connections(), 4);
  std::vector<std::string> got = srv.received();
  ASSERT_EQ(got.size(), 12u);
  EXPECT_TRUE(got[3].ends_with(" STATUS \"Locked\" (MESSAGES UIDNEXT UIDVALIDITY)")) << got[3];
  EXPECT_TRUE(got[6].ends_with(" STATUS \"Later\" (MESSAGES UIDNEXT UIDVALIDITY)")) << got[6];
  // A refused EXAMINE is followed by SELECT alone, as it always was.
  EXPECT_TRUE(got[7].ends_with(" EXAMINE \"Locked\"")) << got[7];
  EXPECT_TRUE(got[8].ends_with(" SELECT \"Locked\"")) << got[8];
  EXPECT_TRUE(got[9].ends_with(" EXAMINE \"Busy\"")) << got[9];
  EXPECT_TRUE(got[10].ends_with(" SELECT \"Busy\"")) << got[10];
  EXPECT_TRUE(got[11].ends_with(" EXAMINE \"Gone\"")) << got[11];
  ASSERT_TRUE(end.ok) << end.text;
  EXPECT_EQ(end.num("state"), 4) << end.text;
  EXPECT_EQ(end.folder("Locked"), "unreadable") << end.text;
  EXPECT_STREQ(kq::json_str(kq::json_key(end.doc.root(), "unreadable"), "Locked"), "[NOPERM] Permission denied")
      << end.text;
  EXPECT_EQ(end.folder("Busy"), "error") << end.text;
  EXPECT_STREQ(kq::json_str(kq::json_key(end.doc.root(), "errors"), "Busy"),
               "search Busy failed: cannot open mailbox Busy: [UNAVAILABLE] Try again later")
      << end.text;
  EXPECT_EQ(end.num("unreadable_folders"), 1) << end.text;
  EXPECT_EQ(end.folder("Gone"), "error") << end.text;
  EXPECT_EQ(end.folder("Later"), "pending") << end.text;
  EXPECT_TRUE(why.starts_with("search Gone failed: cannot open mailbox Gone: ")) << why;
}

// Another run holding the archive: the batch and a folder's job are refused
// at once with its pid and touch nothing; the batch's own hold ends with it.
TEST_F(BatchExport, AHeldArchiveIsRefusedUntilItsHolderLetsGo) {
  ASSERT_TRUE(dv.create_folder(user, "Alpha"));
  ASSERT_EQ(fill(dv, user, "Alpha", 2).size(), 2u);
  connect();
  scratch_dir d("held");
  const std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[\"Alpha\"]}";
  const std::string busy = "archive " + d.str() + " is in use by another run (pid " +
                           std::to_string(kq::plat::process_id()) + ")";
  {
    fs::create_directories(d.path);
    kq::plat::dir_lock other;
    long pid;
    int err;
    ASSERT_EQ(other.acquire(d.str().c_str(), ".kerquill.lock", &pid, &err), kq::plat::dir_lock::held);
    EXPECT_EQ(kq_export_all_folders(cfg.c_str()), -1);
    EXPECT_EQ(std::string(kq_last_error()), busy);
    EXPECT_FALSE(fs::exists(d.path / "Alpha"));
  }
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  EXPECT_EQ(status_view(wait_batch().back()).num("state"), 2);
  expect_archive(dv, user, "Alpha", d.path / "Alpha", 2);

  // One folder's archive held: that folder fails by name, nothing in it changes.
  const auto manifest_before = manifest_lines(d.path / "Alpha");
  kq::plat::dir_lock other;
  long pid;
  int err;
  ASSERT_EQ(other.acquire((d.path / "Alpha").string().c_str(), ".kerquill.lock", &pid, &err),
            kq::plat::dir_lock::held);
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  EXPECT_EQ(end.num("state"), 4) << end.text;
  EXPECT_NE(end.error().find("is in use by another run"), std::string::npos) << end.text;
  EXPECT_EQ(manifest_lines(d.path / "Alpha"), manifest_before);
}

// Many small folders in one run, as the batch looks ahead over them: one the
// server lists but will not open, one empty, the rest exported whole; a
// second run after new mail reached one folder adds just that message.
// (Once refused, Dovecot lists the shut folder \Noselect from then on, so
// it stays shut for both runs.)
TEST_F(BatchExport, ManySmallFoldersThenNewMailInOne) {
  std::vector<std::string> names;
  for (int f = 0; f < 20; ++f) {
    names.push_back("Box" + std::to_string(f));
    ASSERT_TRUE(dv.create_folder(user, names.back()));
    ASSERT_EQ(fill(dv, user, names.back(), 1 + f % 3).size(), static_cast<std::size_t>(1 + f % 3));
  }
  ASSERT_TRUE(dv.create_folder(user, "Hollow"));
  ASSERT_TRUE(dv.create_folder(user, "Shut"));
  ASSERT_EQ(fill(dv, user, "Shut", 2).size(), 2u);
  const std::string shut = dv.folder_path(user, "Shut");
  ASSERT_TRUE(kqtest::platform::set_mode(shut, 0));
  connect();
  scratch_dir d("many");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + "}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view end(wait_batch().back());
  ASSERT_TRUE(end.ok) << end.text;
  EXPECT_EQ(end.num("state"), 2) << end.text;
  // INBOX and Hollow hold nothing: the 20 boxes are the folders exported.
  EXPECT_EQ(end.num("done_folders"), 20) << end.text;
  EXPECT_EQ(end.folder("Shut"), "unreadable") << end.text;
  EXPECT_EQ(end.folder("Hollow"), "done") << end.text;
  EXPECT_FALSE(fs::exists(d.path / "Hollow"));
  for (int f = 0; f < 20; ++f)
    expect_archive(dv, user, names[f], d.path / names[f], static_cast<std::size_t>(1 + f % 3));

  // New mail in one folder.
  std::vector<kqtest::DovecotServer::Message> more{{message("Box7", 9), k_date0 + 86400LL * 9, ""}};
  ASSERT_EQ(dv.append_many(user, "Box7", more).size(), 1u);
  auto box3 = manifest_lines(d.path / "Box3");
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  status_view again(wait_batch().back());
  EXPECT_EQ(again.num("state"), 2) << again.text;
  EXPECT_TRUE(kqtest::platform::set_mode(shut, 0700));
  EXPECT_EQ(again.text.find("\"errors\""), std::string::npos) << again.text;
  EXPECT_FALSE(fs::exists(d.path / "Shut" / "manifest.jsonl"));
  EXPECT_EQ(manifest_lines(d.path / "Box3"), box3);
  for (int f = 0; f < 20; ++f)
    expect_archive(dv, user, names[f], d.path / names[f], static_cast<std::size_t>(1 + f % 3 + (f == 7)));
}
