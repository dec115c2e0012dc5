// The session against a scripted server: which command FETCH data reaches,
// what a malformed response costs, when a command may be pipelined, how
// long silence may last, what a response may hold, when credentials stay
// off the wire, and reconnecting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/fetch_data.h"
#include "connection/session.h"
#include "kerquill.h"
#include "support/script_server.h"

namespace {

using kqtest::ScriptServer;

std::string json_for(const ScriptServer &s, const std::string &extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"secret-pw\"" + extra + "}";
}

// Greeting with capabilities, then LOGIN accepted.
ScriptServer &greet_and_login(ScriptServer &s, const char *caps = "IMAP4rev1") {
  return s.send(std::string("* OK [CAPABILITY ") + caps + "] scripted\r\n").expect_line().send_tagged("OK in");
}

// The tag of the n-th line the client sent (0-based).
std::string tag_of(const ScriptServer &s, std::size_t n) {
  std::vector<std::string> got = s.received();
  return n < got.size() ? got[n].substr(0, got[n].find(' ')) : std::string("?");
}

// text with "<tag1>" replaced by tag.
std::string with_tag1(std::string text, const std::string &tag) {
  if (std::size_t at = text.find("<tag1>"); at != std::string::npos) text.replace(at, 6, tag);
  return text;
}

class SessionScript : public ::testing::Test {
 protected:
  void start_and_connect(ScriptServer &s, const std::string &extra = "") {
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    kq::conn_config cfg;
    ASSERT_TRUE(kq::conn_config_parse(json_for(s, extra).c_str(), cfg)) << kq_last_error();
    ASSERT_EQ(sess.connect(cfg), 0) << kq_last_error();
  }
  // Submits a command that keeps what is routed to it.
  void submit(const std::string &line, std::uint32_t lo, std::uint32_t hi, std::vector<kq::response> &data,
              int &done) {
    kq::session::command c;
    c.line = line;
    c.uid_lo = lo;
    c.uid_hi = hi;
    c.on_data = [&data](kq::response &r) { data.push_back(std::move(r)); };
    c.on_done = [&done](int st, const std::string &) { done = st; };
    sess.submit(std::move(c));
  }
  kq::session sess;
};

}  // namespace

TEST_F(SessionScript, FetchDataIsRoutedByItsParsedUidItem) {
  ScriptServer s;
  // Three commands in flight: UIDs 1..100, UID 1500, and one with no range.
  // Records name their UID in any case, and carry "UID 1500" as text inside
  // other items; each must reach the command its UID item names.
  greet_and_login(s).expect_line().expect_line().expect_line().send_fn([&s](const std::string &) {
    return "* 1 FETCH (BODYSTRUCTURE (\"application\" \"pdf\" (\"name\" \"x UID 1500.pdf\") NIL NIL "
           "\"base64\" 10) uid 5)\r\n"
           "* 2 FETCH (BODY[HEADER] {9}\r\nUID 1500\n Uid 1500)\r\n"
           "* 3 FETCH (BODY[HEADER] {8}\r\nUID 1500 UID 70)\r\n"
           "* 4 FETCH (FLAGS (\\Seen) UID 3000)\r\n"
           "* 5 EXISTS\r\n" +
           tag_of(s, 1) + " OK a\r\n" + tag_of(s, 2) + " OK b\r\n" + tag_of(s, 3) + " OK c\r\n";
  });
  start_and_connect(s);
  sess.set_window(3);
  std::vector<kq::response> data[3];
  int done[3] = {-2, -2, -2};
  submit("UID FETCH 1:100 (BODYSTRUCTURE)", 1, 100, data[0], done[0]);
  submit("UID FETCH 1500 (BODY.PEEK[HEADER])", 1500, 1500, data[1], done[1]);
  submit("NOOP", 0, 0, data[2], done[2]);
  ASSERT_TRUE(sess.drain()) << kq_last_error();
  auto uids = [](const std::vector<kq::response> &rs) {
    std::vector<std::uint32_t> out;
    for (const kq::response &r : rs) {
      std::uint32_t u = 0;
      out.push_back(kq::fetch_uid(r, u) ? u : 0);
    }
    return out;
  };
  EXPECT_EQ(uids(data[0]), (std::vector<std::uint32_t>{5, 70, 0}));  // 0: the EXISTS
  EXPECT_EQ(uids(data[1]), (std::vector<std::uint32_t>{1500}));
  // No range holds 3000: the command that claimed none gets it.
  EXPECT_EQ(uids(data[2]), (std::vector<std::uint32_t>{3000}));
  EXPECT_EQ(done[0], 0);
  EXPECT_EQ(done[1], 0);
  EXPECT_EQ(done[2], 0);
  EXPECT_TRUE(s.errors().empty());
}

