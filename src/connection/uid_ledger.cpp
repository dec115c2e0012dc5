#include "connection/uid_ledger.h"

#include <algorithm>

namespace kq {

void uid_ledger::reset(const std::vector<std::uint32_t> &uids) {
  uids_ = uids;
  state_.assign(uids_.size(), pending);
  asked_.assign(uids_.size(), 0);
  gone_.clear();
  failed_.clear();
}

std::size_t uid_ledger::index_of(std::uint32_t uid) const {
  auto it = std::lower_bound(uids_.begin(), uids_.end(), uid);
  if (it == uids_.end() || *it != uid) return npos;
  return static_cast<std::size_t>(it - uids_.begin());
}

void uid_ledger::mark_gone(std::size_t i) {
  state_[i] = gone;
  gone_.push_back(uids_[i]);
}

void uid_ledger::mark_failed(std::size_t i) {
  state_[i] = failed;
  failed_.push_back(uids_[i]);
}

bool uid_ledger::any(state s) const { return std::find(state_.begin(), state_.end(), s) != state_.end(); }

void uid_ledger::sort_lists() {
  std::sort(failed_.begin(), failed_.end());
  failed_.erase(std::unique(failed_.begin(), failed_.end()), failed_.end());
  std::sort(gone_.begin(), gone_.end());
}

std::vector<std::uint32_t> uid_ledger::unsettled() const {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < uids_.size(); ++i)
    if (state_[i] == pending || state_[i] == flying || state_[i] == missing) out.push_back(uids_[i]);
  return out;
}

}  // namespace kq
