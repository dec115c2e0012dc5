// OAuth sign-in of the tool without a network: the device and refresh grants
// against a scripted issuer (answers queued, requests and waits recorded), the
// token file, and the configuration keys that turn it on.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "config.h"
#include "oauth.h"

namespace kqcli {
// main.cpp's, which this test does not link.
int g_verbosity = 0;
void say(int, const std::string &) {}
}  // namespace kqcli

using namespace kqcli;
namespace fs = std::filesystem;

namespace {

// An issuer that answers from a queue and a clock that only moves when the
// client sleeps (plus what a test adds per request).
struct scripted_issuer {
  std::deque<http_reply> replies;
  std::vector<std::string> urls, forms;
  std::vector<long> sleeps;
  long long now = 1000;
  long long cost_per_request = 0;
  std::FILE *out = std::tmpfile();

  ~scripted_issuer() { std::fclose(out); }

  // A negative status: the request gets no answer at all.
  void answer(long status, const std::string &body) { replies.push_back({status, body}); }

  oauth_io io() {
    oauth_io io;
    io.post = [this](const std::string &url, const std::string &form) {
      urls.push_back(url);
      forms.push_back(form);
      now += cost_per_request;
      if (replies.empty()) throw failure("the scripted issuer has no more answers");
      http_reply r = replies.front();
      replies.pop_front();
      if (r.status < 0) throw failure("no answer (scripted)");
      return r;
    };
    io.sleep = [this](long s) {
      sleeps.push_back(s);
      now += s;
    };
    io.now_s = [this] { return now; };
    io.out = out;
    return io;
  }

