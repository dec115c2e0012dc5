// Checks of the test harness itself: the Dovecot instance the integration
// tests run against, and the scripted server. If these fail, failures
// elsewhere in the integration suite say nothing about the library.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "support/dovecot_server.h"
#include "support/platform/net.h"
#include "support/platform/os.h"
#include "support/script_server.h"

namespace {

using kqtest::DovecotServer;
using kqtest::ScriptServer;
using kqtest::platform::Socket;

std::string b64(const std::string &in) {
  static const char tbl[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned val = 0;
  int bits = -6;
  for (unsigned char c : in) {
    val = (val << 8) + c;
    bits += 8;
    while (bits >= 0) {
      out += tbl[(val >> bits) & 0x3F];
      bits -= 6;
    }
  }
  if (bits > -6) out += tbl[((val << 8) >> (bits + 8)) & 0x3F];
  while (out.size() % 4) out += '=';
  return out;
}

bool starts_with(const std::string &s, const std::string &p) { return s.rfind(p, 0) == 0; }

// A bare-hands IMAP client: enough to check the server independently of the
// library under test.
class RawImap {
 public:
  bool connect(int port, std::string *greeting) {
    std::string err;
    sock_ = Socket::connect_loopback(port, 3000, &err);
    if (!sock_.valid()) {
      *greeting = "connect failed: " + err;
      return false;
    }
    return sock_.read_line(greeting, 5000);
  }
  // Sends "<tag> <text>\r\n" and returns every line up to and including the
  // tagged completion (empty on timeout or EOF).
  std::vector<std::string> cmd(const std::string &tag, const std::string &text,
                               int timeout_ms = 5000) {
    std::vector<std::string> lines;
    if (!sock_.send_all(tag + " " + text + "\r\n", timeout_ms)) return lines;
    return until_tagged(tag, timeout_ms);
  }
  std::vector<std::string> until_tagged(const std::string &tag, int timeout_ms = 5000) {
    std::vector<std::string> lines;
    std::string line;
    while (sock_.read_line(&line, timeout_ms)) {
      lines.push_back(line);
      if (starts_with(line, tag + " ")) return lines;
    }
    lines.clear();
    return lines;
  }
  bool send_line(const std::string &l) { return sock_.send_all(l + "\r\n", 3000); }
  bool read_line(std::string *l, int timeout_ms = 5000) { return sock_.read_line(l, timeout_ms); }
  Socket &socket() { return sock_; }

 private:
  Socket sock_;
};

std::string joined(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &l : v) s += l + "\n";
  return s;
}

std::string login_line(const std::string &user, const std::string &pass) {
  auto q = [](const std::string &s) {
    std::string o = "\"";
    for (char c : s) {
      if (c == '"' || c == '\\') o += '\\';
      o += c;
    }
    return o + "\"";
  };
  return "LOGIN " + q(user) + " " + q(pass);
}

class DovecotHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    dv_ = &kqtest::shared_dovecot();
    ASSERT_TRUE(dv_->running()) << dv_->start_error();
  }
  // A fresh user with its own empty mailbox.
  std::string new_user(const std::string &pass = "pw-1") {
    std::string u = dv_->unique_user("harness");
    EXPECT_TRUE(dv_->add_user(u, pass)) << dv_->last_error();
    return u;
  }
  std::string diag() { return dv_->last_error() + "\n" + dv_->log_tail(); }
  DovecotServer *dv_ = nullptr;
};

TEST_F(DovecotHarness, GreetsOnPlainPort) {
  RawImap c;
  std::string greeting;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &greeting)) << greeting;
  EXPECT_TRUE(starts_with(greeting, "* OK ")) << greeting;
  EXPECT_NE(greeting.find("AUTH=XOAUTH2"), std::string::npos) << greeting;
  auto r = c.cmd("z", "LOGOUT");
  ASSERT_FALSE(r.empty());
  EXPECT_TRUE(starts_with(r.back(), "z OK")) << joined(r);
}

