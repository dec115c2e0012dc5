// The operating-system layer: the same behaviour on every system it is built
// for (these run natively on Linux and under Wine for the Windows build).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/platform/net.h"
#include "support/scratch_files.h"

namespace plat = kq::plat;

namespace {

std::string read_back(const std::string &path) {
  std::FILE *f = plat::file_open(path.c_str(), "rb");
  if (!f) return "<unreadable>";
  std::string s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

bool write_text(const std::string &path, const std::string &text) {
  std::FILE *f = plat::file_open(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

TEST(PlatformFiles, NonAsciiUtf8PathsWorkForEveryFileCall) {
  kqtest::scratch_dir d;
  // Greek, CJK and an emoji: outside every ANSI code page at once.
  // Joined as text: the test's own path class would read the name in the
  // ANSI code page on Windows.
  std::string dir = d.str() + "/" + std::string("\xce\xb1\xcf\x81\xcf\x87\xce\xb5\xce\xaf\xce\xbf-\xe6\x97\xa5\xe6\x9c\xac");
  ASSERT_TRUE(plat::make_dir(dir.c_str()));
  EXPECT_TRUE(plat::make_dir(dir.c_str())) << "an existing directory counts as made";
  std::string file = dir + "/m\xc3\xa9l \xf0\x9f\x93\xa7.eml";
  ASSERT_TRUE(write_text(file, "Subject: x\r\n"));
  EXPECT_TRUE(plat::path_exists(file.c_str()));
  EXPECT_TRUE(plat::is_regular_file(file.c_str()));
  EXPECT_FALSE(plat::is_regular_file(dir.c_str()));
  EXPECT_EQ(plat::file_size(file.c_str()), 12);
  EXPECT_EQ(read_back(file), "Subject: x\r\n") << "files are binary: CRLF stays as written";
  char buf[4] = {};
  EXPECT_EQ(plat::read_at(file.c_str(), 9, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "x\r\n");
  EXPECT_EQ(plat::read_at(file.c_str(), 100, buf, sizeof buf), 0) << "past the end reads nothing";
  EXPECT_EQ(plat::read_at((dir + "/none").c_str(), 0, buf, sizeof buf), -1);
  EXPECT_FALSE(plat::make_dir(file.c_str())) << "a file is no directory";
}

TEST(PlatformFiles, AppendFilesWriteAtTheEndEvenWhenTwoShareTheFile) {
  kqtest::scratch_dir d;
  std::string path = d.file("manifest.jsonl");
  plat::append_file a, b;
  ASSERT_TRUE(a.open(path.c_str(), true));
  ASSERT_TRUE(b.open(path.c_str(), false));
  ASSERT_TRUE(a.write("one\n", 4));
  ASSERT_TRUE(b.write("two\n", 4));
  ASSERT_TRUE(a.write("three\n", 6));
  EXPECT_TRUE(a.sync());
  EXPECT_EQ(a.size(), 14);
  EXPECT_EQ(read_back(path), "one\ntwo\nthree\n");
  ASSERT_TRUE(a.truncate(8));
  ASSERT_TRUE(b.write("four\n", 5));
  EXPECT_EQ(read_back(path), "one\ntwo\nfour\n") << "after a cut, writes go to the new end";
  a.close();
  b.close();
  plat::append_file c;
  ASSERT_TRUE(c.open(path.c_str(), true));
  EXPECT_EQ(c.size(), 0) << "truncate on open empties the file";
}

TEST(PlatformFiles, AtomicWriteReplacesWholeOrLeavesTheOldFile) {
  kqtest::scratch_dir d;
  std::string path = d.file("resume.json");
  ASSERT_TRUE(write_text(path, "old"));
  ASSERT_TRUE(plat::write_file_atomic(path.c_str(), "new contents", true));
  EXPECT_EQ(read_back(path), "new contents");
  EXPECT_FALSE(plat::path_exists((path + ".tmp").c_str()));
  EXPECT_TRUE(plat::sync_path(path.c_str()));
  EXPECT_TRUE(plat::sync_path(d.str().c_str())) << "a directory can be synced too";
  std::string missing = d.file("no-such-dir/resume.json");
  EXPECT_FALSE(plat::write_file_atomic(missing.c_str(), "x", false));

  std::string src = d.file("next");
  ASSERT_TRUE(write_text(src, "replacement"));
  ASSERT_TRUE(plat::file_replace(src.c_str(), path.c_str())) << "replacing an existing file must work";
  EXPECT_EQ(read_back(path), "replacement");
  EXPECT_FALSE(plat::path_exists(src.c_str()));
}

// Windows will not rename over a file while any handle on it is open, even
// one shared for deletion: a reader in another thread that lets go soon
// (statistics or verification on the same archive) must not make the
// replace fail.
TEST(PlatformFiles, ReplaceOutlastsAReaderThatLetsGoSoon) {
  kqtest::scratch_dir d;
  std::string path = d.file("manifest.jsonl");
  ASSERT_TRUE(write_text(path, "old"));
  struct held {
    plat::contained_file reader;
    std::FILE *plain = nullptr;
    std::atomic<bool> closed{false};
  };
  auto let_go_later = [](void *p) {
    auto *h = static_cast<held *>(p);
    plat::sleep_ms(150);
    h->reader.close();
    if (h->plain) std::fclose(h->plain);
    h->closed = true;
  };
  for (bool shares_delete : {true, false}) {
    SCOPED_TRACE(shares_delete ? "reader shares deletion" : "plain C stream");
    held h;
    if (shares_delete) ASSERT_EQ(h.reader.open(d.str().c_str(), "manifest.jsonl"), plat::contained_file::ok);
    else ASSERT_NE(h.plain = plat::file_open(path.c_str(), "rb"), nullptr);
    std::string src = d.file("manifest.jsonl.tmp");
    ASSERT_TRUE(write_text(src, shares_delete ? "new" : "newer"));
    ASSERT_TRUE(plat::thread_spawn_detached(let_go_later, &h));
    EXPECT_TRUE(plat::file_replace(src.c_str(), path.c_str()));
    EXPECT_EQ(read_back(path), shares_delete ? "new" : "newer");
    while (!h.closed) plat::sleep_ms(5);
  }
  // A directory in the way never goes away by waiting.
  std::string src = d.file("next");
  ASSERT_TRUE(write_text(src, "x"));
  ASSERT_TRUE(plat::make_dir(d.file("a-dir").c_str()));
  EXPECT_FALSE(plat::file_replace(src.c_str(), d.file("a-dir").c_str()));
  EXPECT_EQ(read_back(src), "x");
}

TEST(PlatformFiles, NewFileNeverReplacesAndContainedFileSeesOnlyWhatWasAsked) {
  kqtest::scratch_dir d;
  std::string sub = d.str() + "/m\xc3\xa9l";
  ASSERT_TRUE(plat::make_dir(sub.c_str()));
  std::string path = sub + "/b.txt";
  bool exists = true;
  ASSERT_TRUE(plat::create_new_file(path.c_str(), "first", &exists));
  EXPECT_FALSE(exists);
  EXPECT_FALSE(plat::create_new_file(path.c_str(), "second", &exists));
  EXPECT_TRUE(exists);
  EXPECT_EQ(read_back(path), "first");
  EXPECT_FALSE(plat::create_new_file((d.str() + "/none/x").c_str(), "x", &exists));
  EXPECT_FALSE(exists) << "a missing directory is no existing name";

  plat::contained_file f;
  ASSERT_EQ(f.open(d.str().c_str(), "m\xc3\xa9l/b.txt"), plat::contained_file::ok);
  EXPECT_EQ(f.size(), 5);
  // Names the Windows path parser would rewrite into another file (trailing
  // dot or blank, a second separator) or send to a device or a stream must
  // not reach b.txt; elsewhere they simply do not exist.
  for (const char *rel : {"m\xc3\xa9l/b.txt.", "m\xc3\xa9l/b.txt ", "m\xc3\xa9l\\b.txt", "m\xc3\xa9l/b.txt:x",
                          "nul", "m\xc3\xa9l/con.txt", "COM1", "m\xc3\xa9l/b?txt"})
    EXPECT_NE(f.open(d.str().c_str(), rel), plat::contained_file::ok) << rel;
  EXPECT_FALSE(f.is_open());
}

TEST(PlatformCharsets, MimeNamesConvertToUtf8) {
  std::string out;
  ASSERT_TRUE(plat::charset_to_utf8("ISO-8859-1", "caf\xe9", out));
  EXPECT_EQ(out, "caf\xc3\xa9");
  ASSERT_TRUE(plat::charset_to_utf8("windows-1252", "\x80 5", out));
  EXPECT_EQ(out, "\xe2\x82\xac 5");
  ASSERT_TRUE(plat::charset_to_utf8("koi8-r", "\xf0\xd2\xc9", out));
  EXPECT_EQ(out, "\xd0\x9f\xd1\x80\xd0\xb8");
  ASSERT_TRUE(plat::charset_to_utf8("Shift_JIS", "\x93\xfa", out));
  EXPECT_EQ(out, "\xe6\x97\xa5");
  ASSERT_TRUE(plat::charset_to_utf8("gb2312", "\xc8\xd5", out));
  EXPECT_EQ(out, "\xe6\x97\xa5");
  ASSERT_TRUE(plat::charset_to_utf8("big5", "\xa4\xe9", out));
  EXPECT_EQ(out, "\xe6\x97\xa5");
}

TEST(PlatformCharsets, UnknownCharsetOrBadBytesLeaveOutputAlone) {
  std::string out = "kept";
  EXPECT_FALSE(plat::charset_to_utf8("x-no-such-charset", "abc", out));
  EXPECT_EQ(out, "kept");
  EXPECT_FALSE(plat::charset_to_utf8("utf-8", "a\xff" "b", out));
  EXPECT_EQ(out, "kept");
}

TEST(PlatformTime, UtcConversionsCoverEveryYearArchivesMeet) {
  std::tm tm{};
  tm.tm_year = 2100 - 1900;
  tm.tm_mon = 0;
  tm.tm_mday = 1;
  EXPECT_EQ(plat::utc_from_tm(&tm), 4102444800LL);
  std::tm back{};
  ASSERT_TRUE(plat::utc_to_tm(4102444800LL + 86399, &back));
  EXPECT_EQ(back.tm_year, 200);
  EXPECT_EQ(back.tm_yday, 0);
  EXPECT_EQ(back.tm_hour, 23);
  EXPECT_EQ(back.tm_sec, 59);
  ASSERT_TRUE(plat::utc_to_tm(253402300799LL, &back)) << "year 9999 from a broken Date header";
  EXPECT_EQ(back.tm_year + 1900, 9999);
  EXPECT_EQ(back.tm_mon, 11);
  EXPECT_EQ(back.tm_mday, 31);
  ASSERT_TRUE(plat::utc_to_tm(-1, &back)) << "before 1970";
  EXPECT_EQ(back.tm_year, 69);
  EXPECT_EQ(back.tm_wday, 3);
  EXPECT_EQ(back.tm_sec, 59);
  std::tm old{};
  old.tm_year = 1969 - 1900;
  old.tm_mon = 11;
  old.tm_mday = 31;
  old.tm_hour = 23;
  EXPECT_EQ(plat::utc_from_tm(&old), -3600);
  std::tm spill{};
  spill.tm_year = 2023 - 1900;
  spill.tm_mon = 12;  // month 13: January of the next year
  spill.tm_mday = 1;
  EXPECT_EQ(plat::utc_from_tm(&spill), 1704067200LL);
  EXPECT_EQ(spill.tm_year, 124) << "fields come back normalised, as from timegm";
  EXPECT_EQ(spill.tm_mon, 0);
}

TEST(PlatformTime, ClocksMove) {
  std::uint64_t t0 = plat::tick_ms();
  plat::sleep_ms(100);
  // Windows' tick counts in steps of about 16 ms.
  EXPECT_GE(plat::tick_ms() - t0, 80u);
  EXPECT_GT(plat::time_now(), 1700000000LL);
}

TEST(PlatformThreads, DetachedThreadRunsAndLockKeepsCountsWhole) {
  struct shared {
    plat::exclusive_lock lock;
    long count = 0;
    std::atomic<int> finished{0};
  } s;
  auto work = [](void *p) {
    auto *sh = static_cast<shared *>(p);
    for (int i = 0; i < 20000; ++i) {
      plat::lock_guard hold(sh->lock);
      ++sh->count;
    }
    sh->finished.fetch_add(1);
  };
  ASSERT_TRUE(plat::thread_spawn_detached(work, &s));
  ASSERT_TRUE(plat::thread_spawn_detached(work, &s));
  std::uint64_t end = plat::tick_ms() + 20000;
  while (s.finished.load() < 2 && plat::tick_ms() < end) plat::sleep_ms(2);
  ASSERT_EQ(s.finished.load(), 2);
  plat::lock_guard hold(s.lock);
  EXPECT_EQ(s.count, 40000);
}

class PlatformSockets : public ::testing::Test {
 protected:
  // A connected pair: ours through the platform layer, the peer from the
  // tests' own socket code.
  void SetUp() override {
    ASSERT_TRUE(listener_.open_loopback(0));
    ASSERT_TRUE(addrs_.resolve("127.0.0.1", std::to_string(listener_.port()).c_str()));
    ASSERT_GE(addrs_.size(), 1u);
    s_ = plat::sock_open(addrs_.at(0));
    ASSERT_NE(s_, plat::bad_sock);
    ASSERT_TRUE(plat::sock_connect(s_, addrs_.at(0), 5000));
    peer_ = listener_.accept(5000);
    ASSERT_TRUE(peer_.valid());
  }
  void TearDown() override { plat::sock_close(s_); }

  kqtest::platform::Listener listener_;
  kqtest::platform::Socket peer_;
  plat::addr_list addrs_;
  plat::sock_t s_ = plat::bad_sock;
};

TEST_F(PlatformSockets, WaitReportsReadableOnlyWhenDataOrCloseArrives) {
  EXPECT_EQ(plat::sock_wait(s_, true, false, 50), 0) << "silent peer: time-out";
  EXPECT_EQ(plat::sock_wait(s_, false, true, 1000), plat::sock_writable);
  ASSERT_TRUE(peer_.send_all("* OK hi\r\n", 2000));
  EXPECT_EQ(plat::sock_wait(s_, true, false, 2000), plat::sock_readable);
  char buf[64];
  EXPECT_EQ(plat::sock_recv(s_, buf, sizeof buf), 9);
  ASSERT_EQ(plat::sock_send(s_, "a NOOP\r\n", 8), 8);
  std::string line;
  ASSERT_TRUE(peer_.read_line(&line, 2000));
  EXPECT_EQ(line, "a NOOP");
  peer_.close();
  EXPECT_EQ(plat::sock_wait(s_, true, false, 2000), plat::sock_readable);
  EXPECT_EQ(plat::sock_recv(s_, buf, sizeof buf), 0) << "EOF after the peer closed";
}

TEST_F(PlatformSockets, ReceiveTimeOutCountsAsWouldBlock) {
  plat::sock_set_recv_timeout_ms(s_, 100);
  char buf[16];
  std::uint64_t t0 = plat::tick_ms();
  EXPECT_EQ(plat::sock_recv(s_, buf, sizeof buf), -1);
  int err = plat::sock_last_error();
  EXPECT_TRUE(plat::sock_error_would_block(err)) << plat::error_text(err);
  EXPECT_GE(plat::tick_ms() - t0, 80u);
  EXPECT_STRNE(plat::error_text(err), "");
}

TEST_F(PlatformSockets, NonBlockingRecvOnSilentPeerWouldBlock) {
  ASSERT_TRUE(plat::sock_set_nonblocking(s_, true));
  char buf[16];
  EXPECT_EQ(plat::sock_recv(s_, buf, sizeof buf), -1);
  EXPECT_TRUE(plat::sock_error_would_block(plat::sock_last_error()));
  ASSERT_TRUE(plat::sock_set_nonblocking(s_, false));
}

TEST(PlatformConnect, RefusedPortFailsQuickly) {
  int port = kqtest::platform::free_loopback_port();
  ASSERT_GT(port, 0);
  plat::addr_list addrs;
  ASSERT_TRUE(addrs.resolve("127.0.0.1", std::to_string(port).c_str()));
  plat::sock_t s = plat::sock_open(addrs.at(0));
  ASSERT_NE(s, plat::bad_sock);
  std::uint64_t t0 = plat::tick_ms();
  EXPECT_FALSE(plat::sock_connect(s, addrs.at(0), 5000));
  EXPECT_LT(plat::tick_ms() - t0, 4000u);
  plat::sock_close(s);
}
