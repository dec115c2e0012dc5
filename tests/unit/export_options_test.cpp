// The export's configuration as the two entry points read it: one rule for
// the flags, shared by a single export and every folder of a batch.
#include <gtest/gtest.h>

#include <string>

#include "batch/batch.h"
#include "export/export_job.h"

using namespace kq;

namespace {

struct flag_case {
  const char *value;  // the JSON text of "resume" (nullptr: key absent)
  bool on;
};

std::string config_with(const flag_case &c, const char *key) {
  std::string out = "{\"dir\":\"/a\"";
  if (c.value) out += std::string(",\"") + key + "\":" + c.value;
  return out + "}";
}

}  // namespace

TEST(ExportOptions, OneFlagRuleForTheJobAndTheBatch) {
  const flag_case cases[] = {
      {nullptr, true}, {"1", true},      {"5", true},      {"-1", true},    {"1.5", true},
      {"0", false},    {"0.9", false},   {"-0.9", false},  {"true", false}, {"false", false},
      {"\"1\"", false}, {"null", false}, {"[1]", false},   {"1e300", true},
  };
  for (const char *key : {"resume", "manifest"}) {
    for (const flag_case &c : cases) {
      std::string cfg = config_with(c, key);
      export_request job = read_export_request(cfg.c_str());
      batch_request batch = read_batch_request(cfg.c_str());
      ASSERT_EQ(job.problem, nullptr) << cfg;
      ASSERT_EQ(batch.problem, nullptr) << cfg;
      bool job_flag = std::string(key) == "resume" ? job.opt.resume : job.opt.manifest;
      bool batch_flag = std::string(key) == "resume" ? batch.opt.resume : batch.opt.manifest;
      EXPECT_EQ(job_flag, c.on) << cfg;
      EXPECT_EQ(batch_flag, c.on) << cfg;
    }
  }
}

TEST(ExportOptions, JobReadsDirFormatAndNaming) {
  export_request r = read_export_request(R"({"dir":"/x/y//","format":"mbox+eml","naming":"YYYY\\MM"})");
  ASSERT_EQ(r.problem, nullptr);
  EXPECT_EQ(r.opt.dir, "/x/y");  // trailing separators go
  EXPECT_TRUE(r.opt.mbox);
  EXPECT_EQ(r.opt.naming, "YYYY\\MM");
  // A root directory keeps its one separator; non-text values count as absent.
  r = read_export_request(R"({"dir":"/","format":1,"naming":2})");
  EXPECT_EQ(r.opt.dir, "/");
  EXPECT_FALSE(r.opt.mbox);
  EXPECT_EQ(r.opt.naming, "");
  EXPECT_STREQ(read_export_request(R"({"dir":3})").problem, "config missing dir");
  EXPECT_STREQ(read_export_request("{").problem, "invalid export config JSON");
}

TEST(ExportOptions, FormatChoosesMboxAndMaildirForOneExportAndForTheBatch) {
  struct row {
    const char *format;  // the "format" member, JSON
    bool mbox, maildir;
  };
  const row rows[] = {
      {"\"eml\"", false, false},        {"\"eml+mbox\"", true, false}, {"\"maildir\"", false, true},
      {"\"maildir+mbox\"", true, true}, {"1", false, false},
  };
  for (const row &w : rows) {
    std::string cfg = std::string(R"({"dir":"/b","format":)") + w.format + "}";
    export_request e = read_export_request(cfg.c_str());
    EXPECT_EQ(e.opt.mbox, w.mbox) << w.format;
    EXPECT_EQ(e.opt.maildir, w.maildir) << w.format;
    batch_request b = read_batch_request(cfg.c_str());
    EXPECT_EQ(b.opt.mbox, w.mbox) << w.format;
    EXPECT_EQ(b.opt.maildir, w.maildir) << w.format;
  }
  batch_request b = read_batch_request(R"({"dir":"/b"})");
  EXPECT_FALSE(b.opt.mbox);
  EXPECT_FALSE(b.opt.maildir);
}

TEST(ExportOptions, BatchGivesItsJobsDatedNames) {
  batch_request r = read_batch_request(R"({"dir":"/b","format":"mbox","folders":["A",1,"B"]})");
  ASSERT_EQ(r.problem, nullptr);
  EXPECT_EQ(r.opt.naming, "YYYY\\MM\\uid");
  EXPECT_TRUE(r.folders_named);
  EXPECT_EQ(r.folders, (std::vector<std::string>{"A", "B"}));
  EXPECT_TRUE(read_batch_request("").empty);
  EXPECT_TRUE(read_batch_request(nullptr).empty);
  EXPECT_STREQ(read_batch_request(("{\"dir\":\"" + std::string(4096, 'd') + "\"}").c_str()).problem,
               "dir too long");
  EXPECT_EQ(read_batch_request(("{\"dir\":\"" + std::string(4095, 'd') + "\"}").c_str()).problem, nullptr);
}

TEST(ExportOptions, BatchConnectionsAreOneToEight) {
  struct conn_case {
    const char *value;  // JSON text of "connections"; null: absent
    int connections;
  };
  const conn_case cases[] = {
      {nullptr, 1}, {"1", 1}, {"3", 3}, {"8", 8}, {"9", 8},     {"1000000", 8}, {"2.9", 2},
      {"0", 1},     {"-4", 1}, {"0.5", 1}, {"\"4\"", 1}, {"true", 1}, {"null", 1},
  };
  for (const conn_case &c : cases) {
    std::string cfg = std::string(R"({"dir":"/b")") + (c.value ? std::string(",\"connections\":") + c.value : "") + "}";
    batch_request r = read_batch_request(cfg.c_str());
    ASSERT_EQ(r.problem, nullptr) << cfg;
    EXPECT_EQ(r.connections, c.connections) << cfg;
  }
}