TEST_F(DovecotHarness, TlsPortVerifiesWithItsOwnCertificateAndLogsIn) {
  std::string user = new_user("tls secret");
  for (const char *check : {"-verify_hostname", "-verify_ip"}) {
    std::string name = std::string(check) == "-verify_ip" ? "127.0.0.1" : "localhost";
    kqtest::platform::RunResult r = kqtest::platform::run(
        {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(dv_->tls_port()),
         "-CAfile", dv_->cert_file(), "-verify_return_error", check, name, "-crlf",
         "-ign_eof"},
        "a " + login_line(user, "tls secret") + "\nb LOGOUT\n", 15000);
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Verify return code: 0 (ok)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n* OK "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\na OK "), std::string::npos) << r.out << diag();
    EXPECT_NE(r.out.find("\nb OK "), std::string::npos) << r.out;
  }
}

TEST_F(DovecotHarness, UserAddedAtRunTimeLogsInAndBadLoginsFailQuickly) {
  std::string user = new_user("right \"pass\" \\ :x");
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;

  long long t0 = kqtest::platform::now_ms();
  auto bad = c.cmd("a1", login_line(user, "wrong"));
  long long wrong_ms = kqtest::platform::now_ms() - t0;
  ASSERT_FALSE(bad.empty());
  EXPECT_TRUE(starts_with(bad.back(), "a1 NO ")) << joined(bad);
  EXPECT_LT(wrong_ms, 1500);

  t0 = kqtest::platform::now_ms();
  auto unknown = c.cmd("a2", login_line("no-such-user-here", "x"));
  long long unknown_ms = kqtest::platform::now_ms() - t0;
  ASSERT_FALSE(unknown.empty());
  EXPECT_TRUE(starts_with(unknown.back(), "a2 NO ")) << joined(unknown);
  EXPECT_LT(unknown_ms, 1500);

  auto ok = c.cmd("a3", login_line(user, "right \"pass\" \\ :x"));
  ASSERT_FALSE(ok.empty());
  EXPECT_TRUE(starts_with(ok.back(), "a3 OK ")) << joined(ok) << diag();
  auto sel = c.cmd("a4", "SELECT INBOX");
  ASSERT_FALSE(sel.empty());
  EXPECT_TRUE(starts_with(sel.back(), "a4 OK ")) << joined(sel);
  EXPECT_NE(joined(sel).find("* 0 EXISTS"), std::string::npos) << joined(sel);
}

