// Reading a server's load hints: response codes and a suggested wait.
#include <gtest/gtest.h>

#include "connection/throttle.h"

using namespace kq;

TEST(Throttle, CodesAndSuggestedWait) {
  struct row {
    const char *text;
    bool throttled, unavailable, limit;
    int backoff_ms;
  };
  const row rows[] = {
      {"[THROTTLED] Request is throttled. Suggested Backoff Time: 1500 milliseconds", true, false, false, 1500},
      {"NO [throttled] slow down", true, false, false, -1},
      {"  BYE [UNAVAILABLE] maintenance", false, true, false, -1},
      {"[LIMIT] too many connections. suggested backoff time:250 ms", false, false, true, 250},
      {"NO busy, Suggested Backoff Time: 2 s", false, false, false, 2000},
      {"NO Suggested Backoff Time: 7", false, false, false, 7},
      // A wait is bounded; one without a number is none.
      {"NO [THROTTLED] Suggested Backoff Time: 9999999999999 ms", true, false, false, k_backoff_max_ms},
      {"NO Suggested Backoff Time: 120 seconds", false, false, false, k_backoff_max_ms},
      {"NO Suggested Backoff Time: soon", false, false, false, -1},
      // A code after the text counts too; only whole ones do.
      {"OK Success [THROTTLED]", true, false, false, -1},
      {"NO [THROTTLEDX] x [LIMIT", false, false, false, -1},
      {"OK [READ-ONLY] done", false, false, false, -1},
      {"", false, false, false, -1},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.text);
    throttle_hint h = read_throttle(c.text);
    EXPECT_EQ(h.throttled, c.throttled);
    EXPECT_EQ(h.unavailable, c.unavailable);
    EXPECT_EQ(h.limit, c.limit);
    EXPECT_EQ(h.backoff_ms, c.backoff_ms);
    EXPECT_EQ(h.any(), c.throttled || c.unavailable || c.limit || c.backoff_ms >= 0);
  }
}
