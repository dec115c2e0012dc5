// The session's state and its teardown: what it reports, how commands are
// failed when the connection goes, and the stop scopes.
#include "connection/session.h"

#include "base/error.h"
#include "base/strcase.h"

namespace kq {

int session::status() const {
  if (!tx_.is_open() || tx_.lost()) return 0;
  return authed_ ? 2 : 1;
}

bool session::usable() {
  if (status() != 2) {
    set_err("not connected");
    return false;
  }
  return true;
}

bool session::has_capability(const char *cap) const {
  for (const std::string &c : caps_)
    if (ascii_ieq(c, cap)) return true;
  return false;
}

session::~session() {
  cfg_.wipe_secrets();
  wipe_secret(out_);
}

void session::close() {
  fail_all("connection closed");
  have_cfg_ = false;
  drop_stream();
  cfg_.wipe_secrets();
}

void session::drop_stream() {
  tx_.close();
  authed_ = 0;
  selected_.clear();
  mbox_ = {};
  caps_.clear();
  parser_.reset();
  in_pos_ = in_len_ = 0;
  wipe_secret(out_);
  tail_ = nullptr;
  greeting_due_ = false;
  stop_seen_at_ = 0;
}

void session::disconnect() {
  if (tx_.is_open() && !tx_.lost()) {
    // A short wait: a server that does not answer LOGOUT is closed anyway.
    int keep = answer_ms_;
    answer_ms_ = 5000;
    exec("LOGOUT");
    answer_ms_ = keep;
  }
  close();
}

void session::lose(const std::string &reason) {
  tx_.mark_lost(reason);
  tail_ = nullptr;
  fail_all(reason);
}

void session::fail_all(const std::string &reason) {
  // Completion handlers may submit more; take the lists first.
  std::deque<command_queue::in_flight> flying = queue_.take_in_flight();
  std::deque<command> queued = queue_.take_waiting();
  if (!reason.empty() && (!flying.empty() || !queued.empty())) set_err("%s", reason.c_str());
  for (command_queue::in_flight &f : flying)
    if (f.cmd.on_done) f.cmd.on_done(-1, reason);
  for (command &c : queued)
    if (c.on_done) c.on_done(-1, reason);
}

void session::submit(command c) { queue_.push(std::move(c)); }

session::stop_scope::stop_scope(session &s, std::function<bool()> stop) : s_(s) {
  s_.stops_.push_back(std::move(stop));
}

session::stop_scope::~stop_scope() {
  s_.stops_.pop_back();
  if (s_.stops_.empty()) s_.stop_seen_at_ = 0;
}

bool session::stop_requested() const {
  for (const std::function<bool()> &stop : stops_)
    if (stop && stop()) return true;
  return false;
}

void session::refuse_waiting() {
  // Handlers may submit more; those are refused too.
  while (!queue_.nothing_waiting()) {
    std::deque<command> queued = queue_.take_waiting();
    set_err("cancelled");
    for (command &c : queued)
      if (c.on_done) c.on_done(-1, "cancelled");
  }
}

void session::cut_off() {
  const char *why = "cancelled with answers still on the way";
  tx_.mark_lost(why);
  fail_all(why);
  // Closed for real: the server stops sending into a socket nobody reads.
  // What a later call meets is "not connected".
  drop_stream();
}

}  // namespace kq