  std::string printed() {
    std::fflush(out);
    std::rewind(out);
    std::string text;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
    return text;
  }
};

oauth_settings issuer_settings() {
  oauth_settings s;
  s.account = "work";
  s.device_url = "https://issuer.test/device";
  s.token_url = "https://issuer.test/token";
  s.client_id = "cid";
  s.client_secret = "csecret";
  s.scope = "imap offline_access";
  return s;
}

const char *k_device_answer =
    R"({"device_code":"dev-1","user_code":"ABCD-EFGH","verification_uri":"https://issuer.test/activate",)"
    R"("expires_in":600,"interval":2})";

std::string error_body(const std::string &code) { return R"({"error":")" + code + R"("})"; }

std::string failure_of(const std::function<void()> &fn) {
  try {
    fn();
  } catch (const std::exception &e) {
    return e.what();
  }
  return "";
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kq-oauth-test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

mode_t mode_of(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

}  // namespace

TEST(CliOauth, FormEncodingEscapesWhatTheFormatReserves) {
  const struct {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string want;
  } cases[] = {
      {{{"a", "b"}, {"c", "d"}}, "a=b&c=d"},
      {{{"scope", "https://mail.google.com/"}}, "scope=https%3A%2F%2Fmail.google.com%2F"},
      {{{"scope", "IMAP offline_access"}}, "scope=IMAP+offline_access"},
      {{{"k", "a&b=c+d%"}}, "k=a%26b%3Dc%2Bd%25"},
      {{{"k", "\xc3\xa9"}}, "k=%C3%A9"},
      {{{"k", ""}}, "k="},
  };
  for (const auto &c : cases) EXPECT_EQ(form_encode(c.fields), c.want);
}

TEST(CliOauth, PresetsFillTheEndpointsAndTheAccountsOwnKeysWin) {
  args a;
  a.fill("oauth-account", "g");
  a.fill("oauth-client-id", "cid");
  a.fill("oauth-provider", "google");
  oauth_settings s = oauth_settings_from(a);
  EXPECT_EQ(s.device_url, "https://oauth2.googleapis.com/device/code");
  EXPECT_EQ(s.token_url, "https://oauth2.googleapis.com/token");
  EXPECT_EQ(s.scope, "https://mail.google.com/");

  args m = a;
  m.options["oauth-provider"] = {"microsoft"};
  m.fill("oauth-scope", "https://outlook.office.com/IMAP.AccessAsUser.All offline_access openid");
  s = oauth_settings_from(m);
  EXPECT_EQ(s.device_url, "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
  EXPECT_EQ(s.token_url, "https://login.microsoftonline.com/common/oauth2/v2.0/token");
  EXPECT_EQ(s.scope, "https://outlook.office.com/IMAP.AccessAsUser.All offline_access openid");

  args own;
  own.fill("oauth-account", "o");
  own.fill("oauth-client-id", "cid");
  own.fill("oauth-token-url", "https://idp.example/token");
  s = oauth_settings_from(own);
  EXPECT_EQ(s.token_url, "https://idp.example/token");
  EXPECT_EQ(s.device_url, "");
  EXPECT_NE(failure_of([&] { device_sign_in(s, oauth_io{}); }).find("oauth_device_url"), std::string::npos);
}

TEST(CliOauth, DevicePollWaitsAsAskedAndSlowsDownByFiveSeconds) {
  scripted_issuer is;
  is.answer(200, k_device_answer);
  is.answer(400, error_body("authorization_pending"));
  is.answer(400, error_body("slow_down"));
  is.answer(400, error_body("authorization_pending"));
  is.answer(200, R"({"access_token":"at","refresh_token":"rt-1","token_type":"Bearer","expires_in":3599})");
  stored_grant g = device_sign_in(issuer_settings(), is.io());
  EXPECT_EQ(g.refresh_token, "rt-1");
  EXPECT_EQ(g.token_url, "https://issuer.test/token");
  EXPECT_EQ(g.client_id, "cid");
  EXPECT_EQ(is.sleeps, (std::vector<long>{2, 2, 7, 7}));
  ASSERT_EQ(is.forms.size(), 5u);
  EXPECT_EQ(is.urls[0], "https://issuer.test/device");
  EXPECT_EQ(is.forms[0], "client_id=cid&scope=imap+offline_access") << "no client secret at the device endpoint";
  EXPECT_EQ(is.forms[1],
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&device_code=dev-1&client_id=cid"
            "&client_secret=csecret");
  std::string said = is.printed();
  EXPECT_NE(said.find("https://issuer.test/activate"), std::string::npos) << said;
  EXPECT_NE(said.find("ABCD-EFGH"), std::string::npos) << said;
  EXPECT_EQ(said.find("dev-1"), std::string::npos) << "the device code stays between tool and issuer";
}

TEST(CliOauth, DeviceAnswerInGooglesWordsAndWithoutAnIntervalPollsEveryFiveSeconds) {
  scripted_issuer is;
  is.answer(200, R"({"device_code":"d","user_code":"U","verification_url":"https://www.google.com/device",)"
                 R"("expires_in":"1800"})");
  is.answer(200, R"({"access_token":"at","refresh_token":"rt"})");
  device_sign_in(issuer_settings(), is.io());
  EXPECT_EQ(is.sleeps, (std::vector<long>{5}));
  EXPECT_NE(is.printed().find("https://www.google.com/device"), std::string::npos);
}

TEST(CliOauth, DevicePollAsksAgainMoreSlowlyAfterALostAnswerButNotForever) {
  scripted_issuer is;
  is.answer(200, k_device_answer);
  is.answer(-1, "");
  is.answer(200, R"({"access_token":"at","refresh_token":"rt"})");
  EXPECT_EQ(device_sign_in(issuer_settings(), is.io()).refresh_token, "rt");
  EXPECT_EQ(is.sleeps, (std::vector<long>{2, 4}));

  scripted_issuer down;
  down.answer(200, k_device_answer);
  for (int i = 0; i < 4; ++i) down.answer(-1, "");
  EXPECT_NE(failure_of([&] { device_sign_in(issuer_settings(), down.io()); }).find("no answer"), std::string::npos);
  EXPECT_EQ(down.sleeps, (std::vector<long>{2, 4, 8, 16}));
}

TEST(CliOauth, DevicePollEndsOnTheIssuersFinalAnswers) {
  const struct {
    const char *what;
    long status;
    std::string body;
    long long cost_per_request;
    const char *want;
  } cases[] = {
      {"expired_token", 400, error_body("expired_token"), 0, "the code expired"},
      {"access_denied", 400, error_body("access_denied"), 0, "declined"},
      {"code outlives expires_in", 400, error_body("authorization_pending"), 700, "the code expired"},
      {"other error", 401, R"({"error":"invalid_client","error_description":"no such\u001b client"})", 0,
       "invalid_client (no such? client)"},
      {"no refresh token", 200, R"({"access_token":"at"})", 0, "no refresh token"},
      {"not JSON", 502, "<html>bad gateway</html>", 0, "no JSON object"},
  };
  for (const auto &c : cases) {
    scripted_issuer is;
    is.answer(200, k_device_answer);
    is.cost_per_request = c.cost_per_request;
    for (int i = 0; i < 3; ++i) is.answer(c.status, c.body);
    std::string err = failure_of([&] { device_sign_in(issuer_settings(), is.io()); });
    EXPECT_NE(err.find(c.want), std::string::npos) << c.what << ": " << err;
  }
}

TEST_F(TempDir, GrantFileIsTheUsersAloneAndReplacedWhole) {
  std::string path = dir_ + "/state/kerquill/oauth/work.json";
  write_grant(path, {"rt-1", "https://issuer.test/token", "cid"});
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(mode_of(dir_ + "/state/kerquill/oauth"), 0700u);
  ::chmod(path.c_str(), 0644);
  write_grant(path, {"rt-2", "https://issuer.test/token", "cid"});
  EXPECT_EQ(mode_of(path), 0600u) << "a replaced file does not keep the old mode";
  stored_grant g;
  ASSERT_TRUE(read_grant(path, g));
  EXPECT_EQ(g.refresh_token, "rt-2");
  EXPECT_EQ(g.token_url, "https://issuer.test/token");
  EXPECT_EQ(g.client_id, "cid");
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(dir_ + "/state/kerquill/oauth")) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"work.json"}) << "no temporary file is left";
  EXPECT_FALSE(read_grant(dir_ + "/none.json", g));
}