TEST_F(DovecotHarness, UserNamesNeedingQuotesWorkForLoginAndDoveadm) {
  const std::string user = "Mixed Case \"q\" \\ u/" + dv_->unique_user("x") + "@example.org";
  ASSERT_TRUE(dv_->add_user(user, "pw")) << dv_->last_error();
  ASSERT_TRUE(dv_->create_folder(user, "Sent")) << diag();
  ASSERT_EQ(dv_->append(user, "Sent", "Subject: s\r\n\r\ns\r\n"), 1u) << diag();
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
  // Names are case-sensitive: the lower-cased name is someone else.
  std::string lower = user;
  for (char &ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  auto no = c.cmd("a", login_line(lower, "pw"));
  ASSERT_FALSE(no.empty());
  EXPECT_TRUE(starts_with(no.back(), "a NO ")) << joined(no);
  auto ok = c.cmd("b", login_line(user, "pw"));
  ASSERT_FALSE(ok.empty());
  EXPECT_TRUE(starts_with(ok.back(), "b OK ")) << joined(ok) << diag();
  auto st = joined(c.cmd("c", "STATUS Sent (MESSAGES)"));
  EXPECT_NE(st.find("* STATUS Sent (MESSAGES 1)"), std::string::npos) << st;
}

TEST_F(DovecotHarness, UsersAddedInQuickSuccessionCanLogInAtOnce) {
  // Each user gets a fresh passwd-file, read on first use; several
  // additions (and a same-length password change) within one second must
  // all be seen.
  for (int i = 0; i < 4; ++i) {
    std::string user = new_user("pw-" + std::to_string(i));
    RawImap c;
    std::string g;
    ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
    auto r = c.cmd("a", login_line(user, "pw-" + std::to_string(i)));
    ASSERT_FALSE(r.empty());
    EXPECT_TRUE(starts_with(r.back(), "a OK ")) << user << ": " << joined(r) << diag();
  }
  std::string user = new_user("pw-A");
  ASSERT_TRUE(dv_->add_user(user, "pw-B"));
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
  auto old_pw = c.cmd("a", login_line(user, "pw-A"));
  ASSERT_FALSE(old_pw.empty());
  EXPECT_TRUE(starts_with(old_pw.back(), "a NO ")) << joined(old_pw);
  auto new_pw = c.cmd("b", login_line(user, "pw-B"));
  ASSERT_FALSE(new_pw.empty());
  EXPECT_TRUE(starts_with(new_pw.back(), "b OK ")) << joined(new_pw) << diag();
}

TEST_F(DovecotHarness, Xoauth2AcceptsThePasswordAsBearerToken) {
  std::string user = new_user("token-123");
  {
    RawImap c;
    std::string g;
    ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
    auto r = c.cmd("x", "AUTHENTICATE XOAUTH2 " +
                            b64("user=" + user + "\x01" + "auth=Bearer token-123\x01\x01"));
    ASSERT_FALSE(r.empty());
    EXPECT_TRUE(starts_with(r.back(), "x OK ")) << joined(r) << diag();
  }
  {
    // A rejected token: the server sends a continuation with an error
    // document and only answers NO after the client's (empty) reply.
    RawImap c;
    std::string g;
    ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
    ASSERT_TRUE(c.send_line("y AUTHENTICATE XOAUTH2 " +
                            b64("user=" + user + "\x01" + "auth=Bearer wrong\x01\x01")));
    std::string cont;
    ASSERT_TRUE(c.read_line(&cont));
    EXPECT_TRUE(starts_with(cont, "+ ")) << cont;
    ASSERT_TRUE(c.send_line(""));
    auto r = c.until_tagged("y");
    ASSERT_FALSE(r.empty());
    EXPECT_TRUE(starts_with(r.back(), "y NO ")) << joined(r);
  }
}

TEST_F(DovecotHarness, AppendUidsAndFetchRawRoundTrip) {
  std::string user = new_user();
  ASSERT_TRUE(dv_->create_folder(user, "Archive/2023")) << diag();
  const std::string m1 = "From: a@example.org\r\nSubject: one\r\n\r\nfirst body\r\n";
  const std::string m2 =
      "From: b@example.org\r\nSubject: two\r\n\r\nsecond body \xc3\xa9\r\n";
  unsigned u1 = dv_->append(user, "Archive/2023", m1, 981173106);  // 2001-02-03 04:05:06
  unsigned u2 = dv_->append(user, "Archive/2023", m2, 0, "\\Seen \\Flagged");
  EXPECT_EQ(u1, 1u) << diag();
  EXPECT_EQ(u2, 2u) << diag();
  EXPECT_EQ(dv_->uids(user, "Archive/2023"), (std::vector<unsigned>{1, 2}));
  EXPECT_EQ(dv_->fetch_raw(user, "Archive/2023", 1), m1);
  EXPECT_EQ(dv_->fetch_raw(user, "Archive/2023", 2), m2);
  EXPECT_EQ(dv_->fetch_raw(user, "Archive/2023", 3), "");
  EXPECT_EQ(dv_->append(user, "No/Such/Folder", m1), 0u);

  // The same through IMAP: dates, flags and bytes as stored.
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
  ASSERT_TRUE(starts_with(c.cmd("a", login_line(user, "pw-1")).back(), "a OK"));
  auto sel = c.cmd("b", "SELECT Archive/2023");
  ASSERT_FALSE(sel.empty());
  ASSERT_TRUE(starts_with(sel.back(), "b OK")) << joined(sel);
  auto f = c.cmd("c", "UID FETCH 1:* (INTERNALDATE FLAGS RFC822.SIZE)");
  std::string all = joined(f);
  EXPECT_NE(all.find("UID 1 INTERNALDATE \"03-Feb-2001 04:05:06 +0000\""), std::string::npos)
      << all;
  EXPECT_NE(all.find("RFC822.SIZE " + std::to_string(m1.size())), std::string::npos) << all;
  EXPECT_NE(all.find("\\Seen"), std::string::npos) << all;
  EXPECT_NE(all.find("\\Flagged"), std::string::npos) << all;

  // A message delivered while the folder is selected shows up on the next
  // NOOP, as mail arriving at a real server would.
  ASSERT_EQ(dv_->append(user, "Archive/2023", "Subject: three\r\n\r\nx\r\n"), 3u) << diag();
  std::string noop = joined(c.cmd("d", "NOOP"));
  EXPECT_NE(noop.find("* 3 EXISTS"), std::string::npos) << noop;

  // Many at once keep their order.
  std::vector<DovecotServer::Message> many;
  for (int i = 0; i < 30; ++i)
    many.push_back({"Subject: bulk " + std::to_string(i) + "\r\n\r\nx\r\n",
                    1000000000LL + i, ""});
  auto uids = dv_->append_many(user, "INBOX", many);
  ASSERT_EQ(uids.size(), 30u) << diag();
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(uids[static_cast<size_t>(i)], static_cast<unsigned>(i + 1));
  }
  EXPECT_EQ(dv_->fetch_raw(user, "INBOX", 17), many[16].bytes);
}

