// The send/receive loop: what the queue lets go out is written, what comes
// in is parsed and routed, silence and stop requests are timed.
#include <algorithm>
#include <cstdio>

#include <mbedtls/platform_util.h>

#include "base/error.h"
#include "connection/session.h"
#include "platform/platform.h"

namespace kq {

namespace {
constexpr std::size_t k_inbuf = 256 * 1024;
// What one piece of a command's tail may hold.
constexpr std::size_t k_tail_piece = 256 * 1024;
}  // namespace

bool session::send_pending() {
  for (;;) {
    while (!tail_ && queue_.can_send()) {
      // Silence is counted from here when nothing was awaited before.
      std::uint64_t now = plat::tick_ms();
      if (queue_.nothing_in_flight()) heard_at_ = now;
      command_queue::in_flight &f = queue_.send_next(now);
      std::string line = f.tag + " " + f.cmd.line;
      trace('C', line, f.cmd.secret);
      out_ += line;
      if (f.cmd.secret) wipe_secret(line);
      if (f.cmd.tail) {
        tail_ = std::move(f.cmd.tail);
        break;
      }
      out_ += "\r\n";
    }
    if (!flush_out()) return false;
    // A tail that ended here lets the commands behind it go at once.
    if (tail_ || !out_.empty() || !queue_.can_send()) return true;
  }
}

bool session::flush_out() {
  for (;;) {
    if (out_.empty() && tail_) {
      out_.resize(k_tail_piece);
      long n = tail_(out_.data(), out_.size());
      if (n < 0) {
        out_.clear();
        lose("cannot read what a command sends");
        return false;
      }
      out_.resize(static_cast<std::size_t>(n));
      if (n == 0) {
        tail_ = nullptr;
        out_ = "\r\n";
      }
    }
    if (out_.empty()) break;
    long w = tx_.send_some(out_.data(), out_.size());
    if (w < 0) {
      lose(tx_.lost_reason());
      return false;
    }
    if (w == 0) break;
    // Secrets leave the buffer as soon as they are on the wire.
    mbedtls_platform_zeroize(out_.data(), static_cast<std::size_t>(w));
    out_.erase(0, static_cast<std::size_t>(w));
  }
  return true;
}

bool session::wait_budget(bool stopping, std::uint64_t &wait_ms) {
  // The deadline bounds silence, not the whole answer: every byte received
  // starts the clock again, and silence counts only while something is
  // awaited. The wait never outlasts what is left of it.
  std::uint64_t now = plat::tick_ms();
  if (!awaiting() || heard_at_ > now) heard_at_ = now;
  std::uint64_t limit = static_cast<std::uint64_t>(answer_ms_ > 0 ? answer_ms_ : 0);
  std::uint64_t quiet = now - heard_at_;
  if (quiet >= limit) {
    char text[96];
    std::snprintf(text, sizeof text, "server did not answer within %d s", (answer_ms_ + 999) / 1000);
    lose(text);
    return false;
  }
  wait_ms = limit - quiet;
  if (stops_.empty()) return true;
  // Short slices, so a stop is seen within one however quiet the server.
  wait_ms = std::min<std::uint64_t>(wait_ms, k_stop_poll_ms);
  if (stopping && !queue_.nothing_in_flight()) {
    if (stop_seen_at_ == 0) stop_seen_at_ = now;
    std::uint64_t spent = now - stop_seen_at_;
    if (spent >= static_cast<std::uint64_t>(k_stop_grace_ms)) {
      cut_off();
      return false;
    }
    wait_ms = std::min<std::uint64_t>(wait_ms, k_stop_grace_ms - spent);
  }
  return true;
}

bool session::receive() {
  if (inbuf_.empty()) inbuf_.resize(k_inbuf);
  std::uint64_t raw_before = tx_.bytes_in();
  long got = tx_.recv_some(inbuf_.data(), inbuf_.size());
  if (got < 0) {
    lose(tx_.lost_reason());
    return false;
  }
  in_pos_ = 0;
  in_len_ = static_cast<std::size_t>(got);
  // Part of a TLS record is no silence either, though nothing comes out yet.
  if (got > 0 || tx_.bytes_in() != raw_before) heard_at_ = plat::tick_ms();
  return true;
}

bool session::pump() {
  if (tx_.lost()) {
    fail_all(tx_.lost_reason());
    return false;
  }
  if (!tx_.is_open()) {
    // Closed under a stop (or never opened): nothing can go out.
    fail_all("not connected");
    return false;
  }
  bool stopping = !stops_.empty() && stop_requested();
  if (stopping) refuse_waiting();
  else stop_seen_at_ = 0;
  if (!send_pending()) return false;
  // Answers already read come first, one response a round.
  while (in_pos_ < in_len_) {
    in_pos_ += parser_.feed(inbuf_.data() + in_pos_, in_len_ - in_pos_);
    if (!parser_.error().empty()) {
      lose(parser_.error());
      return false;
    }
    if (parser_.ready()) {
      response &r = parser_.take();
      dispatch(r);
      // A response that breaks the protocol loses the connection there.
      return !tx_.lost();
    }
  }
  in_pos_ = in_len_ = 0;
  if (!awaiting() && queue_.nothing_waiting() && out_.empty() && !tail_) return true;
  std::uint64_t wait_ms = 0;
  if (!wait_budget(stopping, wait_ms)) return false;
  int ready = tx_.wait(!out_.empty() || tail_, static_cast<int>(wait_ms));
  if (ready < 0) {
    lose(std::string("connection failed: ") + plat::error_text(plat::sock_last_error()));
    return false;
  }
  if ((ready & plat::sock_writable) && !send_pending()) return false;
  if ((ready & plat::sock_readable) && !receive()) return false;
  return true;
}

bool session::run_until_at_most(std::size_t n) {
  while (outstanding() > n || !out_.empty() || tail_) {
    if (!pump()) return false;
    if (outstanding() <= n && out_.empty() && !tail_) break;
  }
  return !tx_.lost();
}

bool session::drain() { return run_until_at_most(0); }

int session::exec(const std::string &line, command_reply *out) {
  if (tx_.lost() || !tx_.is_open()) {
    set_err("%s", tx_.lost() ? tx_.lost_reason().c_str() : "not connected");
    if (out) out->status = -1;
    return -1;
  }
  int status = -1;
  command c;
  c.line = line;
  if (out) {
    out->data.clear();
    out->text.clear();
    c.on_data = [out](response &r) { out->data.push_back(std::move(r)); };
  }
  c.on_done = [&status, out](int s, const std::string &text) {
    status = s;
    if (out) {
      out->status = s;
      out->text = text;
    }
  };
  submit(std::move(c));
  drain();
  return status;
}

}  // namespace kq
