// The tool's configuration file (accounts in TOML, checked key by key) and
// the IMAP folder patterns of export-all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"
#include "config.h"
#include "patterns.h"

using namespace kqcli;

namespace {

std::string config_error_of(const std::string &text) {
  try {
    parse_config(text, "/home/me/.config/kerquill/config.toml");
  } catch (const config_error &e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(CliPatterns, StarAndPercentFollowImapRules) {
  EXPECT_TRUE(imap_match("*", "Projects/2024"));
  EXPECT_TRUE(imap_match("%", "Sent"));
  EXPECT_FALSE(imap_match("%", "Projects/2024")) << "% stops at the hierarchy delimiter";
  EXPECT_TRUE(imap_match("Projects/%", "Projects/2024"));
  EXPECT_FALSE(imap_match("Projects/%", "Projects/2024/Q1"));
  EXPECT_TRUE(imap_match("Projects/*", "Projects/2024/Q1"));
  EXPECT_FALSE(imap_match("Projects/*", "Projects")) << "the delimiter itself must be there";
  EXPECT_TRUE(imap_match("[Gmail]/All Mail", "[Gmail]/All Mail")) << "brackets are no wildcards";
  EXPECT_FALSE(imap_match("[Gmail]/All Mail", "[Gmail]/All Mail2"));
  EXPECT_TRUE(imap_match("*Mail", "[Gmail]/All Mail"));
  EXPECT_TRUE(imap_match("Old%", "Old Stuff"));
  EXPECT_FALSE(imap_match("sent", "Sent")) << "names other than INBOX compare exactly";
  EXPECT_TRUE(imap_match("inbox", "INBOX"));
  EXPECT_TRUE(imap_match("Inbox/%", "INBOX/Receipts"));
  EXPECT_FALSE(imap_match("INBOX", "INBOXES"));
  EXPECT_TRUE(imap_match("a.%", "a.b", '.'));
  EXPECT_FALSE(imap_match("a.%", "a.b.c", '.')) << "another server's delimiter";
  EXPECT_TRUE(imap_match("a.%", "a.b/c", '.'));
  EXPECT_TRUE(imap_match("INBOX.%", "INBOX.Archive", '.'));
  EXPECT_FALSE(imap_match("INBOX.%", "INBOX.Archive.2023", '.')) << "% stops at the server's delimiter";
  EXPECT_TRUE(imap_match("inbox.*", "INBOX.Archive.2023", '.'));
  EXPECT_TRUE(imap_match("", ""));
  EXPECT_FALSE(imap_match("", "x"));
}

TEST(CliPatterns, IncludeThenExcludeKeepsOrder) {
  const std::vector<std::string> names = {"INBOX", "Sent", "[Gmail]/All Mail", "[Gmail]/Spam",
                                          "Projects/2024"};
  EXPECT_EQ(filter_folders(names, {}, {}), names);
  EXPECT_EQ(filter_folders(names, {}, {"[Gmail]/*"}),
            (std::vector<std::string>{"INBOX", "Sent", "Projects/2024"}));
  EXPECT_EQ(filter_folders(names, {"%"}, {"Sent"}), (std::vector<std::string>{"INBOX"}));
  EXPECT_EQ(filter_folders(names, {"Projects/*", "inbox"}, {}),
            (std::vector<std::string>{"INBOX", "Projects/2024"}));
  EXPECT_TRUE(filter_folders(names, {"Nothing*"}, {}).empty());
}

TEST(CliConfig, ReadsAccountsWithEveryKey) {
  config_file cfg = parse_config(R"(
[accounts.work]
host = "imap.example.org"
port = 143
user = "me@example.org"
tls = "starttls"
ca_file = "/etc/ssl/ca.pem"
tls_verify = true
password_command = "pass show mail/work"
archive = "/srv/archive"
include = ["*"]
exclude = ["[Gmail]/All Mail", "Trash"]
mbox = true
naming = "flat"

[accounts.home]
host = "mail.example.net"
oauth_token_command = "get-token"
tls_verify = false
tls = "none"
)",
                                 "cfg.toml");
  ASSERT_EQ(cfg.accounts.size(), 2u);
  const account &w = cfg.accounts.at("work");
  EXPECT_EQ(w.host, "imap.example.org");
  EXPECT_EQ(w.port, 143);
  EXPECT_EQ(w.tls, "starttls");
  EXPECT_EQ(w.password_command, "pass show mail/work");
  ASSERT_TRUE(w.exclude);
  EXPECT_EQ(w.exclude->at(0), "[Gmail]/All Mail");
  EXPECT_EQ(w.mbox, true);
  EXPECT_EQ(w.naming, "flat");
  const account &h = cfg.accounts.at("home");
  EXPECT_FALSE(h.port);
  EXPECT_EQ(h.tls_verify, false);
  EXPECT_EQ(h.oauth_token_command, "get-token");
}

TEST(CliConfig, ErrorsNameFileLineAndKey) {
  std::string e = config_error_of("[accounts.work]\nhost = \"h\"\nprot = 993\n");
  EXPECT_NE(e.find("config.toml:3:"), std::string::npos) << e;
  EXPECT_NE(e.find("accounts.work.prot"), std::string::npos) << e;

  e = config_error_of("[accounts.work]\nhost = \"h\"\n\nport = \"993\"\n");
  EXPECT_NE(e.find(":4:"), std::string::npos) << e;
  EXPECT_NE(e.find("accounts.work.port"), std::string::npos) << e;
  EXPECT_NE(e.find("integer"), std::string::npos) << e;

  e = config_error_of("[accounts.a]\ntls_verify = \"no\"\n");
  EXPECT_NE(e.find(":2:"), std::string::npos) << e;
  EXPECT_NE(e.find("tls_verify"), std::string::npos) << e;

  e = config_error_of("[accounts.a]\ninclude = \"*\"\n");
  EXPECT_NE(e.find("array"), std::string::npos) << e;
  e = config_error_of("[accounts.a]\ninclude = [\"*\", 3]\n");
  EXPECT_NE(e.find("include"), std::string::npos) << e;

  e = config_error_of("[accounts.a]\ntls = \"ssl\"\n");
  EXPECT_NE(e.find("implicit"), std::string::npos) << e;
  e = config_error_of("[accounts.a]\nport = 70000\n");
  EXPECT_NE(e.find("65535"), std::string::npos) << e;
  e = config_error_of("[accounts.a]\nnaming = \"YYYY\"\n");
  EXPECT_NE(e.find("naming"), std::string::npos) << e;

  e = config_error_of("[account.a]\nhost = \"h\"\n");
  EXPECT_NE(e.find(":1:"), std::string::npos) << e;
  EXPECT_NE(e.find("'account'"), std::string::npos) << e;

  e = config_error_of("[accounts.a]\nhost = \"h\n");
  EXPECT_NE(e.find("config.toml:2:"), std::string::npos) << "a TOML syntax error: " << e;

  e = config_error_of("[accounts.a]\npassword_command = \"x\"\noauth_token_command = \"y\"\n");
  EXPECT_NE(e.find("both"), std::string::npos) << e;
  EXPECT_EQ(config_error_of(""), "") << "an empty file has no accounts and no error";
}

TEST(CliConfig, CommandLineOverridesTheAccount) {
  config_file cfg = parse_config(R"([accounts.a]
host = "h"
port = 143
user = "u"
tls = "none"
tls_verify = false
password_command = "echo pw"
include = ["*"]
exclude = ["Trash"]
naming = "flat"
)",
                                 "c.toml");
  args a;
  a.options["port"] = {"1143"};
  a.options["exclude"] = {"Spam", "Junk"};
  apply_account(cfg.accounts.at("a"), a);
  EXPECT_EQ(a.value("host"), "h");
  EXPECT_EQ(a.value("port"), "1143");
  EXPECT_EQ(a.values("exclude"), (std::vector<std::string>{"Spam", "Junk"}));
  EXPECT_EQ(a.values("include"), (std::vector<std::string>{"*"}));
  EXPECT_TRUE(a.has("plain"));
  EXPECT_TRUE(a.has("insecure"));
  EXPECT_TRUE(a.has("flat"));
  EXPECT_EQ(a.value("password-command"), "echo pw");

  // A transport or secret chosen on the command line replaces the account's.
  args b;
  b.options["starttls"] = {""};
  b.options["password-file"] = {"/run/pw"};
  b.options["dated"] = {""};
  apply_account(cfg.accounts.at("a"), b);
  EXPECT_FALSE(b.has("plain"));
  EXPECT_FALSE(b.has("password-command"));
  EXPECT_FALSE(b.has("flat"));
}

TEST(CliConfig, KeepsTheAccountsInTheFilesOrder) {
  config_file cfg = parse_config("[accounts.work]\nhost = \"w\"\n\n[accounts.home]\nhost = \"h\"\n\n"
                                 "[accounts.archive]\nhost = \"a\"\n",
                                 "c.toml");
  EXPECT_EQ(cfg.order, (std::vector<std::string>{"work", "home", "archive"}));
}
