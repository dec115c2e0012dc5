// Connection failures that say what to change: a TLS client on a plain IMAP
// port, a plain client on a TLS port, a ca_file that gives no certificate.
// A scripted server on loopback plays the other side.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "kerquill.h"
#include "platform/platform.h"
#include "support/dovecot_server.h"
#include "support/scratch_files.h"
#include "support/script_server.h"

namespace {

using kqtest::ScriptServer;

// A generous time-out: the point is that the mismatch is said without
// waiting for it.
constexpr int k_timeout_s = 120;

std::string cfg_for(const ScriptServer &s, int ssl, const std::string &extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) + ",\"ssl\":" + std::to_string(ssl) +
         ",\"timeout_s\":" + std::to_string(k_timeout_s) + ",\"user\":\"u\",\"pass\":\"p\"" + extra + "}";
}

class ConnectHints : public ::testing::Test {
 protected:
  void TearDown() override { kq_disconnect(); }
};

}  // namespace

TEST_F(ConnectHints, AMismatchOfTlsAndPlainIsNamedAtOnce) {
  struct {
    const char *what;
    std::string greeting;  // what the server sends first
    int ssl;
    std::string head, tail;  // the error text is head, or head + a quote + tail; PORT is the port
  } cases[] = {
      // The quote is of as much of the greeting as had come in.
      {"TLS to a plain port", "* OK IMAP4rev1 ready\r\n", 1, "TLS handshake failed: the server sent \"* OK",
       "\": is this a plain IMAP port? use ssl 0 or 2"},
      {"plain to a port that sends a TLS alert", std::string("\x15\x03\x03\x00\x02\x02\x32", 7), 0,
       "the server speaks TLS on port PORT: use ssl 1", ""},
      {"STARTTLS to a port that sends a TLS handshake", std::string("\x16\x03\x03\x00\x04\x0e\x00\x00\x00", 9), 2,
       "the server speaks TLS on port PORT: use ssl 1", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer s;
    s.send(c.greeting).hold();
    std::string why;
    ASSERT_TRUE(s.start(&why)) << why;
    std::uint64_t t0 = kq::plat::tick_ms();
    EXPECT_EQ(kq_connect(cfg_for(s, c.ssl, ",\"tls_verify\":0").c_str()), -1);
    std::string head = c.head, err = kq_last_error();
    if (std::size_t at = head.find("PORT"); at != std::string::npos) head.replace(at, 4, std::to_string(s.port()));
    if (c.tail.empty()) {
      EXPECT_EQ(err, head);
    } else {
      EXPECT_EQ(err.rfind(head, 0), 0u) << err;
      EXPECT_TRUE(err.size() >= head.size() + c.tail.size() &&
                  err.compare(err.size() - c.tail.size(), c.tail.size(), c.tail) == 0)
          << err;
    }
    // Well inside the time-out: the answer was not a time-out.
    EXPECT_LT(kq::plat::tick_ms() - t0, k_timeout_s * 1000u / 2);
    EXPECT_EQ(kq_status(), 0);
    s.stop();
  }
}

TEST_F(ConnectHints, ACaFileThatGivesNoCertificateIsNamedWithItsReason) {
  kqtest::scratch_dir d;
  std::string missing = d.file("none.pem"), junk = d.file("junk.pem"), empty = d.file("empty.pem");
  kqtest::write_all(junk, "not a certificate\n");
  kqtest::write_all(empty, "");
  struct {
    std::string path, error;
  } cases[] = {
      {missing, "cannot read ca_file " + missing + ": " + kq::plat::error_text(ENOENT)},
      {junk, "ca_file " + junk + " holds no certificate (PEM or DER)"},
      {empty, "ca_file " + empty + " holds no certificate (PEM or DER)"},
  };
  for (const auto &c : cases) {
    ScriptServer s;
    s.hold();
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    std::string json = ",\"ca_file\":" + kqtest::json_quote(c.path);
    EXPECT_EQ(kq_connect(cfg_for(s, 1, json).c_str()), -1);
    EXPECT_EQ(kq_last_error(), c.error);
    s.stop();
  }
}