// Such a folder's maildir is named with a quote and a backslash: the Windows
// test build reaches it through the host agent, not its own file calls.
TEST_F(DovecotHarness, MessagesInAFolderNamedWithAQuoteAndBackslashRoundTrip) {
  std::string user = new_user();
  const std::string folder = "say \"hi\" \\ there";
  ASSERT_TRUE(dv_->create_folder(user, folder)) << diag();
  const std::string unseen = "Subject: new\r\n\r\nlands in new/\r\n";
  const std::string seen = "Subject: cur\r\n\r\nlands in cur/ \xc3\xa9\r\n";
  EXPECT_EQ(dv_->append(user, folder, unseen, 981173106), 1u) << diag();
  EXPECT_EQ(dv_->append(user, folder, seen, 0, "\\Seen"), 2u) << diag();
  EXPECT_EQ(dv_->uids(user, folder), (std::vector<unsigned>{1, 2}));
  EXPECT_EQ(dv_->fetch_raw(user, folder, 1), unseen);
  EXPECT_EQ(dv_->fetch_raw(user, folder, 2), seen);
  EXPECT_TRUE(dv_->rename_folder(user, folder, folder + "\\2")) << diag();
  EXPECT_EQ(dv_->fetch_raw(user, folder + "\\2", 2), seen);
}

TEST_F(DovecotHarness, ExpungeLeavesAGapInUids) {
  std::string user = new_user();
  for (int i = 0; i < 3; ++i)
    ASSERT_NE(dv_->append(user, "INBOX", "Subject: m" + std::to_string(i) + "\r\n\r\nb\r\n"),
              0u)
        << diag();
  ASSERT_TRUE(dv_->expunge(user, "INBOX", 2)) << diag();
  EXPECT_EQ(dv_->uids(user, "INBOX"), (std::vector<unsigned>{1, 3}));
  EXPECT_EQ(dv_->append(user, "INBOX", "Subject: again\r\n\r\nb\r\n"), 4u);
  DovecotServer::Status st;
  ASSERT_TRUE(dv_->status(user, "INBOX", &st)) << diag();
  EXPECT_EQ(st.messages, 3u);
  EXPECT_EQ(st.uidnext, 5u);
}

TEST_F(DovecotHarness, HighUidFolderStartsWhereAsked) {
  std::string user = new_user();
  ASSERT_TRUE(dv_->set_uid_start(user, "Old", 4000000000u)) << diag();
  auto uids = dv_->append_many(user, "Old",
                               {{"Subject: a\r\n\r\na\r\n", 0, ""},
                                {"Subject: b\r\n\r\nb\r\n", 0, ""}});
  EXPECT_EQ(uids, (std::vector<unsigned>{4000000000u, 4000000001u})) << diag();
  ASSERT_TRUE(dv_->set_uidvalidity(user, "Old", 42)) << diag();

  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
  ASSERT_TRUE(starts_with(c.cmd("a", login_line(user, "pw-1")).back(), "a OK"));
  auto sel = joined(c.cmd("b", "SELECT Old"));
  EXPECT_NE(sel.find("* 2 EXISTS"), std::string::npos) << sel;
  EXPECT_NE(sel.find("[UIDNEXT 4000000002]"), std::string::npos) << sel;
  EXPECT_NE(sel.find("[UIDVALIDITY 42]"), std::string::npos) << sel;

  // Refused once the folder has mail.
  EXPECT_FALSE(dv_->set_uid_start(user, "Old", 4100000000u));
}

