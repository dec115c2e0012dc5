// A process that exports is killed (SIGKILL) at several points; a new export
// with resume on must then complete the archive with every message exactly
// once and every manifest line verifying.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "export/export_job.h"
#include "export_support.h"
#include "support/platform/child_process.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

const char *env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

std::size_t manifest_lines(const std::string &dir) {
  std::string text = read_all(dir + "/manifest.jsonl");
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

// The child's side: started only by the test below, through the binary's
// own path, with the job described in its environment.
TEST(ExportKillChild, DISABLED_RunExport) {
  ASSERT_EQ(kq_connect(env("KQ_EXPORT_CHILD_CONNECT")), 0) << kq_last_error();
  ASSERT_EQ(kq_search(env("KQ_EXPORT_CHILD_FOLDER"), nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_export_start(env("KQ_EXPORT_CHILD_CONFIG")), 0) << kq_last_error();
  EXPECT_EQ(wait_end(120000), 2) << kq_last_error();
}

TEST(ExportKill, KilledProcessesLeaveAnArchiveTheNextJobCompletes) {
  DovecotServer &dv = shared_dovecot();
  ASSERT_TRUE(dv.running()) << dv.start_error();
  std::string user = dv.unique_user("export-kill");
  ASSERT_TRUE(dv.add_user(user, "pw-kill"));
  const std::string folder = "Kill";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<std::pair<std::string, long long>> in;
  for (int i = 0; i < 400; ++i)
    in.push_back({make_message(i, 2000 + (i * 977) % 6000, "kill " + std::to_string(i), i % 9 != 4),
                  1500000000 + i * 86400LL * 5});
  std::vector<stored> msgs = append_all(dv, user, folder, in);
  ASSERT_EQ(msgs.size(), 400u);

  scratch_dir work;
  std::string archive = work.file("archive");
  std::string cfg = config(archive, "\"format\":\"eml+mbox\",\"naming\":\"yyyy\"");
  std::vector<std::pair<std::string, std::string>> child_env = {
      {"KQ_EXPORT_CHILD_FOLDER", folder},
      {"KQ_EXPORT_CHILD_CONNECT", connect_json(user, "pw-kill", false)},
      {"KQ_EXPORT_CHILD_CONFIG", cfg}};
  std::vector<std::string> argv = {platform::self_executable(), "--gtest_also_run_disabled_tests",
                                   "--gtest_filter=ExportKillChild.DISABLED_RunExport"};

  // Kill as soon as the manifest holds this many lines (0: at once).
  int finished = 0;
  for (std::size_t point : {0u, 3u, 41u, 42u, 150u, 151u, 320u}) {
    SCOPED_TRACE("kill at " + std::to_string(point) + " lines");
    platform::child_process child;
    ASSERT_TRUE(child.start(argv, child_env, work.file("child.log")));
    bool reached = wait_for([&] { return !child.running() || manifest_lines(archive) >= point; }, 60000);
    ASSERT_TRUE(reached) << read_all(work.file("child.log"));
    if (child.running()) child.kill_now();
    else finished += child.wait_exit(1000) == 0;
  }
  // Some runs may have finished before their kill; most must have died.
  EXPECT_LE(finished, 2) << read_all(work.file("child.log"));
  // Even before the archive is completed, every line it lists verifies.
  ASSERT_EQ(kq_verify_dir(archive.c_str()), 0) << kq_last_error();
  std::string n = std::to_string(manifest_lines(archive));
  EXPECT_EQ(std::string(kq_verify_report_json()),
            "{\"ok\":" + n + ",\"missing\":0,\"corrupt\":0,\"total\":" + n + ",\"files\":[],\"unreadable_lines\":0,\"duplicates\":0,\"unlisted\":0,\"resume\":\"read\",\"intact\":true,\"bad_lines\":[],\"duplicate_uids\":[],\"unlisted_uids\":[]}");

  ASSERT_EQ(kq_connect(connect_json(user, "pw-kill", false).c_str()), 0) << kq_last_error();
  search_all(folder, msgs.size());
  ASSERT_EQ(kq_export_start(cfg.c_str()), 0) << kq_last_error();
  ASSERT_EQ(wait_end(), 2) << kq_last_error();
  expect_archive(archive, folder, msgs, true);
  EXPECT_EQ(python_mbox_check(archive), "ok 400\n");
  EXPECT_EQ(snail_count(archive), 400);
  // Nothing left to do for a further run.
  ASSERT_EQ(kq_export_start(cfg.c_str()), 0);
  ASSERT_EQ(wait_end(), 2);
  EXPECT_EQ(kq::export_record().total.load(), 0u);
}
