#include "connection/command_queue.h"

#include <cstdio>

namespace kq {

bool command_queue::can_send() const {
  if (waiting_.empty() || in_flight_.size() >= window_) return false;
  // Nothing overtakes a dialogue: the server's "+" must find it alone.
  if (!in_flight_.empty() && in_flight_.back().cmd.awaits_continuation()) return false;
  // A dialogue waits until what went before it has completed.
  if (waiting_.front().awaits_continuation() && !in_flight_.empty()) return false;
  return true;
}

command_queue::in_flight &command_queue::send_next(std::uint64_t now_ms) {
  in_flight f;
  f.cmd = std::move(waiting_.front());
  waiting_.pop_front();
  f.tag = next_tag();
  f.started = now_ms;
  in_flight_.push_back(std::move(f));
  ++sent_total_;
  if (in_flight_.size() > most_in_flight_) most_in_flight_ = in_flight_.size();
  return in_flight_.back();
}

std::optional<imap_command> command_queue::complete(const std::string &tag) {
  for (auto it = in_flight_.begin(); it != in_flight_.end(); ++it) {
    if (it->tag != tag) continue;
    imap_command c = std::move(it->cmd);
    in_flight_.erase(it);
    return c;
  }
  return std::nullopt;
}

imap_command *command_queue::continuation_target() {
  // The rules above leave a dialogue command alone in flight.
  if (in_flight_.size() == 1 && in_flight_.front().cmd.awaits_continuation()) return &in_flight_.front().cmd;
  return nullptr;
}

imap_command *command_queue::fetch_target(std::uint32_t uid) {
  if (uid != 0)
    for (in_flight &f : in_flight_)
      if (f.cmd.uid_hi != 0 && uid >= f.cmd.uid_lo && uid <= f.cmd.uid_hi) return &f.cmd;
  for (in_flight &f : in_flight_)
    if (f.cmd.uid_hi == 0) return &f.cmd;
  return oldest();
}

imap_command *command_queue::oldest() { return in_flight_.empty() ? nullptr : &in_flight_.front().cmd; }

std::deque<command_queue::in_flight> command_queue::take_in_flight() {
  std::deque<in_flight> out;
  out.swap(in_flight_);
  return out;
}

std::deque<imap_command> command_queue::take_waiting() {
  std::deque<imap_command> out;
  out.swap(waiting_);
  return out;
}

std::string command_queue::next_tag() {
  char t[24];
  std::snprintf(t, sizeof t, "KQ%04llu", static_cast<unsigned long long>(++tag_n_));
  return t;
}

}  // namespace kq