TEST_F(DovecotHarness, AwkwardFolderNamesAreListedAsImapNames) {
  std::string user = new_user();
  const std::vector<std::string> names = {"Archive", "Archive/2023", "Q \"quote\" \\back sp",
                                          "dot.name", "\xc3\x9c" "bersicht/\xe6\x97\xa5\xe6\x9c\xac"};
  for (const auto &n : names) ASSERT_TRUE(dv_->create_folder(user, n)) << n << diag();
  ASSERT_NE(dv_->append(user, "Q \"quote\" \\back sp", "Subject: q\r\n\r\nq\r\n"), 0u) << diag();

  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(dv_->plain_port(), &g)) << g;
  ASSERT_TRUE(starts_with(c.cmd("a", login_line(user, "pw-1")).back(), "a OK"));
  std::string list = joined(c.cmd("b", "LIST \"\" *"));
  EXPECT_NE(list.find("* LIST (\\HasChildren) \"/\" Archive\n"), std::string::npos) << list;
  EXPECT_NE(list.find("* LIST (\\HasNoChildren) \"/\" Archive/2023\n"), std::string::npos) << list;
  EXPECT_NE(list.find("\"/\" \"Q \\\"quote\\\" \\\\back sp\"\n"), std::string::npos) << list;
  EXPECT_NE(list.find("\"/\" dot.name\n"), std::string::npos) << list;
  // Parent made implicitly: not selectable.
  EXPECT_NE(list.find("* LIST (\\Noselect \\HasChildren) \"/\" &ANw-bersicht\n"),
            std::string::npos)
      << list;
  EXPECT_NE(list.find("\"/\" &ANw-bersicht/&ZeVnLA-\n"), std::string::npos) << list;
  auto sel = joined(c.cmd("c", "SELECT \"Q \\\"quote\\\" \\\\back sp\""));
  EXPECT_NE(sel.find("* 1 EXISTS"), std::string::npos) << sel;
}

TEST_F(DovecotHarness, ConnectJsonEscapesStrings) {
  std::string j = dv_->connect_json("a\"b\\c", "p\x01\n\xc3\xa9", true);
  EXPECT_EQ(j, "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(dv_->tls_port()) +
                   ",\"ssl\":1,\"user\":\"a\\\"b\\\\c\",\"pass\":\"p\\u0001\\n\xc3\xa9\","
                   "\"tls_verify\":0}");
  std::string p = kqtest::connect_json("u", "p", false, "\"timeout_ms\":50");
  EXPECT_EQ(p, "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(dv_->plain_port()) +
                   ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\",\"tls_verify\":0,"
                   "\"timeout_ms\":50}");
}

TEST(DovecotServerLifecycle, SecondInstanceStartsAndStopsCleanly) {
  DovecotServer dv;
  std::string err;
  long long t0 = kqtest::platform::now_ms();
  ASSERT_TRUE(dv.start(&err)) << err;
  long long started = kqtest::platform::now_ms() - t0;
  std::string dir = dv.dir();
  EXPECT_NE(dv.plain_port(), kqtest::shared_dovecot().plain_port());
  EXPECT_LT(started, 5000);
  t0 = kqtest::platform::now_ms();
  dv.stop();
  long long stopped = kqtest::platform::now_ms() - t0;
  EXPECT_LT(stopped, 6000);
  EXPECT_FALSE(dv.running());
  EXPECT_FALSE(kqtest::platform::get_mtime(dir) >= 0) << dir << " still exists";
  std::cerr << "[ harness ] second Dovecot: start " << started << " ms, stop " << stopped
            << " ms\n";
}

// ---- ScriptServer ----

