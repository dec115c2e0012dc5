// Where each response from the server goes: a "+" to the command in its
// dialogue, FETCH data by UID, other untagged data to the oldest command,
// a completion by its tag. What breaks these rules breaks the connection.
#include <cstdio>

#include "base/error.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "connection/session.h"

namespace kq {

void session::trace(char dir, const std::string &line, bool secret) const {
  if (!trace_) return;
  if (secret) {
    // Tag and command word only: the rest carries credentials.
    std::size_t sp = line.find(' ');
    sp = sp == std::string::npos ? line.size() : line.find(' ', sp + 1);
    std::fprintf(stderr, "%c: %s [redacted]\n", dir, line.substr(0, sp).c_str());
    return;
  }
  std::fprintf(stderr, "%c: %.*s\n", dir, static_cast<int>(line.size() < 2000 ? line.size() : 2000),
               line.c_str());
}

void session::dispatch(response &r) {
  const std::string &l = r.line;
  if (trace_) {
    std::string shown = l;
    if (!r.literals.empty()) shown += " [" + decimal(r.literals.size()) + " literal(s)]";
    trace('S', shown, false);
  }
  if (greeting_due_) {
    // The first response is the greeting, whatever it is; one that is not
    // untagged is refused by the caller. Its capabilities count.
    if (l.size() > 1 && l[0] == '*') note_untagged(r);
    greeting_ = l;
    greeting_due_ = false;
  } else if (!l.empty() && l[0] == '+') {
    on_continuation(l);
  } else if (l.size() > 1 && l[0] == '*') {
    on_untagged(r);
  } else {
    on_tagged(l);
  }
}

void session::on_continuation(const std::string &l) {
  imap_command *to = queue_.continuation_target();
  if (!to) {
    // An answer here would reach the server as a command line of its own.
    lose("protocol error: a continuation request while no command waits for one");
    return;
  }
  std::string answer = to->on_continue(l.size() > 2 ? l.substr(2) : std::string());
  trace('C', answer, true);
  out_ += answer;
  out_ += "\r\n";
  wipe_secret(answer);
}

void session::on_untagged(response &r) {
  std::uint32_t uid = 0;
  fetch_walk w = walk_fetch(r, uid);
  if (w == fetch_walk::malformed) {
    // Whatever it held cannot be told apart from what follows it.
    lose("protocol error: a FETCH response that does not parse");
    return;
  }
  note_untagged(r);
  imap_command *to = w == fetch_walk::ok ? queue_.fetch_target(uid) : queue_.oldest();
  if (to && to->on_data) to->on_data(r);
}

void session::on_tagged(const std::string &l) {
  std::size_t sp = l.find(' ');
  std::string tag = l.substr(0, sp);
  std::optional<imap_command> c = queue_.complete(tag);
  if (!c) {
    // The server answers something never asked (or answers twice): what
    // else it says can no longer be matched to our commands.
    char why[160];
    std::snprintf(why, sizeof why, "protocol error: a completion tagged \"%.40s\" for no command in flight",
                  tag.c_str());
    lose(why);
    return;
  }
  std::string rest = sp == std::string::npos ? std::string() : l.substr(sp + 1);
  int status = 2;
  std::size_t skip = 0;
  if (ascii_istarts(rest, "OK")) status = 0, skip = 2;
  else if (ascii_istarts(rest, "NO")) status = 1, skip = 2;
  else if (ascii_istarts(rest, "BAD")) status = 2, skip = 3;
  while (skip < rest.size() && rest[skip] == ' ') ++skip;
  if (c->on_done) c->on_done(status, rest.substr(skip < rest.size() ? skip : rest.size()));
}

void session::note_untagged(const response &r) {
  if (read_mailbox_state(r.line, mbox_)) return;
  const std::string &l = r.line;
  // A load hint said unasked; the latest one stays until read.
  std::string_view rest = std::string_view(l).substr(2);
  for (std::string_view w : {"OK", "NO", "BAD", "BYE"}) {
    if (!ascii_istarts(rest, w) || (rest.size() > w.size() && rest[w.size()] != ' ')) continue;
    throttle_hint h = read_throttle(rest);
    if (h.any()) throttle_ = h;
    break;
  }
  if (ascii_istarts(l, "* CAPABILITY ")) read_caps(l, 13);
  else if (ascii_istarts(l, "* OK [CAPABILITY ")) read_caps(l, 17);
}

void session::read_caps(const std::string &l, std::size_t from) {
  caps_.clear();
  std::size_t i = from;
  while (i < l.size() && l[i] != ']') {
    std::size_t j = i;
    while (j < l.size() && l[j] != ' ' && l[j] != ']') ++j;
    if (j > i) caps_.emplace_back(l, i, j - i);
    i = j < l.size() && l[j] == ' ' ? j + 1 : j;
  }
}

}  // namespace kq
