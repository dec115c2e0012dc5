// The connection settings: "max_message_bytes" (its default and its bounds)
// and the "compress" switch.
#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "connection/session.h"

using namespace kq;

TEST(ConnConfig, MaxMessageBytes) {
  struct row {
    const char *extra;
    bool ok;
    long long want;
  };
  const row rows[] = {
      {"", true, 256LL << 20},
      {",\"max_message_bytes\":1024", true, 1024},
      {",\"max_message_bytes\":4294967296", true, 4294967296LL},
      {",\"max_message_bytes\":1023", false, 0},
      {",\"max_message_bytes\":\"big\"", false, 0},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.extra);
    std::string json = std::string("{\"host\":\"h\",\"user\":\"u\",\"pass\":\"p\"") + c.extra + "}";
    conn_config cfg;
    EXPECT_EQ(conn_config_parse(json.c_str(), cfg), c.ok);
    if (c.ok) {
      EXPECT_EQ(cfg.max_message_bytes, c.want);
    } else {
      EXPECT_STREQ(last_error(), "invalid config: max_message_bytes must be a number of at least 1024");
    }
  }
}

TEST(ConnConfig, Compress) {
  struct row {
    const char *extra;
    bool ok;
    int want;
  };
  const row rows[] = {
      {"", true, 1},
      {",\"compress\":0", true, 0},
      {",\"compress\":false", true, 0},
      {",\"compress\":true", true, 1},
      {",\"compress\":\"off\"", false, 0},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.extra);
    std::string json = std::string("{\"host\":\"h\",\"user\":\"u\",\"pass\":\"p\"") + c.extra + "}";
    conn_config cfg;
    EXPECT_EQ(conn_config_parse(json.c_str(), cfg), c.ok);
    if (c.ok) EXPECT_EQ(cfg.compress, c.want);
    else EXPECT_STREQ(last_error(), "invalid config: compress must be a number or true/false");
  }
}
