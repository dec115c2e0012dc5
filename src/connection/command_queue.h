// The commands of one connection: those waiting to go out, in order, and
// those in flight, each under its tag. The queue decides what may be sent
// next, so the protocol's ordering rules hold whoever submits:
//
//  - at most window() commands are in flight at once;
//  - a command that waits for a continuation request ("+": a synchronizing
//    literal, an AUTHENTICATE exchange) goes out only when nothing else is
//    in flight, and nothing goes out behind it until it completes. The
//    server may send any number of challenges before its completion, so
//    the dialogue is only known to be over then; and a "+" is only ever
//    meant for the one command that can be waiting for it.
//
// A completion is matched by its tag; a tag that names no command in
// flight is the caller's to treat as a broken connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "connection/response.h"

namespace kq {

struct imap_command {
  using data_fn = std::function<void(response &)>;
  using done_fn = std::function<void(int status, const std::string &text)>;
  // Answers a "+" continuation; the returned line is sent with CRLF. A
  // command that has one takes part in a dialogue and is sent alone.
  using continue_fn = std::function<std::string(const std::string &challenge)>;
  // The rest of the command after `line`, asked for in pieces as the socket
  // takes them, so a literal too large to hold whole never is: fills up to
  // cap bytes of buf and returns how many, 0 once all is given, -1 when it
  // cannot (the connection is then given up: half a literal cannot be
  // taken back). The final CRLF follows its last piece. Only behind a
  // non-synchronizing literal, as nothing is waited for before it.
  using tail_fn = std::function<long(char *buf, std::size_t cap)>;

  std::string line;  // without tag and CRLF
  data_fn on_data;
  done_fn on_done;
  continue_fn on_continue;
  tail_fn tail;
  std::uint32_t uid_lo = 0, uid_hi = 0;  // FETCH data of these UIDs comes here
  bool secret = false;                   // the line is not traced

  bool awaits_continuation() const { return static_cast<bool>(on_continue); }
};

class command_queue {
 public:
  struct in_flight {
    std::string tag;
    imap_command cmd;
    std::uint64_t started = 0;
  };

  void push(imap_command c) { waiting_.push_back(std::move(c)); }

  // True when the next waiting command may go out now (see the rules above).
  bool can_send() const;
  // Moves the next waiting command into flight under a new tag; only after
  // can_send() said yes.
  in_flight &send_next(std::uint64_t now_ms);

  // The command in flight under this tag, taken out of flight; nothing
  // when no command in flight has it.
  std::optional<imap_command> complete(const std::string &tag);
  // The command a "+" is meant for: the dialogue command in flight, or
  // nullptr when none is waiting for one.
  imap_command *continuation_target();
  // FETCH data by UID: the command whose range holds uid; else the oldest
  // that claimed no range; else the oldest in flight (which can tell a
  // stray answer from a missing one). nullptr when nothing is in flight.
  imap_command *fetch_target(std::uint32_t uid);
  // Other untagged data: the oldest command in flight, or nullptr.
  imap_command *oldest();

  // Empties both lists, for the caller to complete what they held.
  std::deque<in_flight> take_in_flight();
  std::deque<imap_command> take_waiting();

  bool idle() const { return waiting_.empty() && in_flight_.empty(); }
  bool nothing_in_flight() const { return in_flight_.empty(); }
  bool nothing_waiting() const { return waiting_.empty(); }
  std::size_t outstanding() const { return waiting_.size() + in_flight_.size(); }

  void set_window(std::size_t n) { window_ = n < 1 ? 1 : n; }
  std::size_t window() const { return window_; }

  std::uint64_t sent_total() const { return sent_total_; }
  std::size_t most_in_flight() const { return most_in_flight_; }
  void reset_counters() {
    sent_total_ = 0;
    most_in_flight_ = 0;
  }

 private:
  std::string next_tag();

  std::deque<imap_command> waiting_;
  std::deque<in_flight> in_flight_;
  std::size_t window_ = 1;
  std::uint64_t tag_n_ = 0;
  std::uint64_t sent_total_ = 0;
  std::size_t most_in_flight_ = 0;
};

}  // namespace kq