TEST_F(SessionScript, ProtocolErrorsDropTheConnectionAndEveryCommandInFlight) {
  struct row {
    const char *what;
    std::string records;  // sent once both commands are in flight
    const char *error;
  };
  const row rows[] = {
      {"a literal announced larger than what was sent",
       "* 1 FETCH (UID 1 BODY[] {40}\r\n" + std::string(20, 'a') + ")\r\n* 2 FETCH (UID 2 BODY[] {3}\r\nabc)\r\n",
       "protocol error: unexpected data after a literal"},
      {"a FETCH item list that does not parse", "* 1 FETCH (UID 1 BODY[] \"open)\r\n",
       "protocol error: a FETCH response that does not parse"},
      {"a NUL inside a line", std::string("* 1 FETCH (UID 1 FL\0AGS ())\r\n", 29),
       "protocol error: NUL byte in a response line"},
      // Whatever the server meant, its answers can no longer be matched to
      // the commands that asked.
      {"a completion whose tag no command in flight has", "ZZ99 OK stray\r\n",
       "protocol error: a completion tagged \"ZZ99\" for no command in flight"},
      // A tag is the whole word: one that only begins with ours is not ours.
      {"a completion whose tag only begins with a command's", "<tag1>X OK longer\r\n",
       "protocol error: a completion tagged \"<tag1>X\" for no command in flight"},
      // An answer to it would reach the server as a command line.
      {"a continuation request no command waits for", "+ go ahead\r\n",
       "protocol error: a continuation request while no command waits for one"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.what);
    kq::session one;
    ScriptServer s;
    // The completions that follow must not be read as answers either.
    greet_and_login(s).expect_line().expect_line().send_fn([&s, &c](const std::string &) {
      return with_tag1(c.records, tag_of(s, 1)) + tag_of(s, 1) + " OK a\r\n" + tag_of(s, 2) + " OK b\r\n";
    }).hold();
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    kq::conn_config cfg;
    ASSERT_TRUE(kq::conn_config_parse(json_for(s).c_str(), cfg));
    ASSERT_EQ(one.connect(cfg), 0) << kq_last_error();
    one.set_window(2);
    std::vector<kq::response> data;
    int done[2] = {-2, -2};
    for (int i = 0; i < 2; ++i) {
      kq::session::command cmd;
      cmd.line = "UID FETCH " + std::to_string(i + 1) + " (BODY.PEEK[])";
      cmd.uid_lo = cmd.uid_hi = static_cast<std::uint32_t>(i + 1);
      cmd.on_data = [&data](kq::response &r) { data.push_back(std::move(r)); };
      cmd.on_done = [&done, i](int st, const std::string &) { done[i] = st; };
      one.submit(std::move(cmd));
    }
    EXPECT_FALSE(one.drain());
    EXPECT_EQ(kq_last_error(), with_tag1(c.error, tag_of(s, 1)));
    EXPECT_TRUE(data.empty()) << data[0].line;
    EXPECT_EQ(done[0], -1);
    EXPECT_EQ(done[1], -1);
    EXPECT_EQ(one.status(), 0);
    EXPECT_EQ(one.exec("NOOP"), -1);
    s.stop();
  }
}

