// Protocol corner cases played by a scripted server: literals, long lines,
// many lines, odd completions, SASL continuations, silent and vanishing peers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <mbedtls/base64.h>

#include "connection/imap.h"
#include "kerquill.h"
#include "support/script_server.h"

namespace {

using kqtest::ScriptServer;

std::string cfg_for(const ScriptServer &s, const std::string &extra = "\"pass\":\"p\"") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) + ",\"ssl\":0,\"user\":\"u\"," +
         extra + "}";
}

// Greeting, CAPABILITY and LOGIN accepted; the test's own steps follow.
ScriptServer &login_steps(ScriptServer &s) {
  return s.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in");
}

class Scripted : public ::testing::Test {
 protected:
  void TearDown() override {
    kq_disconnect();
    kq::s_recv_timeout_s = 120;
  }
  void connect(ScriptServer &s) {
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    ASSERT_EQ(kq_connect(cfg_for(s).c_str()), 0) << kq_last_error();
  }
};

TEST_F(Scripted, ByeGreetingPassesAndTheNextCommandFails) {
  ScriptServer s;
  s.send("* BYE too busy\r\n").close();
  ASSERT_TRUE(s.start());
  EXPECT_EQ(kq_connect(cfg_for(s).c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "CAPABILITY failed");
  EXPECT_EQ(kq_status(), 0);
}

TEST_F(Scripted, UntaggedGreetingRequired) {
  ScriptServer s;
  s.send("HELLO there\r\n").close();
  ASSERT_TRUE(s.start());
  EXPECT_EQ(kq_connect(cfg_for(s).c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "unexpected greeting: HELLO there");
}

TEST_F(Scripted, LiteralDribbledAcrossManySmallReads) {
  ScriptServer s;
  login_steps(s)
      .expect_line()
      .send("* 1 FETCH (UID 41 BODY[] {12}\r\nhello\r\nworld) tail\r\n", 1, 1)
      .send_tagged("OK fetched");
  connect(s);
  kq::reader r;
  ASSERT_EQ(kq::cmd_exec(&r, "UID FETCH 41 BODY.PEEK[]"), 0) << kq_last_error();
  ASSERT_EQ(r.count, 1);
  EXPECT_STREQ(r.records[0], "* 1 FETCH (UID 41 BODY[] ) tail");
  ASSERT_EQ(r.last_lit_len, 12);
  EXPECT_EQ(std::string(r.last_lit, 12), "hello\r\nworld");
}

TEST_F(Scripted, EmptyLiteralAndBracesThatAreNotLiterals) {
  ScriptServer s;
  login_steps(s)
      .expect_line()
      .send("* 1 FETCH (BODY[] {0}\r\n)\r\n* a {5} b\r\n* c {007}x\r\n* d {12345678901}\r\n")
      .send_tagged("OK");
  connect(s);
  kq::reader r;
  ASSERT_EQ(kq::cmd_exec(&r, "NOOP"), 0) << kq_last_error();
  ASSERT_EQ(r.count, 4);
  EXPECT_STREQ(r.records[0], "* 1 FETCH (BODY[] )");
  EXPECT_EQ(r.last_lit, nullptr);
  EXPECT_EQ(r.last_lit_len, 0);
  EXPECT_STREQ(r.records[1], "* a {5} b");
  EXPECT_STREQ(r.records[2], "* c {7}x");
  EXPECT_STREQ(r.records[3], "* d {12345678901}");
}

TEST_F(Scripted, OverlongLineIsCutAndTheNextRecordStartsAfterIt) {
  ScriptServer s;
  std::string big = "* " + std::string(300000, 'x') + "\r\n";
  login_steps(s).expect_line().send(big).send("* next\r\n").send_tagged("OK");
  connect(s);
  kq::reader r;
  ASSERT_EQ(kq::cmd_exec(&r, "NOOP"), 0) << kq_last_error();
  ASSERT_EQ(r.count, 2);
  EXPECT_EQ(std::strlen(r.records[0]), 262143u);
  EXPECT_STREQ(r.records[1], "* next");
}

TEST_F(Scripted, ManyUntaggedLinesKeepTheFirst1023) {
  ScriptServer s;
  std::string lines;
  for (int i = 0; i < 1500; ++i) lines += "* " + std::to_string(i) + " EXISTS\r\n";
  login_steps(s).expect_line().send(lines).send_tagged("OK");
  connect(s);
  kq::reader r;
  ASSERT_EQ(kq::cmd_exec(&r, "NOOP"), 0) << kq_last_error();
  EXPECT_EQ(r.count, 1023);
  EXPECT_STREQ(r.records[1022], "* 1022 EXISTS");
}

TEST_F(Scripted, CompletionWordsAndTagMatching) {
  ScriptServer s;
  login_steps(s)
      .expect_line()
      .send_fn([](const std::string &last) { return last.substr(0, 6) + "X not the end\r\n"; })
      .send_tagged("ok lower case")
      .expect_line()
      .send_tagged("NO [NONEXISTENT] nope")
      .expect_line()
      .send_tagged("BAD syntax");
  connect(s);
  kq::reader r;
  ASSERT_EQ(kq::cmd_exec(&r, "NOOP"), 0);
  ASSERT_EQ(r.count, 1);  // the line with the tag but no blank is an ordinary record
  EXPECT_EQ(kq::cmd_exec(&r, "NOOP"), 1);
  ASSERT_EQ(r.count, 1);
  EXPECT_NE(std::strstr(r.records[0], " NO [NONEXISTENT] nope"), nullptr);
  EXPECT_EQ(kq::cmd_exec(&r, "NOOP"), 2);
  EXPECT_EQ(r.count, 0);

  // Tags are KQ and four digits, one step per command.
  auto got = s.received();
  ASSERT_GE(got.size(), 5u);
  int prev = -1;
  for (const auto &line : got) {
    ASSERT_EQ(line.substr(0, 2), "KQ") << line;
    int n = std::stoi(line.substr(2, 4));
    if (prev >= 0) {
      EXPECT_EQ(n, (prev + 1) % 10000);
    }
    prev = n;
  }
}

TEST_F(Scripted, Xoauth2SendsTheExactResponseAndAnswersTheChallenge) {
  ScriptServer s;
  s.send("* OK scripted\r\n")
      .expect_line()
      .send_tagged("OK")
      .expect_line()  // AUTHENTICATE XOAUTH2 ...
      .send("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n")
      .expect_line()  // the client's empty answer
      .send_fn([&s](const std::string &) { return s.received()[1].substr(0, 6) + " NO auth failed\r\n"; })
      .expect_line()  // the encoded text once more, as its own command
      .send_tagged("BAD unknown command");
  ASSERT_TRUE(s.start());
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg_for(s, "\"oauth_token\":\"tok-123\"").c_str()), -1);
  EXPECT_LT(kq::plat::tick_ms() - t0, 5000u);
  EXPECT_STREQ(kq_last_error(), "IMAP authentication failed (bad credentials or provider rejected mechanism)");
  const char raw[] = "user=u\x01" "auth=Bearer tok-123\x01\x01";
  unsigned char enc[256];
  size_t olen = 0;
  ASSERT_EQ(mbedtls_base64_encode(enc, sizeof enc, &olen, reinterpret_cast<const unsigned char *>(raw),
                                  sizeof raw - 1), 0);
  std::string b64(reinterpret_cast<char *>(enc), olen);
  auto got = s.received();
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ(got[1].substr(7), "AUTHENTICATE XOAUTH2 " + b64);
  EXPECT_EQ(got[2], "");
  EXPECT_EQ(got[3].substr(7), b64);
}