TEST(ScriptServerHarness, PlaysADialogueAndRecordsWhatTheClientSent) {
  ScriptServer s;
  s.send("* OK scripted\r\n")
      .expect_line()
      .send_tagged("ok lower-case completion")
      .expect_line()
      .send("* BYE\r\n")
      .send_tagged("OK")
      .close();
  ASSERT_TRUE(s.start());
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(s.port(), &g)) << g;
  EXPECT_EQ(g, "* OK scripted");
  auto r = c.cmd("t1", "LOGIN u p");
  EXPECT_EQ(r, (std::vector<std::string>{"t1 ok lower-case completion"}));
  r = c.cmd("t2", "LOGOUT");
  EXPECT_EQ(r, (std::vector<std::string>{"* BYE", "t2 OK"}));
  std::string more;
  EXPECT_TRUE(c.socket().wait_eof(3000, &more));
  EXPECT_EQ(more, "");
  EXPECT_TRUE(s.wait_done(3000));
  s.stop();
  EXPECT_EQ(s.received(), (std::vector<std::string>{"t1 LOGIN u p", "t2 LOGOUT"}));
  EXPECT_EQ(s.received_bytes(), "t1 LOGIN u p\r\nt2 LOGOUT\r\n");
  EXPECT_TRUE(s.errors().empty()) << s.errors()[0];
}

TEST(ScriptServerHarness, ChunkedSendArrivesWholeAcrossManySmallReads) {
  std::string big = "* OK [ALERT] " + std::string(300000, 'x') + "\r\n";
  std::string small = "* 1 FETCH (BODY[] {11}\r\nhello world)\r\n";
  ScriptServer s;
  s.send(big, 4096, 1).send(small, 3, 1).hold();
  ASSERT_TRUE(s.start());
  Socket c = Socket::connect_loopback(s.port(), 3000);
  ASSERT_TRUE(c.valid());
  std::string got;
  int reads = 0;
  char buf[65536];
  while (got.size() < big.size() + small.size()) {
    long n = c.recv_some(buf, sizeof buf, 5000);
    ASSERT_GT(n, 0) << "after " << got.size() << " bytes";
    got.append(buf, static_cast<size_t>(n));
    ++reads;
  }
  EXPECT_EQ(got, big + small);
  EXPECT_GT(reads, 10);
  long long t0 = kqtest::platform::now_ms();
  s.stop();
  EXPECT_LT(kqtest::platform::now_ms() - t0, 1000);
  EXPECT_TRUE(s.errors().empty());
}

TEST(ScriptServerHarness, ExpectCommandAnswersSynchronizingLiterals) {
  ScriptServer s;
  s.send("* OK\r\n").expect_command().send_tagged("OK");
  ASSERT_TRUE(s.start());
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(s.port(), &g));
  ASSERT_TRUE(c.socket().send_all("a LOGIN {3}\r\n", 2000));
  std::string cont;
  ASSERT_TRUE(c.read_line(&cont));
  EXPECT_TRUE(starts_with(cont, "+ ")) << cont;
  ASSERT_TRUE(c.socket().send_all("b\r\nb {0+}\r\n\r\n", 2000));
  std::string done;
  ASSERT_TRUE(c.read_line(&done));
  EXPECT_EQ(done, "a OK");
  s.stop();
  EXPECT_EQ(s.received(), (std::vector<std::string>{"a LOGIN {3}\r\nb\r\nb {0+}\r\n"}));
  EXPECT_TRUE(s.errors().empty());
}

TEST(ScriptServerHarness, HoldNeverGreetsAndStopIsPrompt) {
  ScriptServer s;
  s.hold();
  ASSERT_TRUE(s.start());
  Socket c = Socket::connect_loopback(s.port(), 3000);
  ASSERT_TRUE(c.valid());
  // What a TLS client would send first; it gets no answer.
  ASSERT_TRUE(c.send_all(std::string("\x16\x03\x01\x00\x05hello", 10), 1000));
  char buf[16];
  EXPECT_EQ(c.recv_some(buf, sizeof buf, 300), kqtest::platform::kRecvTimeout);
  ASSERT_TRUE(c.send_all("a NOOP\r\n", 1000));
  ASSERT_TRUE(s.wait_received(1, 2000));
  long long t0 = kqtest::platform::now_ms();
  s.stop();
  EXPECT_LT(kqtest::platform::now_ms() - t0, 500);
  EXPECT_EQ(c.recv_some(buf, sizeof buf, 2000), kqtest::platform::kRecvEof);
  auto rec = s.received();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0], std::string("\x16\x03\x01\x00\x05hello", 10) + "a NOOP");
}