TEST_F(SessionScript, ACommandInAContinuationDialogueIsNeverPipelined) {
  ScriptServer s;
  // How many lines the client had sent when the server was about to answer
  // the command before the dialogue, and to end the dialogue. Each is read
  // after a pause that gives a client breaking the rule time to send more:
  // a slow machine can only hide a fault, never fail a right client.
  std::size_t before_dialogue = 0, in_dialogue = 0;
  greet_and_login(s)
      .expect_line()  // the NOOP before the dialogue
      .sleep_ms(300)
      .send_fn([&](const std::string &) {
        before_dialogue = s.received().size();
        return tag_of(s, 1) + " OK noop\r\n";
      })
      .expect_line()  // AUTHENTICATE
      .send("+ Y2hhbGxlbmdl\r\n")
      .expect_line()  // the answer to the challenge
      .sleep_ms(300)
      .send_fn([&](const std::string &) {
        in_dialogue = s.received().size();
        return tag_of(s, 2) + " OK done\r\n";
      })
      .expect_line()  // the NOOP after it
      .send_tagged("OK noop");
  start_and_connect(s);
  sess.set_window(3);
  std::vector<kq::response> ignored;
  int done[3] = {-2, -2, -2};
  std::string challenge;
  submit("NOOP", 0, 0, ignored, done[0]);
  kq::session::command auth;
  auth.line = "AUTHENTICATE X-TEST";
  auth.on_continue = [&challenge](const std::string &c) {
    challenge = c;
    return std::string("cmVzcG9uc2U=");
  };
  auth.on_done = [&done](int st, const std::string &) { done[1] = st; };
  sess.submit(std::move(auth));
  submit("NOOP", 0, 0, ignored, done[2]);
  ASSERT_TRUE(sess.drain()) << kq_last_error();
  s.stop();
  EXPECT_EQ(before_dialogue, 2u);  // LOGIN, NOOP: the dialogue waited for the NOOP to complete
  EXPECT_EQ(in_dialogue, 4u);      // ... AUTHENTICATE, its answer: nothing went behind it
  EXPECT_EQ(challenge, "Y2hhbGxlbmdl");
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[2].substr(got[2].find(' ') + 1), "AUTHENTICATE X-TEST");
  EXPECT_EQ(got[3], "cmVzcG9uc2U=");
  EXPECT_EQ(got[4].substr(got[4].find(' ') + 1), "NOOP");
  EXPECT_EQ(done[0], 0);
  EXPECT_EQ(done[1], 0);
  EXPECT_EQ(done[2], 0);
  EXPECT_TRUE(s.errors().empty());
}

TEST_F(SessionScript, NulBytesBeforeAResponseAreSkipped) {
  ScriptServer s;
  greet_and_login(s).expect_line().send(std::string("\0\0* 5 FETCH (UID 9 FLAGS ())\r\n\0", 31)).send_tagged("OK");
  start_and_connect(s);
  kq::command_reply r;
  ASSERT_EQ(sess.exec("UID FETCH 9 FLAGS", &r), 0) << kq_last_error();
  ASSERT_EQ(r.data.size(), 1u);
  std::uint32_t uid = 0;
  EXPECT_TRUE(kq::fetch_uid(r.data[0], uid));
  EXPECT_EQ(uid, 9u);
}

