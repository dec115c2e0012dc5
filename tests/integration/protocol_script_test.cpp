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
  void TearDown() override { kq_disconnect(); }
  void connect(ScriptServer &s, const std::string &extra = "\"pass\":\"p\"") {
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    ASSERT_EQ(kq_connect(cfg_for(s, extra).c_str()), 0) << kq_last_error();
  }
  static int exec(const std::string &line, kq::command_reply &r) { return kq::main_session().exec(line, &r); }
};

TEST_F(Scripted, ByeGreetingPassesAndTheNextCommandFails) {
  ScriptServer s;
  s.send("* BYE too busy\r\n").close();
  ASSERT_TRUE(s.start());
  EXPECT_EQ(kq_connect(cfg_for(s).c_str()), -1);
  // Closed, reset or refused on send: which one the system reports depends
  // on timing; each names the connection, not a step that could not start.
  std::string err = kq_last_error();
  EXPECT_TRUE(err == "connection closed by server" || err.rfind("receive failed: ", 0) == 0 ||
              err.rfind("send failed: ", 0) == 0)
      << err;
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
  kq::command_reply r;
  ASSERT_EQ(exec("UID FETCH 41 BODY.PEEK[]", r), 0) << kq_last_error();
  ASSERT_EQ(r.data.size(), 1u);
  EXPECT_EQ(r.data[0].line, "* 1 FETCH (UID 41 BODY[] {12}) tail");
  ASSERT_EQ(r.data[0].literals.size(), 1u);
  EXPECT_EQ(r.data[0].literals[0], "hello\r\nworld");
}

TEST_F(Scripted, EmptyLiteralAndBracesThatAreNotLiterals) {
  ScriptServer s;
  login_steps(s)
      .expect_line()
      .send("* 1 FETCH (BODY[] {0}\r\n)\r\n* a {5} b\r\n* c {007}x\r\n")
      .send_tagged("OK");
  connect(s);
  kq::command_reply r;
  ASSERT_EQ(exec("NOOP", r), 0) << kq_last_error();
  ASSERT_EQ(r.data.size(), 3u);
  ASSERT_EQ(r.data[0].literals.size(), 1u);
  EXPECT_EQ(r.data[0].literals[0], "");
  EXPECT_EQ(r.data[1].line, "* a {5} b");
  EXPECT_TRUE(r.data[1].literals.empty());
  EXPECT_EQ(r.data[2].line, "* c {007}x");
}

TEST_F(Scripted, TenDigitLiteralIsAClearErrorNotText) {
  ScriptServer s;
  login_steps(s).expect_line().send("* 1 FETCH (BODY[] {2147483647}\r\nabc").hold();
  connect(s);
  kq::command_reply r;
  EXPECT_EQ(exec("UID FETCH 1 BODY.PEEK[]", r), -1);
  EXPECT_STREQ(kq_last_error(), "literal too large");
  EXPECT_EQ(kq_status(), 0);
  s.stop();
}

TEST_F(Scripted, LongLinesAndManyRecordsArriveWhole) {
  ScriptServer s;
  std::string big = "* " + std::string(300000, 'x') + "\r\n";
  std::string lines;
  for (int i = 0; i < 1500; ++i) lines += "* " + std::to_string(i) + " EXISTS\r\n";
  login_steps(s).expect_line().send(big).send(lines).send("* next\r\n").send_tagged("OK");
  connect(s);
  kq::command_reply r;
  ASSERT_EQ(exec("NOOP", r), 0) << kq_last_error();
  // Nothing is cut or dropped: no record cap loses data.
  ASSERT_EQ(r.data.size(), 1502u);
  EXPECT_EQ(r.data[0].line.size(), 300002u);
  EXPECT_EQ(r.data[1500].line, "* 1499 EXISTS");
  EXPECT_EQ(r.data[1501].line, "* next");
}

TEST_F(Scripted, CompletionWordsAndTagMatching) {
  ScriptServer s;
  login_steps(s)
      .expect_line()
      .send_tagged("ok lower case")
      .expect_line()
      .send_tagged("NO [NONEXISTENT] nope")
      .expect_line()
      .send_tagged("BAD syntax");
  connect(s);
  kq::command_reply r;
  ASSERT_EQ(exec("NOOP", r), 0);
  EXPECT_EQ(exec("NOOP", r), 1);
  EXPECT_EQ(r.text, "[NONEXISTENT] nope");
  EXPECT_EQ(exec("NOOP", r), 2);

  // Tags are KQ and at least four digits, one step per command.
  auto got = s.received();
  ASSERT_GE(got.size(), 5u);
  long prev = -1;
  for (const auto &line : got) {
    ASSERT_EQ(line.substr(0, 2), "KQ") << line;
    long n = std::stol(line.substr(2, line.find(' ') - 2));
    if (prev >= 0) {
      EXPECT_EQ(n, prev + 1);
    }
    prev = n;
  }
}

