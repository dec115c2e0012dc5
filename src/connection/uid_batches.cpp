#include "connection/uid_batches.h"

#include <algorithm>

#include "connection/uid_fetch.h"

namespace kq {

const std::vector<std::uint32_t> uid_batches::k_none;

void uid_batches::reset(const std::vector<std::uint32_t> &uids, std::size_t per_command) {
  uids_ = &uids;
  next_ = 0;
  per_command_ = std::max<std::size_t>(1, per_command);
  groups_.clear();
}

std::size_t uid_batches::next(std::vector<std::uint32_t> &set, long long &bytes, const limits &lim,
                               const pending_fn &pending, const weight_fn &weight) {
  set.clear();
  bytes = 0;
  auto weigh = [&weight](std::uint32_t u) { return weight ? std::max(0LL, weight(u)) : 0LL; };
  auto fits_bytes = [&](std::uint32_t u) {
    return set.empty() || lim.bytes_per_command <= 0 || bytes + weigh(u) <= lim.bytes_per_command;
  };
  // Candidates: the front group first, then the first pass in order.
  std::vector<std::uint32_t> cand;
  std::size_t limit = per_command_;
  bool from_group = false;
  while (!groups_.empty() && cand.empty()) {
    for (std::uint32_t u : groups_.front())
      if (pending(u)) cand.push_back(u);
    groups_.pop_front();
    from_group = true;
    limit = std::min(limit, std::max<std::size_t>(1, cand.size()));
  }
  if (!from_group) {
    while (next_ < uids_->size() && cand.size() < per_command_) {
      std::uint32_t u = (*uids_)[next_++];
      if (pending(u)) cand.push_back(u);
    }
  }
  if (cand.empty()) return 0;
  std::sort(cand.begin(), cand.end());
  std::size_t n = uid_set_fit(cand.data(), cand.size(), limit, lim.set_chars);
  std::size_t k = 0;
  for (; k < n && fits_bytes(cand[k]); ++k) {
    bytes += weigh(cand[k]);
    set.push_back(cand[k]);
  }
  // What did not fit goes back in front, in order.
  if (k < cand.size()) groups_.emplace_front(cand.begin() + static_cast<std::ptrdiff_t>(k), cand.end());
  return set.size();
}

}  // namespace kq