TEST_F(SessionScript, DeadlineBoundsSilenceNotTheWholeAnswer) {
  ScriptServer s;
  // timeout_s is 2. The greeting takes about 3 s and a body about 5 s, each
  // a piece every 100 ms: never silent for long, so both arrive. Then the
  // server falls silent, and that costs one deadline.
  std::string greeting = "* OK [CAPABILITY IMAP4rev1] gg\r\n";
  std::string body;
  for (int i = 0; body.size() < 5000; ++i) body += "line " + std::to_string(i) + " of a slow message\r\n";
  std::string record = "* 1 FETCH (UID 1 BODY[] {" + std::to_string(body.size()) + "}\r\n" + body + ")\r\n";
  s.send(greeting, 1, 100)
      .expect_line()
      .send_tagged("OK in")
      .expect_line()
      .send(record, record.size() / 50 + 1, 100)
      .send_tagged("OK fetched")
      .expect_line()
      .hold();
  start_and_connect(s, ",\"timeout_s\":2");
  kq::command_reply r;
  ASSERT_EQ(sess.exec("UID FETCH 1 BODY.PEEK[]", &r), 0) << kq_last_error();
  ASSERT_EQ(r.data.size(), 1u);
  ASSERT_EQ(r.data[0].literals.size(), 1u);
  EXPECT_EQ(r.data[0].literals[0], body);
  EXPECT_EQ(sess.exec("NOOP", &r), -1);
  EXPECT_STREQ(kq_last_error(), "server did not answer within 2 s");
  EXPECT_EQ(sess.status(), 0);
  s.stop();
}

TEST_F(SessionScript, LiteralsOverTheCapAreReadAndDroppedAndTheSessionGoesOn) {
  ScriptServer s;
  // A cap of 1,024 bytes: three literals each over it are read off the wire
  // and dropped; a small one that fits beside the others is kept.
  std::string big1(2000, 'a'), big2(1500, 'b'), big3(3000, 'c');
  greet_and_login(s)
      .expect_line()
      .send("* 1 FETCH (UID 7 BODY[HEADER] {2000}\r\n" + big1 + " BODY[TEXT] {1500}\r\n" + big2 +
            " BODY[1] {5}\r\nsmall BODY[] {3000}\r\n" + big3 + ")\r\n")
      .send_tagged("OK fetched")
      .expect_line()
      .send_tagged("OK noop");
  start_and_connect(s, ",\"max_message_bytes\":1024");
  kq::command_reply r;
  ASSERT_EQ(sess.exec("UID FETCH 7 (BODY.PEEK[HEADER] BODY.PEEK[TEXT] BODY.PEEK[1] BODY.PEEK[])", &r), 0)
      << kq_last_error();
  ASSERT_EQ(r.data.size(), 1u);
  const kq::response &got = r.data[0];
  EXPECT_TRUE(got.over_cap);
  ASSERT_EQ(got.literals.size(), 4u);
  EXPECT_EQ(got.literals[0], "");
  EXPECT_EQ(got.literals[1], "");
  EXPECT_EQ(got.literals[2], "small");
  EXPECT_EQ(got.literals[3], "");
  kq::fetch_data f;
  ASSERT_TRUE(kq::parse_fetch(got, f));
  EXPECT_EQ(f.uid, 7u);
  ASSERT_EQ(f.sections.size(), 4u);
  const long long sizes[] = {2000, 1500, -1, 3000};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(f.sections[i].name);
    EXPECT_EQ(f.sections[i].over_cap, sizes[i] >= 0);
    if (sizes[i] >= 0) {
      EXPECT_EQ(f.sections[i].over_cap_size, sizes[i]);
      EXPECT_TRUE(f.sections[i].bytes.empty());
    }
  }
  EXPECT_EQ(f.sections[2].bytes, "small");
  EXPECT_EQ(kq::over_cap_message(f.uid, f.sections[0].over_cap_size),
            "message uid 7 is larger than max_message_bytes (2000 bytes)");
  // The stream stayed in step: the next command runs.
  EXPECT_EQ(sess.exec("NOOP"), 0) << kq_last_error();
}

