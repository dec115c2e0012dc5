// The search result: rows with their texts kept in one arena.
#include <gtest/gtest.h>

#include <string>

#include "kerquill.h"
#include "search/search_table.h"

using namespace kq;

namespace {

std::string subject_of(std::uint32_t uid) { return "subject of " + std::to_string(uid) + std::string(90, 's'); }

}  // namespace

// Rows arrive out of order and twice (windows in flight overlap); their
// texts span many arena blocks and must stay with their own UID after the
// rows are sorted, made unique and cut.
TEST(SearchResult, SettledRowsKeepTheirOwnTextsAcrossBlocks) {
  search_result r("INBOX");
  for (std::uint32_t i = 0; i < 6000; ++i) {
    std::uint32_t uid = 6000 - i;
    row_draft d;
    d.uid = uid;
    d.bytes = uid * 10;
    d.subject = subject_of(uid);
    d.from = "f" + std::to_string(uid);
    r.add(d);
    if (uid % 1000 == 0) r.add(d);
  }
  r.settle(5000);
  ASSERT_EQ(r.size(), 5000u);
  for (std::size_t i = 0; i < r.size(); ++i) {
    const search_hit &h = r[i];
    ASSERT_EQ(h.uid, i + 1);
    ASSERT_EQ(h.bytes, static_cast<long long>(h.uid) * 10);
    ASSERT_EQ(std::string(h.subject), subject_of(h.uid));
    ASSERT_EQ(std::string(h.from), "f" + std::to_string(h.uid));
    ASSERT_STREQ(h.to, "");
  }
}

// A text larger than an arena block is kept whole, and the texts after it
// are unharmed.
TEST(SearchResult, TextLargerThanABlockIsKeptWhole) {
  search_result r("INBOX");
  row_draft big;
  big.uid = 1;
  big.subject = std::string(200000, 'x');
  row_draft small;
  small.uid = 2;
  small.subject = "after";
  r.add(big);
  r.add(small);
  r.settle(10);
  EXPECT_EQ(std::string(r[0].subject), big.subject);
  EXPECT_STREQ(r[1].subject, "after");
}

// A later search makes another result current; whoever holds the earlier
// one (an export job) still reads it whole, while the host's calls see the
// new one.
TEST(SearchResult, AHeldResultOutlivesTheNextOne) {
  auto first = std::make_shared<search_result>("A");
  row_draft d;
  d.uid = 9;
  d.subject = "kept by the job";
  first->add(d);
  install_result(first);
  search_result_ptr held = current_result();
  first.reset();
  clear_result("B");
  EXPECT_EQ(kq_search_count(), 0);
  EXPECT_STREQ(kq_search_field(0, "subject"), "");
  ASSERT_EQ(held->size(), 1u);
  EXPECT_STREQ((*held)[0].subject, "kept by the job");
  install_result(held);
  EXPECT_STREQ(kq_search_field(0, "subject"), "kept by the job");
  clear_result("");
}
