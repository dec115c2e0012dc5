// Bodies streamed to disk as they arrive must store exactly what the
// in-memory path stores, wherever the connection cuts the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/mbox.h"
#include "base/error.h"
#include "connection/fetch_data.h"
#include "connection/response.h"
#include "export/export_one.h"
#include "export/spool.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {

// Every place a cut can hurt: "From " lines to quote (at the start, after
// CRLF, after a bare LF), lines that only begin like one, a CR at a cut, and
// no final line end ("From" left hanging).
std::string awkward_message() {
  std::string m = "From: A <a@example.org>\r\nSubject: s\r\n\r\nFrom here\r\n>From kept\r\nFromage\r\n";
  for (int i = 0; i < 600; ++i) m += "line " + std::to_string(i) + (i % 7 == 0 ? "\nFrom bare lf\n" : "\r\n");
  m += "Fro\r\nFrom\r\n\r\nFrom";
  return m;
}

struct stored {
  std::string file, manifest, mbox_body;
  std::vector<std::string> leftovers;
};

// One archive written through store_message or its spooled twin, the
// response fed to the parser `chunk` bytes at a time.
stored store_one(const std::string &msg, std::size_t chunk, bool spool) {
  kqtest::scratch_dir dir;
  auto job = std::make_unique<export_job>();
  job->opt.dir = dir.str();
  job->opt.mbox = true;
  job->opt.naming = "YYYY\\MM\\uid";
  std::snprintf(job->folder, sizeof job->folder, "INBOX");
  job->gen.uidvalidity = 9;
  EXPECT_TRUE(job->archive.mbox_file.open((dir.str() + "/all.mbox").c_str(), true));

  response_parser p;
  if (spool) p.set_sink_factory(spool_factory(dir.str(), 1));
  std::string wire = "* 3 FETCH (UID 7 FLAGS (\\Seen) BODY[] {" + std::to_string(msg.size()) + "}\r\n" + msg +
                     ")\r\n";
  std::size_t at = 0;
  while (!p.ready() && at < wire.size()) {
    std::size_t n = std::min(chunk, wire.size() - at);
    std::size_t used = 0;
    while (used < n && !p.ready() && p.error().empty()) used += p.feed(wire.data() + at + used, n - used);
    if (!p.error().empty()) break;
    at += used;
  }
  EXPECT_TRUE(p.ready());
  EXPECT_EQ(p.error(), "");
  response &r = p.take();
  fetch_data d;
  EXPECT_TRUE(parse_fetch(r, d));
  const fetch_data::section *b = d.find("]");
  EXPECT_NE(b, nullptr);
  search_hit hit;
  hit.uid = 7;
  hit.date = "17-Jul-1996 02:44:25 -0700";
  hit.from = "A <a@example.org>";
  hit.subject = "s";
  char path[k_path_cap];
  int rc = -1;
  if (spool) {
    EXPECT_NE(b->sink, nullptr);
    auto *sp = dynamic_cast<body_spool *>(b->sink);
    EXPECT_NE(sp, nullptr);
    if (sp) rc = store_spooled_message(*job, hit, *sp, path);
  } else {
    EXPECT_EQ(b->sink, nullptr);
    rc = store_message(*job, hit, b->bytes.data(), b->bytes.size(), path);
  }
  EXPECT_EQ(rc, 0) << last_error();
  r.clear();  // the spool goes with its response
  job->archive.mbox_file.close();
  job->archive.manifest_file.close();
  stored out;
  out.file = kqtest::read_all(path);
  out.manifest = kqtest::read_all(dir.file("manifest.jsonl"));
  // The separator line carries the time of storing: compare what follows.
  std::string mbox = kqtest::read_all(dir.file("all.mbox"));
  out.mbox_body = mbox.substr(mbox.find("\r\n") + 2);
  for (const auto &e : std::filesystem::recursive_directory_iterator(dir.str()))
    if (e.path().extension() == ".part") out.leftovers.push_back(e.path().string());
  return out;
}

}  // namespace

TEST(ExportStream, SpooledBodyStoresWhatMemoryStores) {
  const std::string msg = awkward_message();
  const stored want = store_one(msg, msg.size() + 64, false);
  ASSERT_EQ(want.file, msg);
  std::string quoted;
  mbox_record_append(quoted, "", 0, msg.data(), msg.size());
  ASSERT_EQ(want.mbox_body, quoted.substr(quoted.find("\r\n") + 2));
  for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{4096}, msg.size() + 64}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    stored got = store_one(msg, chunk, true);
    EXPECT_EQ(got.file, want.file);
    EXPECT_EQ(got.manifest, want.manifest);
    EXPECT_EQ(got.mbox_body, want.mbox_body);
    EXPECT_TRUE(got.leftovers.empty());
  }
}

TEST(ExportStream, MboxRecordFromChunksMatchesWholeRecord) {
  const std::string msgs[] = {"", "From ", "Fro", "a\r\nFrom x\r\n", "From\nFrom \n>From \nFromage", "x\n"};
  for (const std::string &m : msgs) {
    std::string whole;
    mbox_record_append(whole, "b@example.org", 1700000000, m.data(), m.size());
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}}) {
      SCOPED_TRACE("\"" + m + "\" in chunks of " + std::to_string(chunk));
      std::string out;
      mbox_record_stream s;
      s.begin(out, "b@example.org", 1700000000);
      for (std::size_t at = 0; at < m.size(); at += chunk) s.feed(out, m.data() + at, std::min(chunk, m.size() - at));
      s.end(out);
      EXPECT_EQ(out, whole);
    }
  }
}

TEST(ExportStream, OnlyWholeBodiesOfSizeGoToDisk) {
  kqtest::scratch_dir dir;
  literal_sink_factory f = spool_factory(dir.str(), 100);
  EXPECT_NE(f("* 1 FETCH (UID 2 BODY[] {100}", 100), nullptr);
  EXPECT_NE(f("* 1 FETCH (BODY[] {100}", 100), nullptr);
  EXPECT_NE(f("* 1 FETCH (UID 2 RFC822 {100}", 100), nullptr);
  EXPECT_EQ(f("* 1 FETCH (UID 2 BODY[] {99}", 99), nullptr);
  EXPECT_EQ(f("* 1 FETCH (UID 2 BODY[HEADER] {100}", 100), nullptr);
  EXPECT_EQ(f("* 1 FETCH (UID 2 BODY[]<0> {100}", 100), nullptr);
  EXPECT_EQ(f("* LIST () \"/\" {100}", 100), nullptr);
}

TEST(ExportStream, UnclaimedSpoolLeavesNoFile) {
  kqtest::scratch_dir dir;
  std::string path;
  {
    body_spool s(dir.str());
    s.write("abc", 3);
    s.finish();
    EXPECT_FALSE(s.failed());
    EXPECT_EQ(s.size(), 3);
    EXPECT_EQ(s.sha256_hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    path = s.path();
    EXPECT_EQ(kqtest::read_all(path), "abc");
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}
