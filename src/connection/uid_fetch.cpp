#include "connection/uid_fetch.h"

#include <algorithm>
#include <memory>

#include "base/error.h"
#include "base/text.h"
#include "connection/throttle.h"
#include "connection/uid_search.h"
#include "platform/platform.h"

namespace kq {

namespace {

constexpr int k_reconnects = 3;
// UIDs named in a failure text; the rest are counted.
constexpr std::size_t k_named_uids = 200;

std::size_t decimal_len(std::uint32_t v) {
  std::size_t n = 1;
  while (v >= 10) v /= 10, ++n;
  return n;
}

}  // namespace

std::size_t uid_set_fit(const std::uint32_t *uids, std::size_t n, std::size_t max_count, std::size_t max_chars) {
  // Walk the runs of consecutive UIDs as uid_set_text writes them: "a" or
  // "a:b", comma-separated.
  std::size_t used = 0, taken = 0;
  while (taken < n && taken < max_count) {
    std::size_t j = taken;
    while (j + 1 < n && j + 1 < max_count && uids[j + 1] == uids[j] + 1) ++j;
    std::size_t run = (taken > 0 ? 1 : 0) + decimal_len(uids[taken]) + (j > taken ? 1 + decimal_len(uids[j]) : 0);
    if (used + run > max_chars) {
      // The run's first UID alone may still fit.
      std::size_t single = (taken > 0 ? 1 : 0) + decimal_len(uids[taken]);
      if (taken == 0 || (j > taken && used + single <= max_chars)) return taken + 1;
      return taken;
    }
    used += run;
    taken = j + 1;
  }
  return taken > 0 ? taken : (n > 0 ? 1 : 0);
}

struct uid_fetch::request {
  std::vector<std::uint32_t> uids;
  long long bytes = 0;
};

uid_fetch::uid_fetch(session &s, uid_fetch_plan plan, record_fn on_record)
    : s_(s), plan_(std::move(plan)), on_record_(std::move(on_record)) {}

void uid_fetch::on_data(response &r) {
  fetch_data f;
  if (!parse_fetch(r, f) || !f.has_uid) return;
  std::size_t i = ledger_.index_of(f.uid);
  if (i == uid_ledger::npos) return;  // not asked for in this run
  // Once a pause or stop is asked for, nothing more is handed on: the UID
  // stays unsettled and is asked for again.
  if (control() != 0) return;
  uid_ledger::state st = ledger_.at(i);
  if (st == uid_ledger::gone || st == uid_ledger::failed) return;
  std::string why;
  fetch_take t = on_record_(f.uid, r, f, st == uid_ledger::taken, why);
  if (st == uid_ledger::taken) {
    // A second answer for a stored UID: only a refusal (a different body)
    // changes anything.
    if (t == fetch_take::refused) {
      ledger_.mark_failed(i);
      last_reason_ = why;
    }
    return;
  }
  if (t == fetch_take::taken) {
    ledger_.set(i, uid_ledger::taken);
  } else if (t == fetch_take::incomplete) {
    if (!why.empty()) last_reason_ = why;
  } else if (t == fetch_take::refused) {
    ledger_.mark_failed(i);
    last_reason_ = why;
  }
}

void uid_fetch::on_done(request &q, int status, const std::string &text) {
  in_flight_bytes_ -= q.bytes;
  if (status < 0) {
    // The connection went: everything of this command is asked again on
    // the next one.
    for (std::uint32_t u : q.uids) {
      std::size_t i = ledger_.index_of(u);
      if (ledger_.at(i) == uid_ledger::flying) ledger_.set(i, uid_ledger::pending);
    }
    batches_.again(q.uids);
    return;
  }
  // The completion's own hint, or one the server sent unasked meanwhile.
  throttle_hint hint = read_throttle(text);
  if (!hint.any() && s_.last_throttle().any()) hint = s_.last_throttle();
  s_.clear_throttle();
  if (hint.any()) {
    // The server asks for less: fewer commands at once, and a pause.
    window_ = std::max<std::size_t>(1, window_ / 2);
    s_.set_window(window_);
    int ms = hint.backoff_ms > 0 ? hint.backoff_ms : 1000;
    throttle_ms_ = std::max(throttle_ms_, std::min(ms, backoff_cap()));
  }
  bool paused = control() != 0;
  if (status != 0 && q.uids.size() > 1 && !paused) {
    // A refusal of a set may be about the set (its length, its size): its
    // halves are asked for before anything is called failed.
    std::vector<std::uint32_t> open;
    for (std::uint32_t u : q.uids) {
      std::size_t i = ledger_.index_of(u);
      if (ledger_.at(i) != uid_ledger::flying) continue;
      ledger_.set(i, uid_ledger::pending);
      open.push_back(u);
    }
    std::size_t half = (open.size() + 1) / 2;
    auto mid = open.begin() + static_cast<std::ptrdiff_t>(half);
    if (half > 0) batches_.again({open.begin(), mid});
    if (open.size() > half) batches_.again({mid, open.end()});
    ++retries_;
    last_reason_ = text;
    return;
  }
  std::vector<std::uint32_t> again;
  for (std::uint32_t u : q.uids) {
    std::size_t i = ledger_.index_of(u);
    if (ledger_.at(i) != uid_ledger::flying) continue;
    if (paused) {
      ledger_.set(i, uid_ledger::pending);
      again.push_back(u);
    } else {
      ledger_.set(i, uid_ledger::missing);
      if (status != 0) last_reason_ = text;
    }
  }
  if (!again.empty()) batches_.again(std::move(again));
}

int uid_fetch::backoff_cap() const {
  // Never longer than the time the configuration lets a server be silent.
  int timeout_ms = s_.config().timeout_s > 0 ? s_.config().timeout_s * 1000 : plan_.backoff_cap_ms;
  return std::max(100, std::min(plan_.backoff_cap_ms, timeout_ms));
}

void uid_fetch::back_off(int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (control() == 2) return;
    plat::sleep_ms(50);
  }
}

