// The deflate layer under COMPRESS=DEFLATE, one link talking to another:
// each write is readable in full as soon as its bytes arrive, however they
// are cut on the way, and a broken stream is reported, not read as text.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "connection/compress.h"

namespace {

// Everything b can inflate now, through a small buffer.
std::string drain_text(kq::deflate_link &b) {
  std::string text;
  char buf[97];
  for (;;) {
    long n = b.inflate(buf, sizeof buf);
    EXPECT_GE(n, 0) << b.error();
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

TEST(DeflateLink, EachWriteIsReadableOnceItsBytesArriveInAnyCut) {
  kq::deflate_link a, b;
  ASSERT_TRUE(a.init());
  ASSERT_TRUE(b.init());
  std::string big;
  for (int i = 0; big.size() < 300000; ++i)
    big += "* " + std::to_string(i) + " FETCH (UID " + std::to_string(i) + ")\r\n";
  const std::vector<std::string> writes = {"KQ0001 NOOP\r\n", big, "x", std::string(70000, '\0'), "KQ0002 LOGOUT\r\n"};
  std::size_t cut = 1;
  for (const std::string &w : writes) {
    ASSERT_TRUE(a.deflate(w.data(), w.size()));
    std::string wire(a.pending(), a.pending_size());
    a.sent(wire.size());
    EXPECT_EQ(a.pending_size(), 0u);
    // Fed in pieces of changing size; only after the last one must the
    // whole write have come out.
    std::string got;
    for (std::size_t at = 0; at < wire.size();) {
      std::size_t n = std::min(cut, wire.size() - at);
      b.feed(wire.data() + at, n);
      at += n;
      got += drain_text(b);
      cut = cut % 4099 + 7;
    }
    EXPECT_FALSE(b.has_output());
    ASSERT_EQ(got.size(), w.size());
    EXPECT_TRUE(got == w);
  }
}

TEST(DeflateLink, BrokenStreamIsAnError) {
  kq::deflate_link b;
  ASSERT_TRUE(b.init());
  // Block type 3 does not exist in deflate.
  b.feed("\xff\xff\xff\xff", 4);
  char buf[64];
  EXPECT_EQ(b.inflate(buf, sizeof buf), -1);
  EXPECT_NE(b.error().find("corrupt"), std::string::npos) << b.error();
}
