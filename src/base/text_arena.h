// Many short texts kept in a few large blocks: one allocation per block
// instead of one per text, and a text never moves once kept, so a pointer to
// it stays good for as long as the arena lives.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace kq {

class text_arena {
 public:
  text_arena() = default;
  text_arena(const text_arena &) = delete;
  text_arena &operator=(const text_arena &) = delete;
  text_arena(text_arena &&) = default;
  text_arena &operator=(text_arena &&) = default;

  // A NUL-terminated copy of s; "" costs nothing.
  const char *keep(std::string_view s);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0;   // bytes used in the last block
  std::size_t room_ = 0;   // size of the last block
};

}  // namespace kq
