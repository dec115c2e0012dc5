// Fetching data items for an exact set of UIDs of the selected folder, with
// a ledger that accounts for every UID asked for.
//
// Each UID ends in one of three places: taken (the caller's handler stored
// what it needed), gone (the server said so: a fresh UID SEARCH no longer
// lists it), or failed (asked again in smaller sets, with backoff, and still
// not answered; or refused by the handler). Nothing is counted as gone
// because an answer left it out: servers leave records out when they
// throttle, answer before the last record, or lose track. A run that ends
// with any UID failed is incomplete, and says which.
//
// FETCH records are matched to UIDs by their parsed UID item, whichever
// command they arrive under: a record that comes after its command's
// completion still counts. Command lines stay within 1,000 octets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "connection/fetch_data.h"
#include "connection/session.h"
#include "connection/uid_batches.h"
#include "connection/uid_ledger.h"

namespace kq {

// What a handler did with one FETCH record.
enum class fetch_take {
  taken,       // the UID is settled
  incomplete,  // the record lacks what is needed: ask again
  refused,     // a fault for this UID that asking again cannot mend (the reason set)
};

struct uid_fetch_plan {
  std::string items;                 // "(BODY.PEEK[])"
  std::size_t per_command = 250;     // UIDs per command at most
  long long bytes_per_command = 0;   // announced bytes per command (0: no bound)
  long long bytes_in_flight = 0;     // announced bytes in flight together (0: no bound)
  std::size_t window = 8;            // commands in flight
  int rounds = 4;                    // times a UID is asked for before it is reported
  int backoff_cap_ms = 8000;         // longest pause before asking again
};

class uid_fetch {
 public:
  // uid, the record and its parse; `again` when the UID was taken before in
  // this run (a second answer for it). `why` receives a refusal's reason.
  using record_fn =
      std::function<fetch_take(std::uint32_t uid, response &r, const fetch_data &f, bool again, std::string &why)>;
  // 0 go on, 1 pause (what arrives is not handed on; the UID is asked again
  // later), 2 stop.
  using control_fn = std::function<int()>;
  // Waits while paused: false when the wait ended in a stop.
  using pause_fn = std::function<bool()>;
  // A lost connection: connect again and reopen the folder, true when the
  // session is usable with the same folder generation.
  using reconnect_fn = std::function<bool()>;
  // Announced bytes of a UID (batching by size); none: every UID weighs 0.
  using weight_fn = std::function<long long(std::uint32_t)>;

  uid_fetch(session &s, uid_fetch_plan plan, record_fn on_record);

  void set_control(control_fn c, pause_fn p) {
    control_ = std::move(c);
    pause_ = std::move(p);
  }
  void set_reconnect(reconnect_fn r) { reconnect_ = std::move(r); }
  void set_weight(weight_fn w) { weight_ = std::move(w); }
  // Called after every command's completion (progress, pacing).
  void set_tick(std::function<void()> t) { tick_ = std::move(t); }
  // Called once per UID confirmed gone.
  void set_on_gone(std::function<void(std::uint32_t)> g) { on_gone_ = std::move(g); }

  enum class end {
    complete,    // every UID taken or gone
    incomplete,  // some failed (failure_text() says which)
    stopped,     // control said stop (the session may have closed the connection for it)
    lost,        // the connection was lost and could not be made again (last_error)
  };
  // uids ascending, without repeats.
  end run(const std::vector<std::uint32_t> &uids);

  const std::vector<std::uint32_t> &gone() const { return ledger_.gone_uids(); }
  // UIDs neither taken nor gone, ascending, with the last reason seen.
  const std::vector<std::uint32_t> &failed() const { return ledger_.failed_uids(); }
  // "N messages could not be fetched: UIDs 4,9:12 (reason)".
  std::string failure_text() const;
  unsigned retries() const { return retries_; }
  unsigned reconnects() const { return reconnects_; }
  // UIDs not settled when the run stopped (a stop or a lost connection).
  std::vector<std::uint32_t> unsettled() const { return ledger_.unsettled(); }

 private:
  struct request;

  void on_data(response &r);
  void on_done(request &q, int status, const std::string &text);
  bool fill();
  bool confirm_missing();
  bool recover();
  void back_off(int ms);
  int backoff_cap() const;
  int control() const { return control_ ? control_() : 0; }

  session &s_;
  uid_fetch_plan plan_;
  record_fn on_record_;
  control_fn control_;
  pause_fn pause_;
  reconnect_fn reconnect_;
  weight_fn weight_;
  std::function<void()> tick_;
  std::function<void(std::uint32_t)> on_gone_;

  uid_ledger ledger_;
  uid_batches batches_;  // what the next command asks for
  std::size_t window_ = 1;
  long long in_flight_bytes_ = 0;
  int throttle_ms_ = 0;  // pause asked for by the server, taken before the next command
  std::string last_reason_;
  unsigned retries_ = 0, reconnects_ = 0;
};

// How many of uids[0..n) fit one command: at most max_count UIDs whose set
// text is at most max_chars long (at least one UID).
std::size_t uid_set_fit(const std::uint32_t *uids, std::size_t n, std::size_t max_count, std::size_t max_chars);

// Longest command line the library sends, tag included, CRLF excluded:
// servers refuse longer ones (RFC 7162 asks clients to stay under 8,192;
// some providers refuse over 1,000).
inline constexpr std::size_t k_line_octets = 1000;
// Room for the tag and its space.
inline constexpr std::size_t k_tag_room = 24;

}  // namespace kq