TEST_F(SessionScript, LogindisabledKeepsEveryCredentialOffTheWire) {
  struct row {
    const char *what;
    std::string greeting;
    bool asks_capability;  // the capabilities come from CAPABILITY, not the greeting
    std::string credential;
  };
  const row rows[] = {
      {"password, capabilities in the greeting", "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hi\r\n", false,
       "\"pass\":\"secret-pw\""},
      {"password, capabilities asked for", "* OK hi\r\n", true, "\"pass\":\"secret-pw\""},
      {"bearer token", "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=XOAUTH2 SASL-IR] hi\r\n", false,
       "\"oauth_token\":\"secret-pw\""},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.what);
    ScriptServer s;
    s.send(c.greeting);
    if (c.asks_capability) s.expect_line().send("* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n").send_tagged("OK");
    s.expect_close();
    ASSERT_TRUE(s.start());
    std::string json = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                       ",\"ssl\":0,\"user\":\"u\"," + c.credential + "}";
    kq::conn_config cfg;
    ASSERT_TRUE(kq::conn_config_parse(json.c_str(), cfg)) << kq_last_error();
    kq::session one;
    EXPECT_EQ(one.connect(cfg), -1);
    EXPECT_STREQ(kq_last_error(),
                 "the server refuses plain-text login (LOGINDISABLED): connect with TLS (ssl 1) or STARTTLS (ssl 2)");
    EXPECT_TRUE(s.wait_done(10000));
    s.stop();
    EXPECT_EQ(s.received_bytes().find("secret-pw"), std::string::npos);
    EXPECT_EQ(s.received_bytes().find("LOGIN"), std::string::npos);
    EXPECT_EQ(s.received_bytes().find("AUTHENTICATE"), std::string::npos);
    EXPECT_TRUE(s.errors().empty());
  }
}

TEST_F(SessionScript, ReconnectLogsInAgainWithTheSameConfiguration) {
  ScriptServer s;
  // The first connection ends right after the login; the second serves.
  greet_and_login(s).close();
  greet_and_login(s).expect_line().send_tagged("OK noop");
  start_and_connect(s);
  EXPECT_EQ(sess.exec("NOOP"), -1);
  EXPECT_EQ(sess.status(), 0);
  ASSERT_EQ(sess.reconnect(), 0) << kq_last_error();
  EXPECT_EQ(sess.status(), 2);
  EXPECT_EQ(sess.exec("NOOP"), 0) << kq_last_error();
  EXPECT_EQ(sess.reconnects(), 1u);
  EXPECT_EQ(s.connections(), 2);
  std::vector<std::string> got = s.received();
  ASSERT_GE(got.size(), 3u);
  // Both logins carried the password.
  EXPECT_NE(got[0].find("LOGIN \"u\" \"secret-pw\""), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("LOGIN \"u\" \"secret-pw\""), std::string::npos) << got[1];
  sess.reset_counters();
  EXPECT_EQ(sess.reconnects(), 0u);
  // A closed session has nothing left to reconnect with.
  sess.disconnect();
  EXPECT_TRUE(sess.config().pass.empty());
  EXPECT_EQ(sess.reconnect(), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  s.stop();
}

TEST_F(SessionScript, UntaggedLoadHintsAreKeptUntilCleared) {
  ScriptServer s;
  greet_and_login(s)
      .expect_line()
      .send("* OK [THROTTLED] slow down\r\n")
      .send_tagged("OK")
      .expect_line()
      .send("* NO [UNAVAILABLE] Suggested Backoff Time: 200 ms\r\n")
      .send_tagged("OK");
  start_and_connect(s);
  EXPECT_FALSE(sess.last_throttle().any());
  ASSERT_EQ(sess.exec("NOOP"), 0) << kq_last_error();
  EXPECT_TRUE(sess.last_throttle().throttled);
  EXPECT_EQ(sess.last_throttle().backoff_ms, -1);
  sess.clear_throttle();
  EXPECT_FALSE(sess.last_throttle().any());
  ASSERT_EQ(sess.exec("NOOP"), 0) << kq_last_error();
  EXPECT_TRUE(sess.last_throttle().unavailable);
  EXPECT_FALSE(sess.last_throttle().throttled);
  EXPECT_EQ(sess.last_throttle().backoff_ms, 200);
}
