// A command whose literal is produced piece by piece as the socket takes it
// (imap_command::tail), against a scripted server: the bytes arrive whole
// and in order with the commands around them, and a tail that cannot go on
// gives the connection up before the literal is complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "connection/imap.h"
#include "kerquill.h"
#include "support/script_server.h"

namespace {

using kqtest::ScriptServer;

std::string cfg_for(const ScriptServer &s) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\",\"compress\":0}";
}

ScriptServer &login_steps(ScriptServer &s) {
  return s.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1 LITERAL+\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in");
}

// Bytes 0..n-1 of a long pattern with line ends in it.
std::string pattern(std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; out.size() < n; ++i) out += i % 70 == 69 ? '\n' : static_cast<char>('a' + i % 26);
  out.resize(n);
  return out;
}

// The tail gives `bytes` a piece at a time, never more than `most` at once;
// with fail_at, it refuses once that many bytes are given.
struct piece_source {
  std::string bytes;
  std::size_t most = 0, at = 0, fail_at = std::string::npos;
  int calls = 0;
  long next(char *buf, std::size_t cap) {
    ++calls;
    if (at >= fail_at) return -1;
    std::size_t n = std::min({cap, most, bytes.size() - at});
    bytes.copy(buf, n, at);
    at += n;
    return static_cast<long>(n);
  }
};

class CommandTail : public ::testing::Test {
 protected:
  void TearDown() override { kq_disconnect(); }
};

TEST_F(CommandTail, BytesGoOutWholeBetweenTheCommandsAroundThem) {
  const std::size_t n = 700000;
  ScriptServer s;
  login_steps(s)
      .expect_command()  // the APPEND, its literal read whole
      .expect_line()     // the NOOP behind it
      .send_fn([&s](const std::string &) {
        auto got = s.received();
        std::string t1 = got[got.size() - 2].substr(0, got[got.size() - 2].find(' '));
        std::string t2 = got.back().substr(0, got.back().find(' '));
        return t1 + " OK appended\r\n" + t2 + " OK noop\r\n";
      });
  std::string err;
  ASSERT_TRUE(s.start(&err)) << err;
  ASSERT_EQ(kq_connect(cfg_for(s).c_str()), 0) << kq_last_error();
  kq::session &sess = kq::main_session();
  sess.set_window(4);
  piece_source src{pattern(n), 100000};
  int done[2] = {-2, -2};
  kq::session::command c;
  c.line = "APPEND \"X\" {" + std::to_string(n) + "+}\r\n";
  c.tail = [&src](char *buf, std::size_t cap) { return src.next(buf, cap); };
  c.on_done = [&done](int st, const std::string &) { done[0] = st; };
  sess.submit(std::move(c));
  kq::session::command noop;
  noop.line = "NOOP";
  noop.on_done = [&done](int st, const std::string &) { done[1] = st; };
  sess.submit(std::move(noop));
  bool drained = sess.drain();
  sess.set_window(1);
  s.stop();
  for (const std::string &e : s.errors()) ADD_FAILURE() << e;
  ASSERT_TRUE(drained) << kq_last_error();
  EXPECT_EQ(done[0], 0);
  EXPECT_EQ(done[1], 0);
  EXPECT_GT(src.calls, 7);  // in pieces, not all at once
  auto got = s.received();
  ASSERT_GE(got.size(), 4u);
  const std::string &append = got[got.size() - 2];
  std::string head = "APPEND \"X\" {" + std::to_string(n) + "+}\r\n";
  ASSERT_EQ(append.substr(append.find(' ') + 1, head.size()), head);
  EXPECT_TRUE(append.substr(append.find(' ') + 1 + head.size()) == src.bytes);
  EXPECT_EQ(got.back().substr(got.back().find(' ') + 1), "NOOP");
}

TEST_F(CommandTail, ATailThatCannotGoOnGivesTheConnectionUp) {
  const std::size_t n = 600000;
  ScriptServer s;
  login_steps(s).hold();
  std::string err;
  ASSERT_TRUE(s.start(&err)) << err;
  ASSERT_EQ(kq_connect(cfg_for(s).c_str()), 0) << kq_last_error();
  kq::session &sess = kq::main_session();
  piece_source src{pattern(n), 100000};
  src.fail_at = 300000;
  int done = -2;
  kq::session::command c;
  c.line = "APPEND \"X\" {" + std::to_string(n) + "+}\r\n";
  c.tail = [&src](char *buf, std::size_t cap) { return src.next(buf, cap); };
  c.on_done = [&done](int st, const std::string &) { done = st; };
  sess.submit(std::move(c));
  EXPECT_FALSE(sess.drain());
  EXPECT_EQ(done, -1);
  EXPECT_NE(std::string(kq_last_error()).find("cannot read what a command sends"), std::string::npos)
      << kq_last_error();
  EXPECT_EQ(sess.status(), 0);
  s.stop();
  // Never the whole literal: the server cannot take half a message for one.
  EXPECT_LT(s.received_bytes().size(), n);
}

}  // namespace
