// The command queue's ordering rules, step by step and without a server:
// how many commands fly at once, a dialogue command alone on the wire, and
// completions matched to their commands by tag alone.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "connection/command_queue.h"

using namespace kq;

namespace {

imap_command plain(const std::string &line) {
  imap_command c;
  c.line = line;
  return c;
}

// A command that waits for "+" (an AUTHENTICATE exchange, a literal).
imap_command dialogue(const std::string &line) {
  imap_command c = plain(line);
  c.on_continue = [](const std::string &) { return std::string("answer"); };
  return c;
}

// Sends while the queue allows it; the tags sent.
std::vector<std::string> send_all_allowed(command_queue &q) {
  std::vector<std::string> tags;
  while (q.can_send()) tags.push_back(q.send_next(0).tag);
  return tags;
}

TEST(CommandQueue, AtMostTheWindowIsInFlightAndACompletionMakesRoom) {
  struct row {
    std::size_t window, pushed, first_wave;
  };
  const row rows[] = {
      {1, 3, 1},
      {2, 3, 2},
      {8, 3, 3},
      {0, 2, 1},  // a window of 0 would send nothing ever: it counts as 1
  };
  for (const row &r : rows) {
    SCOPED_TRACE("window " + std::to_string(r.window));
    command_queue q;
    q.set_window(r.window);
    for (std::size_t i = 0; i < r.pushed; ++i) q.push(plain("NOOP"));
    std::vector<std::string> sent = send_all_allowed(q);
    EXPECT_EQ(sent.size(), r.first_wave);
    ASSERT_TRUE(q.complete(sent.front()).has_value());
    // One out, the next of the waiting in, while any wait.
    EXPECT_EQ(send_all_allowed(q).size(), r.pushed > r.first_wave ? 1u : 0u);
    EXPECT_EQ(q.most_in_flight(), r.first_wave);
  }
}

TEST(CommandQueue, ADialogueWaitsForWhatFliesAndNothingFollowsItUntilItCompletes) {
  command_queue q;
  q.set_window(8);
  q.push(plain("NOOP"));
  q.push(dialogue("AUTHENTICATE PLAIN"));
  q.push(plain("CAPABILITY"));

  std::vector<std::string> first = send_all_allowed(q);
  ASSERT_EQ(first.size(), 1u);
  // Not behind another command: a "+" could be meant for either.
  EXPECT_EQ(q.continuation_target(), nullptr);
  ASSERT_TRUE(q.complete(first[0]).has_value());

  std::vector<std::string> second = send_all_allowed(q);
  ASSERT_EQ(second.size(), 1u);
  imap_command *to = q.continuation_target();
  ASSERT_NE(to, nullptr);
  EXPECT_EQ(to->line, "AUTHENTICATE PLAIN");
  // However many challenges come, nothing joins it on the wire.
  EXPECT_FALSE(q.can_send());
  EXPECT_EQ(q.continuation_target(), to);

  ASSERT_TRUE(q.complete(second[0]).has_value());
  std::vector<std::string> third = send_all_allowed(q);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(q.continuation_target(), nullptr);
  EXPECT_TRUE(q.nothing_waiting());
}

TEST(CommandQueue, ATagNoCommandInFlightHasCompletesNothing) {
  command_queue q;
  q.set_window(2);
  q.push(plain("NOOP"));
  q.push(plain("CHECK"));
  std::vector<std::string> sent = send_all_allowed(q);
  ASSERT_EQ(sent.size(), 2u);
  const std::string never = "ZZ99", longer = sent[0] + "X", shorter = sent[0].substr(0, sent[0].size() - 1);
  for (const std::string &tag : {never, longer, shorter, std::string()}) {
    SCOPED_TRACE("tag '" + tag + "'");
    EXPECT_FALSE(q.complete(tag).has_value());
    EXPECT_EQ(q.outstanding(), 2u);
  }
  // A tag completes once: a second completion under it is a stray one.
  ASSERT_TRUE(q.complete(sent[1]).has_value());
  EXPECT_FALSE(q.complete(sent[1]).has_value());
  EXPECT_EQ(q.outstanding(), 1u);
}

TEST(CommandQueue, CompletionsInAnyOrderReachTheirOwnCommands) {
  const std::vector<std::vector<int>> orders = {
      {0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {1, 2, 0}, {0, 2, 1}, {2, 0, 1},
  };
  const std::vector<std::string> lines = {"SELECT INBOX", "UID FETCH 1:9 (FLAGS)", "UID SEARCH ALL"};
  for (const auto &order : orders) {
    SCOPED_TRACE(::testing::PrintToString(order));
    command_queue q;
    q.set_window(lines.size());
    for (const std::string &l : lines) q.push(plain(l));
    std::vector<std::string> tags = send_all_allowed(q);
    ASSERT_EQ(tags.size(), lines.size());
    for (int i : order) {
      std::optional<imap_command> c = q.complete(tags[static_cast<std::size_t>(i)]);
      ASSERT_TRUE(c.has_value());
      EXPECT_EQ(c->line, lines[static_cast<std::size_t>(i)]);
    }
    EXPECT_TRUE(q.idle());
  }
}

}  // namespace
