// Which UIDs the next UID FETCH asks for: the first pass through the run's
// UIDs in order, and the groups to ask for again, each kept apart (its size
// is what the server's last answer allowed). A command's set stays within
// a UID count, a line length and an announced byte budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace kq {

class uid_batches {
 public:
  struct limits {
    std::size_t set_chars = 0;       // room for the UID set on the line
    long long bytes_per_command = 0; // announced bytes per command (0: no bound)
  };
  using pending_fn = std::function<bool(std::uint32_t)>;
  using weight_fn = std::function<long long(std::uint32_t)>;

  // Starts over with uids (ascending; they must outlive the batches).
  void reset(const std::vector<std::uint32_t> &uids, std::size_t per_command);
  // Asks for these UIDs again, as a group of their own after the others.
  void again(std::vector<std::uint32_t> group) { groups_.push_back(std::move(group)); }
  // Nothing left to ask for: the first pass is through and no group waits.
  bool exhausted() const { return next_ >= uids_->size() && groups_.empty(); }

  // The next command's UIDs (still pending, ascending) and their announced
  // bytes; 0 when nothing is left to ask for now.
  std::size_t next(std::vector<std::uint32_t> &set, long long &bytes, const limits &lim,
                   const pending_fn &pending, const weight_fn &weight);

 private:
  static const std::vector<std::uint32_t> k_none;
  const std::vector<std::uint32_t> *uids_ = &k_none;
  std::size_t next_ = 0;  // the first pass: the next index to ask for
  std::size_t per_command_ = 1;
  std::deque<std::vector<std::uint32_t>> groups_;
};

}  // namespace kq
