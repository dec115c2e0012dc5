// Connecting, logging in and opening mailboxes against the real Dovecot.
#include <gtest/gtest.h>

#include <string>

#include "connection/imap.h"
#include "kerquill.h"
#include "support/dovecot_server.h"

namespace {

using kqtest::connect_json;
using kqtest::shared_dovecot;

class Connection : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto &dv = shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    user_ = dv.unique_user("conn");
    ASSERT_TRUE(dv.add_user(user_, "s3cret\"pa\\ss"));
    ASSERT_TRUE(dv.create_folder(user_, "Quote\"d"));
    ASSERT_TRUE(dv.create_folder(user_, "Back\\slash"));
    for (int i = 0; i < 3; ++i)
      ASSERT_NE(dv.append(user_, "Quote\"d", "Subject: q\r\n\r\nbody\r\n"), 0u) << dv.last_error();
    ASSERT_NE(dv.append(user_, "Back\\slash", "Subject: b\r\n\r\nbody\r\n"), 0u);
  }
  void TearDown() override { kq_disconnect(); }
  static std::string pass() { return "s3cret\"pa\\ss"; }
  static std::string user_;
};
std::string Connection::user_;

TEST_F(Connection, PlainLoginReachesLoggedInAndDisconnectIsRepeatable) {
  EXPECT_EQ(kq_status(), 0);
  ASSERT_EQ(kq_connect(connect_json(user_, pass(), false).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_status(), 2);
  EXPECT_FALSE(kq::main_session().tls());
  EXPECT_EQ(kq_disconnect(), 0);
  EXPECT_EQ(kq_status(), 0);
  EXPECT_EQ(kq_disconnect(), 0);
  EXPECT_EQ(kq_status(), 0);
}

TEST_F(Connection, TlsLoginWithoutVerification) {
  ASSERT_EQ(kq_connect(connect_json(user_, pass(), true).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_status(), 2);
  EXPECT_TRUE(kq::main_session().tls());
}

TEST_F(Connection, TlsVerifiedAgainstTheGivenCaAndHostName) {
  auto &dv = shared_dovecot();
  std::string cfg = "{\"host\":\"localhost\",\"port\":" + std::to_string(dv.tls_port()) +
                    ",\"user\":" + kqtest::json_quote(user_) + ",\"pass\":" + kqtest::json_quote(pass()) +
                    ",\"ca_file\":" + kqtest::json_quote(dv.cert_file()) + "}";
  ASSERT_EQ(kq_connect(cfg.c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_status(), 2);
}

TEST_F(Connection, TlsVerifiedByDefaultRefusesASelfSignedCertificate) {
  auto &dv = shared_dovecot();
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(dv.tls_port()) +
                    ",\"user\":" + kqtest::json_quote(user_) + ",\"pass\":" + kqtest::json_quote(pass()) + "}";
  EXPECT_EQ(kq_connect(cfg.c_str()), -1);
  std::string err = kq_last_error();
  EXPECT_EQ(err.rfind("TLS handshake failed: the server's certificate is not accepted (", 0), 0u) << err;
  // The reason names the certificate problem, not just a generic failure,
  // and the settings that mend it.
  EXPECT_NE(err.find("trusted CA"), std::string::npos) << err;
  EXPECT_NE(err.find("): name the CA that issued it in ca_file, or set tls_verify 0 to skip the check (insecure)"),
            std::string::npos)
      << err;
  EXPECT_EQ(kq_status(), 0);
}

TEST_F(Connection, WrongPasswordIsRefusedWithTheAuthenticationText) {
  ASSERT_EQ(kq_connect(connect_json(user_, "wrong", false).c_str()), -1);
  // The server's own words follow, so a provider's hint reaches the user;
  // the password never does.
  std::string err = kq_last_error();
  EXPECT_EQ(err.rfind("IMAP authentication failed: ", 0), 0u) << err;
  EXPECT_NE(err.find("AUTHENTICATIONFAILED"), std::string::npos) << err;
  EXPECT_EQ(err.find("wrong"), std::string::npos) << err;
  EXPECT_EQ(kq_status(), 0);
}

TEST_F(Connection, Xoauth2AcceptedAndARejectedTokenComesBackAtOnce) {
  auto &dv = shared_dovecot();
  auto cfg = [&](const std::string &token) {
    return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(dv.plain_port()) +
           ",\"ssl\":0,\"user\":" + kqtest::json_quote(user_) + ",\"oauth_token\":" + kqtest::json_quote(token) + "}";
  };
  ASSERT_EQ(kq_connect(cfg(pass()).c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_status(), 2);
  kq_disconnect();
  auto t0 = kq::plat::tick_ms();
  EXPECT_EQ(kq_connect(cfg("not-the-token").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "IMAP authentication failed: [AUTHENTICATIONFAILED] Authentication failed.");
  // Without an answer to the server's challenge this waits for the read time-out.
  EXPECT_LT(kq::plat::tick_ms() - t0, 10000u);
}

TEST_F(Connection, ConfigurationErrors) {
  EXPECT_EQ(kq_connect(nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "empty config");
  EXPECT_EQ(kq_connect(""), -1);
  EXPECT_STREQ(kq_last_error(), "empty config");
  EXPECT_EQ(kq_connect("{host:1}"), -1);
  EXPECT_STREQ(kq_last_error(), "invalid config JSON");
  EXPECT_EQ(kq_connect("[]"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing host");
  EXPECT_EQ(kq_connect("{}"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing host");
  EXPECT_EQ(kq_connect("{\"host\":\"x\"}"), -1);
  EXPECT_STREQ(kq_last_error(), "config missing user");
  EXPECT_EQ(kq_connect("{\"host\":\"x\",\"user\":\"u\",\"pass\":\"p\",\"oauth_token\":\"t\"}"), -1);
  EXPECT_STREQ(kq_last_error(), "use either pass or oauth_token");
  EXPECT_EQ(kq_connect("{\"host\":\"127.0.0.1\",\"port\":\"993\",\"user\":\"u\",\"pass\":\"p\"}"), -1);
  EXPECT_STREQ(kq_last_error(), "connect to 127.0.0.1:0 failed");
  EXPECT_EQ(kq_connect("{\"host\":\"no-such-host.invalid\",\"user\":\"u\",\"pass\":\"p\"}"), -1);
  EXPECT_STREQ(kq_last_error(), "cannot resolve host no-such-host.invalid");
}

TEST_F(Connection, BadConfigurationDropsTheOldConnectionAndSettings) {
  ASSERT_EQ(kq_connect(connect_json(user_, pass(), false).c_str()), 0) << kq_last_error();
  ASSERT_EQ(kq_status(), 2);
  EXPECT_EQ(kq_connect("{}"), -1);
  EXPECT_EQ(kq_status(), 0);
  EXPECT_TRUE(kq::main_session().config().host.empty());
}

TEST_F(Connection, DuplicateKeysTakeTheFirstAndLongHostsAreCut) {
  auto &dv = shared_dovecot();
  std::string cfg = "{\"host\":\"127.0.0.1\",\"host\":\"nowhere.invalid\",\"port\":" +
                    std::to_string(dv.plain_port()) + ".9,\"ssl\":false,\"user\":" + kqtest::json_quote(user_) +
                    ",\"pass\":" + kqtest::json_quote(pass()) + "}";
  ASSERT_EQ(kq_connect(cfg.c_str()), 0) << kq_last_error();  // "ssl": false means plain TCP
  EXPECT_FALSE(kq::main_session().tls());
  kq_disconnect();
  std::string host(300, 'h');
  EXPECT_EQ(kq_connect(("{\"host\":\"" + host + "\",\"user\":\"u\",\"pass\":\"p\"}").c_str()), -1);
  EXPECT_EQ(kq::main_session().config().host, host.substr(0, 255));
}

TEST_F(Connection, TrueMeansOnAndOtherWordsAreRefusedForTheTlsSwitches) {
  auto &dv = shared_dovecot();
  auto cfg = [&](int port, const std::string &extra) {
    return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + extra +
           ",\"user\":" + kqtest::json_quote(user_) + ",\"pass\":" + kqtest::json_quote(pass()) + "}";
  };
  // "ssl": true once meant plain text; it must mean TLS.
  ASSERT_EQ(kq_connect(cfg(dv.tls_port(), ",\"ssl\":true,\"tls_verify\":false").c_str()), 0) << kq_last_error();
  EXPECT_TRUE(kq::main_session().tls());
  kq_disconnect();
  // "tls_verify": true once turned verification off.
  EXPECT_EQ(kq_connect(cfg(dv.tls_port(), ",\"ssl\":true,\"tls_verify\":true").c_str()), -1);
  EXPECT_EQ(std::string(kq_last_error()).rfind("TLS handshake failed", 0), 0u) << kq_last_error();
  EXPECT_EQ(kq_connect(cfg(dv.plain_port(), ",\"ssl\":\"no\"").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "invalid config: ssl must be a number or true/false");
  EXPECT_EQ(kq_connect(cfg(dv.tls_port(), ",\"tls_verify\":\"off\"").c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "invalid config: tls_verify must be a number or true/false");
}

TEST_F(Connection, SelectQuotesNamesAndCountsMessages) {
  ASSERT_EQ(kq_connect(connect_json(user_, pass(), false).c_str()), 0) << kq_last_error();
  kq::session &s = kq::main_session();
  kq::mailbox_state st;
  ASSERT_EQ(s.select("Quote\"d", &st), 0) << kq_last_error();
  EXPECT_EQ(st.exists, 3);
  EXPECT_EQ(st.uidnext, 4u);
  EXPECT_GT(st.uidvalidity, 0u);
  EXPECT_EQ(s.selected(), "Quote\"d");
  ASSERT_EQ(s.select("Back\\slash", &st), 0) << kq_last_error();
  EXPECT_EQ(st.exists, 1);
  ASSERT_EQ(s.select("INBOX", &st), 0);
  EXPECT_EQ(st.exists, 0);
  EXPECT_EQ(s.select("No such folder", &st), -1);
  // The server's own reason follows the name, and the session stays logged in.
  EXPECT_TRUE(std::string(kq_last_error()).starts_with("cannot open mailbox No such folder: Mailbox doesn't exist"))
      << kq_last_error();
  EXPECT_EQ(s.status(), 2);
  EXPECT_EQ(s.selected(), "");
  // A name that would end the command line is refused before anything is sent.
  EXPECT_EQ(s.select("INBOX\r\nA1 DELETE INBOX", &st), -1);
  EXPECT_STREQ(kq_last_error(), "invalid mailbox name");
  EXPECT_EQ(kq_status(), 2);
}

}  // namespace
