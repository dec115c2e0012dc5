// all.mbox records: the mboxo separator line, ">From " quoting, record ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "archive/file_util.h"
#include "archive/mbox.h"
#include "support/platform/os.h"
#include "support/scratch_files.h"

using namespace kq;

TEST(ExportMbox, SenderIsTheAddressNotTheRawHeader) {
  EXPECT_EQ(mbox_sender("John Doe <john@example.org>"), "john@example.org");
  EXPECT_EQ(mbox_sender("\"Doe, John\" <j.doe@example.org> (work)"), "j.doe@example.org");
  EXPECT_EQ(mbox_sender("john@example.org"), "john@example.org");
  EXPECT_EQ(mbox_sender("john@example.org (John Doe)"), "john@example.org");
  EXPECT_EQ(mbox_sender("John Doe john@example.org"), "john@example.org");
  // Nothing usable inside <>: the first word with '@' still counts.
  EXPECT_EQ(mbox_sender("<> bounce@example.org"), "bounce@example.org");
  EXPECT_EQ(mbox_sender("John Doe"), "unknown");
  EXPECT_EQ(mbox_sender(""), "unknown");
  EXPECT_EQ(mbox_sender(nullptr), "unknown");
  EXPECT_EQ(mbox_sender("J\xc3\xb6rg <j\xc3\xb6rg@example.org>"), "unknown");
}

TEST(ExportMbox, TimeIsAsctimeInUtc) {
  EXPECT_EQ(mbox_time_text(0), "Thu Jan  1 00:00:00 1970");
  EXPECT_EQ(mbox_time_text(1796752035), "Tue Dec  8 17:47:15 2026");
  EXPECT_EQ(mbox_time_text(1700000000), "Tue Nov 14 22:13:20 2023");
}

TEST(ExportMbox, RecordHasSeparatorQuotingAndBlankLine) {
  std::string msg =
      "From: John <john@example.org>\r\nSubject: x\r\n\r\nFrom here on\r\n>From quoted\r\n"
      "Fromage\r\nFrom ";
  std::string out;
  mbox_record_append(out, "John <john@example.org>", 1796752035, msg.data(), msg.size());
  EXPECT_EQ(out,
            "From john@example.org Tue Dec  8 17:47:15 2026\r\n"
            "From: John <john@example.org>\r\nSubject: x\r\n\r\n>From here on\r\n>From quoted\r\n"
            "Fromage\r\n>From \r\n\r\n");
}

TEST(ExportMbox, MessageEndingWithLineFeedGetsOnlyTheBlankLine) {
  std::string msg = "Subject: a\r\n\r\nbody\r\n";
  std::string out;
  mbox_record_append(out, "", 0, msg.data(), msg.size());
  EXPECT_EQ(out, "From unknown Thu Jan  1 00:00:00 1970\r\nSubject: a\r\n\r\nbody\r\n\r\n");
}

// Two records, the first without a final line end, read back by Python's
// mailbox module: two messages, bodies intact.
TEST(ExportMbox, PythonReadsConsecutiveRecords) {
  kqtest::scratch_dir d;
  std::string out;
  std::string m1 = "From: a@example.org\r\nSubject: one\r\n\r\nno final line end";
  std::string m2 = "From: b@example.org\r\nSubject: two\r\n\r\nFrom the start\r\n";
  mbox_record_append(out, "a@example.org", 1, m1.data(), m1.size());
  mbox_record_append(out, "B <b@example.org>", 2, m2.data(), m2.size());
  kqtest::write_all(d.file("all.mbox"), out);
  // Through the tests' OS layer, which under Wine hands the run to the
  // Linux side: Python's mailbox module is the independent reader.
  kqtest::platform::RunResult r = kqtest::platform::run(
      {"python3", "-c",
       "import mailbox,sys\n"
       "b=mailbox.mbox(sys.argv[1])\n"
       "print(len(b))\n"
       "for m in b: print(m['Subject'], m.get_from().split()[0], repr(m.get_payload()))\n",
       d.file("all.mbox")},
      "", 60000);
  ASSERT_TRUE(r.started) << r.error;
  ASSERT_EQ(r.exit_code, 0) << r.err;
  kqtest::write_all(d.file("out.txt"), r.out);
  EXPECT_EQ(kqtest::read_all(d.file("out.txt")),
            "2\none a@example.org 'no final line end\\r\\n\\r\\n'\n"
            "two b@example.org '>From the start\\r\\n\\r\\n'\n");
}

// all.mbox is only ever cut where one record ends and the next begins.
TEST(ExportMbox, RecordBoundariesAndTornEnds) {
  kqtest::scratch_dir d;
  std::string out;
  std::string m = "Subject: a\r\n\r\nFrom here\r\n";
  mbox_record_append(out, "a@b", 0, m.data(), m.size());
  std::size_t first = out.size();
  mbox_record_append(out, "a@b", 0, m.data(), m.size());
  kqtest::write_all(d.file("all.mbox"), out);
  std::string path = d.file("all.mbox");
  EXPECT_TRUE(mbox_record_boundary(path.c_str(), 0));
  EXPECT_TRUE(mbox_record_boundary(path.c_str(), static_cast<long long>(first)));
  EXPECT_TRUE(mbox_record_boundary(path.c_str(), static_cast<long long>(out.size())));
  EXPECT_FALSE(mbox_record_boundary(path.c_str(), static_cast<long long>(first) - 1));
  EXPECT_FALSE(mbox_record_boundary(path.c_str(), static_cast<long long>(first) + 1));
  EXPECT_FALSE(mbox_record_boundary(path.c_str(), 2));
  EXPECT_FALSE(mbox_record_boundary(path.c_str(), static_cast<long long>(out.size()) + 10));
  EXPECT_FALSE(ends_inside_line(path.c_str()));
  kqtest::write_all(path, out + "From x@y Thu Jan  1 00:00:00 1970\r\nSubj");
  EXPECT_TRUE(ends_inside_line(path.c_str()));
  EXPECT_FALSE(ends_inside_line(d.file("missing").c_str()));
}
