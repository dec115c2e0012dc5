// Export calls that need no server: the idle job, refused starts, the
// statistics text and the steering calls' state rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/result_rows.h"
#include "base/error.h"
#include "export/export_job.h"
#include "kerquill.h"
#include "search/search_table.h"

using namespace kq;

TEST(ExportControl, IdleJobReportsZeroEverywhere) {
  EXPECT_EQ(kq_export_status(), 0);
  EXPECT_EQ(kq_export_progress(), 0.0);
  EXPECT_STREQ(kq_export_current(), "");
  EXPECT_STREQ(kq_export_stats_json(), "{\"done\":0,\"total\":0,\"bytes\":0,\"eta_s\":0,\"speed_bps\":0,\"state\":\"idle\"}");
  EXPECT_EQ(kq_export_pause(), -1);
  EXPECT_EQ(kq_export_resume(), -1);
  EXPECT_EQ(kq_export_cancel(), -1);
}

TEST(ExportControl, StartRefusalsInTheirOrder) {
  search_result_ptr saved = current_result();
  clear_result("");
  EXPECT_EQ(kq_export_start(nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "empty config");
  EXPECT_EQ(kq_export_start(""), -1);
  EXPECT_STREQ(kq_last_error(), "empty config");
  EXPECT_EQ(kq_export_start("{\"dir\":\"/tmp/x\"}"), -1);
  EXPECT_STREQ(kq_last_error(), "no search results \xe2\x80\x94 call kq_search first");
  kqtest::put_uids("INBOX", {1});
  EXPECT_EQ(kq_export_start("not json at all"), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  EXPECT_EQ(kq_export_status(), 0);
  install_result(saved);
}

TEST(ExportControl, EstimateNeedsARunningJobAMeasuredSpeedAndLessThanAYear) {
  export_job &s_job = export_record();
  auto stats = [] { return std::string(kq_export_stats_json()); };
  s_job.state = k_job_running;
  s_job.total = 10;
  s_job.done = 4;
  s_job.bytes = 4000;
  s_job.bytes_todo = 10000;
  s_job.speed_bps = 1000;
  EXPECT_EQ(stats(), "{\"done\":4,\"total\":10,\"bytes\":4000,\"eta_s\":6,\"speed_bps\":1000,\"state\":\"running\"}");
  EXPECT_NEAR(kq_export_progress(), 0.4, 1e-12);
  // 100 MB left at 1 byte per second: the speed is not above 1.
  s_job.bytes_todo = 4000 + 100000000LL;
  s_job.speed_bps = 1;
  EXPECT_EQ(stats(), "{\"done\":4,\"total\":10,\"bytes\":4000,\"eta_s\":0,\"speed_bps\":1,\"state\":\"running\"}");
  // 40 GB left at 1000 bytes per second: more than 365 days.
  s_job.bytes_todo = 4000 + 40000000000LL;
  s_job.speed_bps = 1000;
  EXPECT_EQ(stats(), "{\"done\":4,\"total\":10,\"bytes\":4000,\"eta_s\":0,\"speed_bps\":1000,\"state\":\"running\"}");
  s_job.bytes_todo = 4000 + 31536000LL * 1000;
  EXPECT_EQ(stats(), "{\"done\":4,\"total\":10,\"bytes\":4000,\"eta_s\":31536000,\"speed_bps\":1000,\"state\":\"running\"}");
  // Status 3 reads "paused" while the worker holds the job, "cancelled" once
  // it has let go; no estimate for either.
  s_job.state = k_job_stopped;
  s_job.active = 1;
  EXPECT_EQ(stats(), "{\"done\":4,\"total\":10,\"bytes\":4000,\"eta_s\":0,\"speed_bps\":1000,\"state\":\"paused\"}");
  s_job.active = 0;
  EXPECT_EQ(stats(), "{\"done\":4,\"total\":10,\"bytes\":4000,\"eta_s\":0,\"speed_bps\":1000,\"state\":\"cancelled\"}");
  s_job.state = k_job_done;
  EXPECT_NE(stats().find(",\"state\":\"done\"}"), std::string::npos);
  s_job.state = k_job_error;
  EXPECT_NE(stats().find(",\"state\":\"error\"}"), std::string::npos);
  // The worker's reason, which its own thread's last error holds, reaches
  // the host here; only an ended-in-error job names one.
  std::snprintf(s_job.error, sizeof s_job.error, "%s", "cannot write \"x\"");
  EXPECT_NE(stats().find(",\"state\":\"error\",\"error\":\"cannot write \\\"x\\\"\"}"), std::string::npos) << stats();
  s_job.state = k_job_done;
  EXPECT_EQ(stats().find("\"error\""), std::string::npos) << stats();
  s_job.state = k_job_error;
  s_job.state = k_job_running;
  s_job.done = 12;
  EXPECT_EQ(kq_export_progress(), 1.0);
  {
    plat::lock_guard hold(s_job.lock);
    export_job_reset(s_job);
  }
}

TEST(ExportControl, SteeringFollowsStateAndActive) {
  export_job &s_job = export_record();
  s_job.active = 1;
  s_job.state = k_job_running;
  EXPECT_EQ(kq_export_resume(), -1);  // running, not paused
  EXPECT_EQ(kq_export_pause(), 0);
  EXPECT_EQ(s_job.pause_requested.load(), 1u);
  // The worker has not noticed yet (still running): a resume calls the
  // pause off.
  EXPECT_EQ(kq_export_resume(), 0);
  EXPECT_EQ(s_job.pause_requested.load(), 0u);
  EXPECT_EQ(kq_export_status(), 1);
  EXPECT_EQ(kq_export_resume(), -1);  // nothing to call off now
  EXPECT_EQ(kq_export_pause(), 0);
  s_job.state = k_job_stopped;  // the worker noticed
  EXPECT_EQ(kq_export_pause(), -1);
  EXPECT_EQ(kq_export_resume(), 0);
  EXPECT_EQ(s_job.pause_requested.load(), 0u);
  EXPECT_EQ(kq_export_status(), 1);
  EXPECT_EQ(kq_export_pause(), 0);
  s_job.state = k_job_stopped;
  EXPECT_EQ(kq_export_cancel(), 0);
  EXPECT_EQ(s_job.pause_requested.load(), 0u);
  // A cancel on its way cannot be undone by a resume, nor turned into a pause.
  EXPECT_EQ(kq_export_resume(), -1);
  s_job.state = k_job_running;
  EXPECT_EQ(kq_export_pause(), -1);
  EXPECT_EQ(s_job.pause_requested.load(), 0u);
  s_job.active = 0;
  EXPECT_EQ(kq_export_cancel(), -1);
  {
    plat::lock_guard hold(s_job.lock);
    export_job_reset(s_job);
  }
}
