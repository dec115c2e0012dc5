#include "base/text_arena.h"

#include <cstring>

namespace kq {

namespace {
// Large enough that the allocator's own overhead vanishes, small enough
// that a search finding a handful of rows does not hold much.
constexpr std::size_t k_block = 64 * 1024;
}  // namespace

const char *text_arena::keep(std::string_view s) {
  if (s.empty()) return "";
  std::size_t need = s.size() + 1;
  if (blocks_.empty() || room_ - used_ < need) {
    // A text larger than a block gets a block of its own size; the tail
    // left in the block before is given up (at most one text's worth).
    std::size_t size = need > k_block ? need : k_block;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    room_ = size;
    used_ = 0;
  }
  char *at = blocks_.back().get() + used_;
  std::memcpy(at, s.data(), s.size());
  at[s.size()] = '\0';
  used_ += need;
  return at;
}

}  // namespace kq
