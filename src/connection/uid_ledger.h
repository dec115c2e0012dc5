// Where each UID of one fetch run stands: asked for and not yet sent,
// in flight, left out of an answer, taken, confirmed gone, or failed; how
// many rounds each has been asked in; and the lists of the gone and the
// failed ones. uid_fetch decides the moves; the ledger only keeps them, so
// every UID asked for is in exactly one state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kq {

class uid_ledger {
 public:
  enum state : unsigned char { pending, flying, missing, taken, gone, failed };
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Starts over with these UIDs (ascending, without repeats), all pending,
  // none asked for yet, both lists empty.
  void reset(const std::vector<std::uint32_t> &uids);

  const std::vector<std::uint32_t> &uids() const { return uids_; }
  // Where uid is among the UIDs, or npos when this run did not ask for it.
  std::size_t index_of(std::uint32_t uid) const;
  state at(std::size_t i) const { return static_cast<state>(state_[i]); }
  void set(std::size_t i, state s) { state_[i] = s; }
  // Counts one more round of asking for UID i; the rounds so far.
  int ask_again(std::size_t i) { return ++asked_[i]; }
  // Settles UID i as gone, or as failed, and lists it.
  void mark_gone(std::size_t i);
  void mark_failed(std::size_t i);
  bool any(state s) const;

  // The lists in ascending order, failed without repeats (a UID taken and
  // then refused is listed once).
  void sort_lists();
  const std::vector<std::uint32_t> &gone_uids() const { return gone_; }
  const std::vector<std::uint32_t> &failed_uids() const { return failed_; }
  // UIDs neither taken, gone nor failed, ascending.
  std::vector<std::uint32_t> unsettled() const;

 private:
  std::vector<std::uint32_t> uids_;
  std::vector<unsigned char> state_;
  std::vector<unsigned char> asked_;  // rounds spent per UID
  std::vector<std::uint32_t> gone_, failed_;
};

}  // namespace kq
