// A 5000-message folder: every message found once, in UID order, with one
// fetch per message and a handful of existence windows.
#include <gtest/gtest.h>

#include "connection/imap.h"
#include "mailbox_test_util.h"

using namespace kqsearch;

TEST(SearchLarge, FiveThousandMessages) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.running()) << dv.start_error();
  std::string user = fresh_user("large");
  std::vector<kqtest::DovecotServer::Message> m;
  for (int i = 0; i < 5000; ++i)
    m.push_back({message("sender" + std::to_string(i % 10) + "@example.org", "r@example.com",
                         "bulk " + std::to_string(i)),
                 1700000000 + i * 60LL, ""});
  ASSERT_TRUE(dv.create_folder(user, "Bulk"));
  std::vector<unsigned> uids = dv.append_many(user, "Bulk", m);
  ASSERT_EQ(uids.size(), 5000u);
  ASSERT_EQ(login(user), 0) << kq_last_error();

  std::uint64_t before = kq::cmd_sent_total();
  ASSERT_EQ(kq_search("Bulk", nullptr), 0) << kq_last_error();
  // EXAMINE, the UID search and one command per 1000 UIDs: the items come
  // with the set, not one command per message.
  EXPECT_EQ(kq::cmd_sent_total() - before, 1u + 1u + 5u);
  EXPECT_EQ(result_uids(), uids);
  EXPECT_STREQ(kq_search_field(4999, "subject"), "bulk 4999");

  ASSERT_EQ(kq_search("Bulk", R"({"from":"SENDER7@","since":"2023-11-15"})"), 0);
  std::vector<unsigned> want;
  for (int i = 0; i < 5000; ++i)
    if (i % 10 == 7 && 1700000000 + i * 60LL >= 1700006400) want.push_back(uids[i]);
  EXPECT_EQ(result_uids(), want);
  kq_disconnect();
}