bool uid_fetch::fill() {
  while (s_.outstanding() < window_ &&
         (plan_.bytes_in_flight <= 0 || in_flight_bytes_ < plan_.bytes_in_flight)) {
    if (throttle_ms_ > 0) {
      // The server asked for a pause: what is in flight comes in first.
      if (s_.outstanding() > 0) return true;
      back_off(throttle_ms_);
      throttle_ms_ = 0;
      if (control() != 0) return true;
    }
    auto q = std::make_shared<request>();
    uid_batches::limits lim;
    lim.set_chars = k_line_octets - k_tag_room - std::string_view("UID FETCH  ").size() - plan_.items.size();
    lim.bytes_per_command = plan_.bytes_per_command;
    auto pending = [this](std::uint32_t u) { return ledger_.at(ledger_.index_of(u)) == uid_ledger::pending; };
    if (batches_.next(q->uids, q->bytes, lim, pending, weight_) == 0) return true;
    for (std::uint32_t u : q->uids) ledger_.set(ledger_.index_of(u), uid_ledger::flying);
    in_flight_bytes_ += q->bytes;
    session::command c;
    c.line = "UID FETCH " + uid_set_text(q->uids.data(), q->uids.size()) + " " + plan_.items;
    c.uid_lo = q->uids.front();
    c.uid_hi = q->uids.back();
    c.on_data = [this](response &r) { on_data(r); };
    c.on_done = [this, q](int st, const std::string &text) { on_done(*q, st, text); };
    s_.submit(std::move(c));
  }
  return true;
}