TEST_F(Scripted, RepliesOutOfOrderReachTheirCommands) {
  ScriptServer s;
  // Two commands in flight; the server completes the second first and
  // interleaves their FETCH data.
  login_steps(s)
      .expect_line()
      .expect_line()
      .send_fn([&s](const std::string &) {
        auto got = s.received();
        std::string t1 = got[got.size() - 2].substr(0, got[got.size() - 2].find(' '));
        std::string t2 = got.back().substr(0, got.back().find(' '));
        return "* 2 FETCH (UID 20 BODY[] {3}\r\ntwo)\r\n* 1 FETCH (UID 10 BODY[] {3}\r\none)\r\n" + t2 +
               " OK second\r\n" + t1 + " OK first\r\n";
      });
  connect(s);
  kq::session &sess = kq::main_session();
  sess.set_window(4);
  std::string body[2];
  int done[2] = {-1, -1};
  for (int i = 0; i < 2; ++i) {
    kq::session::command c;
    unsigned uid = i == 0 ? 10 : 20;
    c.line = "UID FETCH " + std::to_string(uid) + " (BODY.PEEK[])";
    c.uid_lo = c.uid_hi = uid;
    c.on_data = [&body, i](kq::response &r) { body[i] += r.literals.at(0); };
    c.on_done = [&done, i](int st, const std::string &) { done[i] = st; };
    sess.submit(std::move(c));
  }
  ASSERT_TRUE(sess.drain()) << kq_last_error();
  sess.set_window(1);
  EXPECT_EQ(done[0], 0);
  EXPECT_EQ(done[1], 0);
  EXPECT_EQ(body[0], "one");
  EXPECT_EQ(body[1], "two");
  EXPECT_EQ(sess.most_in_flight() >= 2, true);
}

TEST_F(Scripted, Xoauth2SendsTheExactResponseAndAnswersTheChallenge) {
  ScriptServer s;
  s.send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2] scripted\r\n")
      .expect_line()  // AUTHENTICATE XOAUTH2 ...
      .send("+ eyJzdGF0dXMiOiI0MDEifQ==\r\n")
      .expect_line()  // the client's empty answer
      .send_fn([&s](const std::string &) {
        return s.received()[0].substr(0, s.received()[0].find(' ')) + " NO auth failed\r\n";
      });
  ASSERT_TRUE(s.start());
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg_for(s, "\"oauth_token\":\"tok-123\"").c_str()), -1);
  EXPECT_LT(kq::plat::tick_ms() - t0, 5000u);
  EXPECT_STREQ(kq_last_error(), "IMAP authentication failed: auth failed");
  const char raw[] = "user=u\x01" "auth=Bearer tok-123\x01\x01";
  unsigned char enc[256];
  size_t olen = 0;
  ASSERT_EQ(mbedtls_base64_encode(enc, sizeof enc, &olen, reinterpret_cast<const unsigned char *>(raw),
                                  sizeof raw - 1), 0);
  std::string b64(reinterpret_cast<char *>(enc), olen);
  s.stop();
  auto got = s.received();
  ASSERT_EQ(got.size(), 2u);  // the token is never sent again as a command of its own
  EXPECT_EQ(got[0].substr(got[0].find(' ') + 1), "AUTHENTICATE XOAUTH2 " + b64);
  EXPECT_EQ(got[1], "");
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

TEST_F(Scripted, PeerClosingInsideALiteralMarksTheConnectionLost) {
  ScriptServer s;
  login_steps(s).expect_line().send("* 1 FETCH (BODY[] {100}\r\n" + std::string(40, 'm')).close();
  connect(s);
  kq::command_reply r;
  EXPECT_EQ(exec("UID FETCH 1 BODY.PEEK[]", r), -1);
  EXPECT_STREQ(kq_last_error(), "connection closed by server");
  // A server that hung up is noticed: the next call does not pretend.
  EXPECT_EQ(kq_status(), 0);
  EXPECT_EQ(exec("NOOP", r), -1);
  EXPECT_STREQ(kq_last_error(), "connection closed by server");
}

TEST_F(Scripted, SilentPeerCostsOneDeadlineAndMarksTheConnectionLost) {
  ScriptServer s;
  login_steps(s).expect_line().hold();
  connect(s, "\"pass\":\"p\",\"timeout_s\":1");
  kq::command_reply r;
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(exec("NOOP", r), -1);
  EXPECT_LT(kq::plat::tick_ms() - t0, 4000u);
  EXPECT_STREQ(kq_last_error(), "server did not answer within 1 s");
  EXPECT_EQ(kq_status(), 0);
  s.stop();
}

TEST_F(Scripted, GreetingThatNeverComes) {
  ScriptServer s;
  s.hold();
  ASSERT_TRUE(s.start());
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg_for(s, "\"pass\":\"p\",\"timeout_s\":1").c_str()), -1);
  EXPECT_EQ(std::string(kq_last_error()).rfind("no greeting from server", 0), 0u) << kq_last_error();
  EXPECT_LT(kq::plat::tick_ms() - t0, 5000u);
  EXPECT_EQ(kq_status(), 0);
  s.stop();
}

TEST_F(Scripted, TlsHandshakeThatIsNeverAnsweredGivesUp) {
  ScriptServer s;
  s.hold();
  ASSERT_TRUE(s.start());
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                    ",\"ssl\":1,\"tls_verify\":0,\"timeout_s\":1,\"user\":\"u\",\"pass\":\"p\"}";
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg.c_str()), -1);
  EXPECT_LT(kq::plat::tick_ms() - t0, 5000u);
  std::string err = kq_last_error();
  EXPECT_EQ(err.rfind("TLS handshake failed: ", 0), 0u) << err;
  EXPECT_NE(err.find("1 s"), std::string::npos) << err;
  EXPECT_EQ(kq_status(), 0);
  s.stop();
}

TEST_F(Scripted, StarttlsIsRequiredWhenAskedFor) {
  ScriptServer s;
  // No STARTTLS offered: the password must never go out in the clear.
  s.send("* OK ready\r\n").expect_line().send("* CAPABILITY IMAP4rev1\r\n").send_tagged("OK");
  ASSERT_TRUE(s.start());
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                    ",\"ssl\":2,\"user\":\"u\",\"pass\":\"p\"}";
  EXPECT_EQ(kq_connect(cfg.c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "server does not offer STARTTLS; not logging in without encryption");
  s.stop();
  for (const std::string &line : s.received()) EXPECT_EQ(line.find("LOGIN"), std::string::npos) << line;
}

}  // namespace