TEST_F(TempDir, TokenFileFollowsTheXdgStateRules) {
  std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  std::string state = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
  const struct {
    std::string xdg, home, account, want;
  } cases[] = {
      {dir_ + "/xdg", "/home/me", "work", dir_ + "/xdg/kerquill/oauth/work.json"},
      {"relative/state", "/home/me", "work", "/home/me/.local/state/kerquill/oauth/work.json"},
      {"", "/home/me", "home mail/2", "/home/me/.local/state/kerquill/oauth/home%20mail%2F2.json"},
      {"", "/home/me", "..", "/home/me/.local/state/kerquill/oauth/%2E..json"},
  };
  for (const auto &c : cases) {
    ::setenv("XDG_STATE_HOME", c.xdg.c_str(), 1);
    ::setenv("HOME", c.home.c_str(), 1);
    EXPECT_EQ(token_file(c.account), c.want) << c.xdg << " " << c.account;
  }
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
}

TEST_F(TempDir, RefreshStoresARotatedTokenAndSendsTheGrantedScope) {
  std::string path = dir_ + "/work.json";
  write_grant(path, {"rt-1", "https://issuer.test/token", "cid"});
  scripted_issuer is;
  is.answer(200, R"({"access_token":"at-1","refresh_token":"rt-2","expires_in":3599})");
  is.answer(200, R"({"access_token":"at-2","expires_in":3599})");
  EXPECT_EQ(refresh_access_token(issuer_settings(), path, is.io()), "at-1");
  EXPECT_EQ(is.forms[0], "grant_type=refresh_token&refresh_token=rt-1&client_id=cid&client_secret=csecret"
                         "&scope=imap+offline_access");
  EXPECT_EQ(refresh_access_token(issuer_settings(), path, is.io()), "at-2");
  EXPECT_NE(is.forms[1].find("refresh_token=rt-2"), std::string::npos) << "the rotated token is used";
  stored_grant g;
  ASSERT_TRUE(read_grant(path, g));
  EXPECT_EQ(g.refresh_token, "rt-2") << "an answer without a refresh token keeps the stored one";
}

