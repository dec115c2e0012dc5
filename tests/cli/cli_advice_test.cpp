// The advice the tool adds to the library's reasons: settings in the tool's
// own words, and "run the same command again" only where that can help.
#include <gtest/gtest.h>

#include <string>

#include "advice.h"

using namespace kqcli;

TEST(CliAdvice, LibrarySettingsAreSaidAsOptions) {
  struct {
    std::string library, has, lacks;
  } cases[] = {
      {"TLS handshake failed: the server sent \"* OK ready\": is this a plain IMAP port? use ssl 0 or 2",
       "use --plain or --starttls", "ssl 0"},
      {"the server speaks TLS on port 993: use ssl 1", "leave out --plain and --starttls", "ssl 1"},
      {"TLS handshake failed: the server's certificate is not accepted (x): name the CA that issued it in "
       "ca_file, or set tls_verify 0 to skip the check (insecure)",
       "--ca-file FILE", "tls_verify 0"},
      {"TLS handshake failed: the server's certificate is not accepted (x): connect by a host name it was "
       "issued for, or set tls_verify 0 to skip the check (insecure)",
       "or skip the check with --insecure", "tls_verify 0"},
      {"no CA certificates (set ca_file, or tls_verify 0)", "--ca-file FILE, or --insecure", "tls_verify 0"},
  };
  for (const auto &c : cases) {
    std::string out = in_tool_words(c.library);
    EXPECT_NE(out.find(c.has), std::string::npos) << out;
    EXPECT_EQ(out.find(c.lacks), std::string::npos) << out;
  }
  // A reason without advice passes as it is.
  EXPECT_EQ(in_tool_words("connection closed by server"), "connection closed by server");
}

TEST(CliAdvice, RunningAgainIsAdvisedOnlyWhereItCanHelp) {
  const std::string again = "run the same command again to continue.";
  struct {
    std::string why;
    bool again;
  } cases[] = {
      {"fetch uid 7 failed: connection closed by server", true},
      {"server did not answer within 30 s", true},
      {"cannot write /a/1.eml: No space left on device", false},
      {"cannot write /a/manifest.jsonl: Disk quota exceeded", false},
      {"cannot write /a/1.eml: Permission denied", false},
      {"cannot write /a/all.mbox: Read-only file system", false},
      {"/a/1.eml already holds a different message; it is not replaced", false},
      {"TLS handshake failed: the server's certificate is not accepted (x): name the CA ...", false},
      {"cannot read ca_file /etc/ca.pem: No such file or directory", false},
      {"IMAP authentication failed: [AUTHENTICATIONFAILED] Authentication failed.", false},
  };
  for (const auto &c : cases) {
    std::string advice = after_stop_advice(c.why);
    EXPECT_EQ(advice == again, c.again) << c.why << " -> " << advice;
    if (!c.again) {
      EXPECT_NE(advice.find("first"), std::string::npos) << advice;
    }
  }
}