TEST(ScriptServerHarness, ServesSeveralConnectionsInTurn) {
  ScriptServer s;
  s.send("* BYE go away\r\n").close().send("* OK second\r\n").expect_line().send_tagged("OK");
  ASSERT_TRUE(s.start());
  {
    RawImap c;
    std::string g;
    ASSERT_TRUE(c.connect(s.port(), &g));
    EXPECT_EQ(g, "* BYE go away");
    EXPECT_TRUE(c.socket().wait_eof(3000));
  }
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(s.port(), &g));
  EXPECT_EQ(g, "* OK second");
  EXPECT_EQ(c.cmd("n", "NOOP"), (std::vector<std::string>{"n OK"}));
  EXPECT_TRUE(s.wait_done(3000));
  EXPECT_EQ(s.connections(), 2);
  s.stop();
  EXPECT_TRUE(s.errors().empty());
}

TEST(ScriptServerHarness, ReportsMissingClientInputInsteadOfHanging) {
  ScriptServer::Options o;
  o.step_timeout_ms = 200;
  {
    ScriptServer s(o);
    s.send("* OK\r\n").expect_line().send_tagged("OK");
    ASSERT_TRUE(s.start());
    Socket c = Socket::connect_loopback(s.port(), 3000);
    ASSERT_TRUE(c.valid());
    EXPECT_TRUE(s.wait_done(3000));
    auto e = s.errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].find("expect_line"), std::string::npos) << e[0];
  }
  {
    ScriptServer s(o);
    s.send("* OK\r\n").expect_line();
    ASSERT_TRUE(s.start());
    {
      Socket c = Socket::connect_loopback(s.port(), 3000);
      ASSERT_TRUE(c.valid());
      // Read the greeting first: closing with unread data would send an RST,
      // which the server sees as an error rather than a close.
      std::string greeting;
      ASSERT_TRUE(c.read_line(&greeting, 3000));
      ASSERT_TRUE(c.send_all("half a line", 1000));
    }  // closed mid-line
    EXPECT_TRUE(s.wait_done(3000));
    auto e = s.errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].find("client closed"), std::string::npos) << e[0];
    EXPECT_EQ(s.received_bytes(), "half a line");
  }
  {
    ScriptServer s(o);  // nobody ever connects
    s.send("* OK\r\n");
    ASSERT_TRUE(s.start());
    EXPECT_TRUE(s.wait_done(3000));
    ASSERT_EQ(s.errors().size(), 1u);
    EXPECT_EQ(s.connections(), 0);
  }
}

TEST(ScriptServerHarness, ResetAbortsTheConnection) {
  ScriptServer s;
  s.send("* OK\r\n").expect_line().send("* 1 FETCH (BODY[] {100}\r\npartial").reset();
  ASSERT_TRUE(s.start());
  RawImap c;
  std::string g;
  ASSERT_TRUE(c.connect(s.port(), &g));
  ASSERT_TRUE(c.send_line("f UID FETCH 1 BODY[]"));
  ASSERT_TRUE(s.wait_done(3000));
  std::string got;
  char buf[256];
  long n;
  while ((n = c.socket().recv_some(buf, sizeof buf, 3000)) > 0) got.append(buf, static_cast<size_t>(n));
  EXPECT_TRUE(got.empty() || starts_with("* 1 FETCH (BODY[] {100}\r\npartial", got)) << got;
  s.stop();
  // The reset does go out (a Linux peer sees it), but a Windows program
  // under Wine is told of it as of an orderly close.
  if (n == 0 && kqtest::platform::under_wine())
    GTEST_SKIP() << "Wine reports a connection reset by the peer as closed (recv gives 0, not WSAECONNRESET)";
  EXPECT_EQ(n, kqtest::platform::kRecvError);
}

}  // namespace