TEST_F(TempDir, RefreshThatCannotWorkAsksForANewSignIn) {
  const struct {
    const char *what;
    stored_grant stored;  // refresh token empty: no file
    std::string answer;
    bool sign_in;
    const char *want;
  } cases[] = {
      {"revoked", {"rt", "https://issuer.test/token", "cid"}, error_body("invalid_grant"), true,
       "has expired or was revoked"},
      {"no sign-in yet", {"", "", ""}, "", true, "is not signed in"},
      {"another client", {"rt", "https://issuer.test/token", "other"}, "", true, "another issuer or client id"},
      {"issuer trouble", {"rt", "https://issuer.test/token", "cid"}, error_body("temporarily_unavailable"), false,
       "temporarily_unavailable"},
  };
  for (const auto &c : cases) {
    std::string path = dir_ + "/" + c.what + ".json";
    if (!c.stored.refresh_token.empty()) write_grant(path, c.stored);
    scripted_issuer is;
    if (!c.answer.empty()) is.answer(400, c.answer);
    bool sign_in = false;
    std::string err = failure_of([&] {
      try {
        refresh_access_token(issuer_settings(), path, is.io());
      } catch (const sign_in_needed &) {
        sign_in = true;
        throw;
      }
    });
    EXPECT_EQ(sign_in, c.sign_in) << c.what;
    EXPECT_NE(err.find(c.want), std::string::npos) << c.what << ": " << err;
    if (c.sign_in) {
      EXPECT_NE(err.find("kerquill auth work"), std::string::npos) << err;
    }
  }
}

TEST(CliOauth, ConfigurationChecksTheOauthKeys) {
  const std::string head = "[accounts.w]\nhost = \"imap.example.org\"\n";
  const struct {
    std::string body, want;  // want empty: accepted
  } cases[] = {
      {"oauth_provider = \"google\"\noauth_client_id = \"cid\"\n", ""},
      {"oauth_client_id = \"cid\"\noauth_token_url = \"https://idp/t\"\noauth_device_url = \"https://idp/d\"\n",
       ""},
      {"oauth_provider = \"google\"\n", "no oauth_client_id"},
      {"oauth_client_id = \"cid\"\n", "needs oauth_provider or oauth_token_url"},
      {"oauth_provider = \"yahoo\"\noauth_client_id = \"c\"\n", "must be \"google\" or \"microsoft\""},
      {"oauth_client_id = \"c\"\noauth_token_url = \"http://idp/t\"\n", "must be an https:// address"},
      {"oauth_provider = \"google\"\noauth_client_id = \"c\"\npassword_command = \"pass\"\n", "keep one"},
  };
  for (const auto &c : cases) {
    std::string err;
    try {
      config_file cfg = parse_config(head + c.body, "/c.toml");
      args a;
      apply_account(cfg.accounts.at("w"), a);
      EXPECT_TRUE(oauth_configured(a)) << c.body;
      EXPECT_EQ(a.value("oauth-account"), "w");
    } catch (const config_error &e) {
      err = e.what();
    }
    if (c.want.empty()) {
      EXPECT_EQ(err, "") << c.body;
    } else {
      EXPECT_NE(err.find(c.want), std::string::npos) << c.body << ": " << err;
    }
  }
}