TEST_F(Scripted, LoginQuotesCredentialsAndSendsNothingWithoutThem) {
  ScriptServer s;
  s.send("* OK\r\n").expect_line().send_tagged("OK").expect_line().send_tagged("OK");
  ASSERT_TRUE(s.start());
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                    ",\"ssl\":0,\"user\":\"a\\\"b\",\"pass\":\"p\\\\q\\\"\"}";
  ASSERT_EQ(kq_connect(cfg.c_str()), 0) << kq_last_error();
  s.stop();
  EXPECT_EQ(s.received()[1].substr(7), "LOGIN \"a\\\"b\" \"p\\\\q\\\"\"");
  kq_disconnect();

  ScriptServer s2;
  s2.send("* OK\r\n").expect_line().send_tagged("OK");
  ASSERT_TRUE(s2.start());
  EXPECT_EQ(kq_connect(cfg_for(s2, "\"pass\":\"\"").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "IMAP authentication failed (bad credentials or provider rejected mechanism)");
  s2.stop();
  EXPECT_EQ(s2.received().size(), 1u);  // CAPABILITY only
}

TEST_F(Scripted, PeerClosingInsideALiteral) {
  ScriptServer s;
  login_steps(s).expect_line().send("* 1 FETCH (BODY[] {100}\r\n" + std::string(40, 'm')).close();
  connect(s);
  kq::reader r;
  EXPECT_EQ(kq::cmd_exec(&r, "UID FETCH 1 BODY.PEEK[]"), -1);
  EXPECT_STREQ(kq_last_error(), "connection closed by server");
  // End of data is not a failed read: the connection is not marked lost.
  EXPECT_EQ(kq::s_conn.dead, 0);
}

TEST_F(Scripted, SilentPeerTimesOutAndMarksThePlainConnectionLost) {
  ScriptServer s;
  login_steps(s).expect_line().hold();
  connect(s);
  kq::s_recv_timeout_s = 1;
  kq::plat::sock_set_timeouts(kq::s_conn.sock, 1, 0);
  kq::reader r;
  EXPECT_EQ(kq::cmd_exec(&r, "NOOP"), -1);
  EXPECT_STREQ(kq_last_error(), "connection closed by server");
  EXPECT_EQ(kq_status(), 0);
  kq::reader r2;
  EXPECT_EQ(kq::cmd_exec(&r2, "NOOP"), -1);
  EXPECT_STREQ(kq_last_error(), "connection lost");
  s.stop();
}

TEST_F(Scripted, GreetingThatNeverComes) {
  ScriptServer s;
  s.hold();
  ASSERT_TRUE(s.start());
  kq::s_recv_timeout_s = 1;
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg_for(s).c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "no greeting from server");
  EXPECT_LT(kq::plat::tick_ms() - t0, 5000u);
  EXPECT_EQ(kq_status(), 0);
  s.stop();
}

TEST_F(Scripted, TlsHandshakeThatIsNeverAnsweredGivesUp) {
  ScriptServer s;
  s.hold();
  ASSERT_TRUE(s.start());
  kq::s_recv_timeout_s = 1;
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                    ",\"ssl\":1,\"tls_verify\":0,\"user\":\"u\",\"pass\":\"p\"}";
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg.c_str()), -1);
  EXPECT_LT(kq::plat::tick_ms() - t0, 5000u);
  std::string err = kq_last_error();
  EXPECT_EQ(err.rfind("TLS handshake failed: ", 0), 0u) << err;
  EXPECT_NE(err.find("1 s"), std::string::npos) << err;
  EXPECT_EQ(kq_status(), 0);
  s.stop();
}

}  // namespace