bool uid_fetch::confirm_missing() {
  std::vector<std::uint32_t> missing;
  for (std::size_t i = 0; i < ledger_.uids().size(); ++i)
    if (ledger_.at(i) == uid_ledger::missing) missing.push_back(ledger_.uids()[i]);
  if (missing.empty()) return true;
  // What the server holds now of those: a fresh search, one command at a
  // time (plain SEARCH answers name no command).
  std::vector<std::uint32_t> present;
  std::vector<char> known(missing.size(), 0);
  std::size_t room = k_line_octets - k_tag_room - std::string_view("UID SEARCH UID ").size();
  for (std::size_t at = 0; at < missing.size();) {
    std::size_t n = uid_set_fit(missing.data() + at, missing.size() - at, missing.size(), room);
    int status = -1;
    session::command c;
    c.line = "UID SEARCH UID " + uid_set_text(missing.data() + at, n);
    std::vector<std::uint32_t> found;
    c.on_data = [&found](response &r) {
      esearch_reply e;
      if (parse_esearch(r.line, e) && e.has_all) found.insert(found.end(), e.all.begin(), e.all.end());
      else parse_search(r.line, found);
    };
    c.on_done = [&status, this](int st, const std::string &text) {
      status = st;
      if (st != 0) last_reason_ = text;
    };
    s_.submit(std::move(c));
    if (!s_.drain()) return false;
    if (status == 0) {
      for (std::size_t k = at; k < at + n; ++k) known[k] = 1;
      present.insert(present.end(), found.begin(), found.end());
    }
    at += n;
  }
  std::sort(present.begin(), present.end());
  int round = 0;
  std::vector<std::uint32_t> again;
  for (std::size_t k = 0; k < missing.size(); ++k) {
    std::uint32_t u = missing[k];
    std::size_t i = ledger_.index_of(u);
    if (ledger_.at(i) != uid_ledger::missing) continue;  // answered late, meanwhile
    if (known[k] && !std::binary_search(present.begin(), present.end(), u)) {
      ledger_.mark_gone(i);
      if (on_gone_) on_gone_(u);
      continue;
    }
    int asked = ledger_.ask_again(i);
    if (asked >= plan_.rounds) {
      ledger_.mark_failed(i);
      continue;
    }
    round = std::max(round, asked);
    ledger_.set(i, uid_ledger::pending);
    again.push_back(u);
  }
  if (again.empty()) return true;
  // Smaller sets each round, after a longer pause.
  std::size_t size = std::max<std::size_t>(1, plan_.per_command >> (2 * round));
  for (std::size_t at = 0; at < again.size(); at += size) {
    std::size_t end = std::min(again.size(), at + size);
    batches_.again({again.begin() + static_cast<std::ptrdiff_t>(at),
                    again.begin() + static_cast<std::ptrdiff_t>(end)});
    ++retries_;
  }
  throttle_ms_ = std::max(throttle_ms_, std::min(250 << round, backoff_cap()));
  return true;
}

bool uid_fetch::recover() {
  std::string why = s_.lost_reason().empty() ? std::string(last_error()) : s_.lost_reason();
  while (reconnects_ < k_reconnects) {
    if (control() == 2) return false;
    back_off(std::min(500 << reconnects_, backoff_cap()));
    ++reconnects_;
    if (reconnect_ && reconnect_()) {
      window_ = std::max<std::size_t>(1, window_);
      s_.set_window(window_);
      return true;
    }
  }
  set_err("%s", why.c_str());
  return false;
}

uid_fetch::end uid_fetch::run(const std::vector<std::uint32_t> &uids) {
  ledger_.reset(uids);
  batches_.reset(ledger_.uids(), plan_.per_command);
  window_ = std::max<std::size_t>(1, plan_.window);
  std::size_t keep = s_.window();
  s_.set_window(window_);
  auto finish = [&](end e) {
    // Handlers of commands still in flight point at this object. Under a
    // stop the session reads them off for a moment only, then closes.
    if (s_.outstanding() > 0) s_.drain();
    // A connection closed because of the stop is the stop, not a fault.
    if (e == end::lost && control() == 2) e = end::stopped;
    s_.set_window(keep);
    ledger_.sort_lists();
    return e;
  };
  for (;;) {
    int c = control();
    if (c == 2) return finish(end::stopped);
    if (c == 1) {
      // What was sent comes in first (and is asked again later); then the
      // pause holds.
      if (!s_.drain() && !recover()) return finish(end::lost);
      if (s_.outstanding() > 0) continue;
      if (tick_) tick_();
      if (!pause_ || !pause_()) return finish(end::stopped);
      continue;
    }
    fill();
    if (s_.outstanding() == 0) {
      if (control() != 0) continue;
      if (throttle_ms_ > 0 || !batches_.exhausted()) continue;
      if (!ledger_.any(uid_ledger::missing)) break;
      if (!confirm_missing() && !recover()) return finish(end::lost);
      continue;
    }
    if (!s_.run_until_at_most(s_.outstanding() - 1)) {
      if (!recover()) return finish(end::lost);
      continue;
    }
    if (tick_) tick_();
  }
  return finish(ledger_.failed_uids().empty() ? end::complete : end::incomplete);
}

std::string uid_fetch::failure_text() const {
  const std::vector<std::uint32_t> &list = ledger_.failed_uids();
  std::size_t n = list.size();
  std::string out = decimal(n) + (n == 1 ? " message" : " messages") + " could not be fetched: UID" +
                    (n == 1 ? " " : "s ");
  std::size_t shown = std::min(n, k_named_uids);
  out += uid_set_text(list.data(), shown);
  if (shown < n) out += " and " + decimal(n - shown) + " more";
  if (!last_reason_.empty()) out += " (" + last_reason_.substr(0, 200) + ")";
  return out;
}

}  // namespace kq
