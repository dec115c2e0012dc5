// The IMAP session: owns the transport, the connection settings, the tag
// allocator, the selected mailbox and the command queue.
//
// A command is submitted with a handler for the untagged data routed to it
// and one for its completion. The command queue (connection/command_queue.h)
// decides what goes out: up to window() commands in flight at once, the
// rest waiting in order, a command in a "+" dialogue alone. FETCH data is
// routed by UID to the command that claimed that UID range, other untagged
// data to the oldest command in flight, completions by tag (a tag of no
// command in flight breaks the connection). exec() is "submit and wait" for
// callers that need one answer.
//
// The members are defined by concern: session.cpp (state and teardown),
// session_pump.cpp (the send/receive loop), session_routing.cpp (where each
// response goes), session_connect.cpp (connect, TLS, greeting, login),
// session_select.cpp (mailbox selection), conn_config.cpp (settings).
//
// One thread at a time drives a session: the host thread, or the export
// worker while a job owns it (the host's calls are refused meanwhile: see
// background_active in src/api/guard.h). Only status() may be read from
// any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/command_queue.h"
#include "connection/response.h"
#include "connection/throttle.h"
#include "connection/transport.h"

namespace kq {

// Settings read from the kq_connect JSON. The session keeps the secrets
// while it is connected, so that reconnect() can log in again; they are
// wiped on disconnect(), close(), a failed connect and when the session is
// destroyed.
struct conn_config {
  std::string host;
  int port = 993;
  int ssl = 1;  // 0 plain, 1 implicit TLS, 2 STARTTLS
  std::string user;
  std::string pass;
  std::string oauth_token;
  std::string ca_file;
  int timeout_s = 30;          // connect, and the silence allowed when given
  int read_timeout_s = 120;    // longest silence while an answer is awaited
  int tls_verify = 1;
  // The literal bytes one response may hold ("max_message_bytes", at least
  // 1 KiB): a literal that would take a response past it is read off the
  // wire and dropped (response::over_cap), not kept.
  long long max_message_bytes = 256LL << 20;
  // COMPRESS=DEFLATE when the server offers it ("compress", default on).
  int compress = 1;
  void wipe_secrets();
};

// Parses the configuration JSON; false with last_error set.
bool conn_config_parse(const char *json, conn_config &out);

// What the server said about the selected mailbox.
struct mailbox_state {
  long long exists = 0;
  unsigned long long uidnext = 0;
  unsigned long long uidvalidity = 0;
  // HIGHESTMODSEQ (RFC 7162), sent once CONDSTORE is on; 0 when none came.
  // nomodseq: the server keeps no mod-sequences for this mailbox.
  unsigned long long highestmodseq = 0;
  bool nomodseq = false;
};

// Reads what an untagged record says about the selected mailbox into st;
// true when it was a numbered record (EXISTS, EXPUNGE, FETCH, ...).
bool read_mailbox_state(const std::string &line, mailbox_state &st);

// What a blocking command collected.
struct command_reply {
  int status = -1;  // 0 OK, 1 NO, 2 BAD, -1 failure (reason in last_error)
  std::string text; // the completion's text after the status word
  std::vector<response> data;
};

class session {
 public:
  using command = imap_command;
  using data_fn = imap_command::data_fn;
  using done_fn = imap_command::done_fn;
  using continue_fn = imap_command::continue_fn;

  session() = default;
  // Wipes the secrets it still holds.
  ~session();
  session(const session &) = delete;
  session &operator=(const session &) = delete;

  // Drops any earlier connection, connects and logs in: 0, or -1 with
  // last_error set (and the secrets wiped).
  //
  // Credentials never go out in clear to a server that lists LOGINDISABLED:
  // neither LOGIN, nor AUTHENTICATE PLAIN, nor an XOAUTH2 bearer token. The
  // connect then fails with "the server refuses plain-text login
  // (LOGINDISABLED): ...", whatever the transport.
  int connect(const conn_config &cfg);
  // Connects again with the configuration of the last connect(): closes
  // (commands in flight complete with -1), connects and logs in. It does
  // not select a mailbox: the caller opens its folder again and compares
  // UIDVALIDITY with what it had. 0, or -1 with last_error set; -1 with
  // "not connected" when there is no configuration to use (never connected,
  // or disconnect()/close() wiped it). After a failed attempt the
  // configuration, secrets included, stays for another try (after a
  // pause the caller chooses); close() or disconnect() give up and wipe
  // it. Each success counts in reconnects().
  int reconnect();
  // LOGOUT (best effort) and close; secrets wiped.
  void disconnect();
  // Closes without a word to the server; secrets wiped.
  void close();

  // 0 no connection (or lost), 1 connected, not logged in, 2 logged in.
  int status() const;
  // Logged in and not lost; otherwise sets "not connected".
  bool usable();
  const conn_config &config() const { return cfg_; }
  bool tls() const { return tx_.is_tls(); }
  // The stream, to read whether it is compressed and what crossed it.
  const transport &stream() const { return tx_; }
  // Forgets the settings (a configuration that could not be read).
  void reset_config() {
    cfg_.wipe_secrets();
    cfg_ = conn_config{};
    have_cfg_ = false;
  }

  void submit(command c);
  // Runs the queue until no command is waiting or in flight. False when the
  // connection was lost (every unfinished command then completed with -1).
  bool drain();
  // Runs until at most n commands are waiting or in flight.
  bool run_until_at_most(std::size_t n);
  std::size_t outstanding() const { return queue_.outstanding(); }
  int exec(const std::string &line, command_reply *out = nullptr);

  // EXAMINE, falling back to SELECT: 0, or -1 with "cannot open mailbox %s"
  // (the session's reason added when the connection failed). Without
  // examine_first only the SELECT is sent: the caller's own EXAMINE was
  // refused already. On a server that offers CONDSTORE (or QRESYNC) it is
  // asked for with "(CONDSTORE)", so the state carries the mailbox's
  // HIGHESTMODSEQ.
  int select(const std::string &mailbox, mailbox_state *out = nullptr, bool examine_first = true);
  // The same, without a round trip when the session has that mailbox
  // selected already: its state is then what the server reported since.
  int open(const std::string &mailbox, mailbox_state *out = nullptr);
  // Queues EXAMINE of mailbox (no SELECT fallback, CONDSTORE as select()
  // asks for it), to be pipelined with other commands; `done` gets the status and what the server reported
  // for it, and an OK makes it the selected mailbox. False, with the reason
  // set, when the name cannot be sent.
  using opened_fn = std::function<void(int status, const mailbox_state &st)>;
  bool submit_examine(const std::string &mailbox, opened_fn done);
  const std::string &selected() const { return selected_; }
  const mailbox_state &selected_state() const { return mbox_; }
  // Makes the next open() select the folder again. A job ends with this:
  // some figures of a selection (HIGHESTMODSEQ) are reported only when it
  // is made, so a later job reusing it would read them as they were then.
  void forget_selection() { selected_.clear(); }

  // Offers every literal announced from now on to f (response_parser's
  // set_sink_factory); null keeps them all in memory again. The export sets
  // it while it fetches bodies, so a large message goes to disk as it comes.
  void set_literal_sinks(literal_sink_factory f) { parser_.set_sink_factory(std::move(f)); }

  // Commands in flight at once (1 = lock-step).
  void set_window(std::size_t n) { queue_.set_window(n); }
  std::size_t window() const { return queue_.window(); }
  bool has_capability(const char *cap) const;

  // A request to stop, asked while the session waits for the server.
  //
  // While a stop_scope lives, its predicate is asked at every round of
  // send/receive, and the wait for the socket is cut into slices of at most
  // k_stop_poll_ms so a silent or slow server cannot hold it off. Once any
  // live predicate says yes: commands not yet sent never go out (they
  // complete with -1, "cancelled"); the answers of commands in flight are
  // still read for up to k_stop_grace_ms, so a fast link keeps its
  // connection; what has not come by then is left on the wire and the
  // connection is closed ("cancelled with answers still on the way"):
  // commands in flight complete with -1 and status() says 0. Reading off
  // megabytes through a slow link could take minutes, and a cancel must
  // not. The settings stay, as after any lost connection, but reconnect()
  // refuses while a stop is asked. Scopes nest (the batch's, the search's
  // and the export job's); they end in the reverse order of their start,
  // on the thread that drives the session.
  class stop_scope {
   public:
    stop_scope(session &s, std::function<bool()> stop);
    ~stop_scope();
    stop_scope(const stop_scope &) = delete;
    stop_scope &operator=(const stop_scope &) = delete;

   private:
    session &s_;
  };
  // A live scope asks to stop.
  bool stop_requested() const;
  static constexpr int k_stop_poll_ms = 100;
  static constexpr int k_stop_grace_ms = 500;

  std::uint64_t sent_total() const { return queue_.sent_total(); }
  std::size_t most_in_flight() const { return queue_.most_in_flight(); }
  // Successful reconnect() calls.
  std::uint64_t reconnects() const { return reconnects_; }
  void reset_counters() {
    queue_.reset_counters();
    reconnects_ = 0;
  }
  // The reason the connection was lost ("" while it is fine).
  const std::string &lost_reason() const { return tx_.lost_reason(); }
  // The latest load hint a server gave in an untagged OK/NO/BAD/BYE
  // ("* OK [THROTTLED] slow down", "* NO [UNAVAILABLE]"); any() is false
  // when none came since clear_throttle() or connect(). Completions carry
  // their own: read their text with read_throttle().
  const throttle_hint &last_throttle() const { return throttle_; }
  void clear_throttle() { throttle_ = {}; }

 private:
  // --- connect (session_connect.cpp) ---
  // Opens the socket and, for implicit TLS, the handshake.
  bool open_stream();
  // Reads the server's first response; PREAUTH counts as logged in.
  bool await_greeting();
  // STARTTLS: asked for, refused unless offered, then the handshake.
  bool upgrade_to_tls();
  int login();
  // AUTHENTICATE XOAUTH2 / LOGIN: the completion's status, text in *text.
  int login_xoauth2(std::string *text);
  int login_password(std::string *text);
  // What follows a successful login, before the session counts as usable.
  bool after_login();
  // After login: asks for COMPRESS DEFLATE and, once the server agrees,
  // compresses both directions. A refusal leaves the session as it was (0);
  // -1 only when the connection was lost. Defined in compress.cpp.
  int start_compress();

  // --- the send/receive loop (session_pump.cpp) ---
  // One round of send/receive; false when lost. It waits for the socket at
  // most what is left of the silence deadline, so no caller blocks longer.
  bool pump();
  bool send_pending();
  // Sends the bytes of out_ the socket takes now, out_ refilled from tail_
  // as it empties; false when lost.
  bool flush_out();
  // How long this round may wait for the socket: what is left of the
  // silence deadline, cut to the stop slices; false (the connection given
  // up) when nothing is left.
  bool wait_budget(bool stopping, std::uint64_t &wait_ms);
  bool receive();

  // --- where responses go (session_routing.cpp) ---
  void dispatch(response &r);
  void on_continuation(const std::string &line);
  void on_untagged(response &r);
  void on_tagged(const std::string &line);
  void note_untagged(const response &r);
  void read_caps(const std::string &line, std::size_t from);
  // " (CONDSTORE)" where the server offers it, else "": the parameter of
  // EXAMINE and SELECT (session_select.cpp).
  std::string condstore_param() const;
  void trace(char dir, const std::string &line, bool secret) const;

  // --- state and teardown (session.cpp) ---
  void fail_all(const std::string &reason);
  void lose(const std::string &reason);
  // Completes the commands not yet sent with -1 (a stop was asked).
  void refuse_waiting();
  // Closes the connection under a stop: in-flight commands complete with
  // -1, the configuration stays.
  void cut_off();
  // Closes the socket and forgets everything learned over it; the settings
  // stay (close() wipes those too).
  void drop_stream();
  // Something is awaited from the server: a command's answer or the greeting.
  bool awaiting() const { return !queue_.nothing_in_flight() || greeting_due_; }

  conn_config cfg_;
  bool have_cfg_ = false;  // cfg_ is what the last connect() was given
  transport tx_;
  // Read by kq_status from any host thread (see transport's socket).
  std::atomic<int> authed_{0};
  command_queue queue_;
  std::string out_;  // bytes not yet sent
  // The tail (imap_command::tail) of the command being sent: nothing else
  // goes out until it has given all its bytes.
  imap_command::tail_fn tail_;
  // Until the greeting came, the first response is it, whatever it says.
  bool greeting_due_ = false;
  std::string greeting_;
  std::string selected_;
  mailbox_state mbox_;
  std::vector<std::string> caps_;
  response_parser parser_;
  std::vector<char> inbuf_;
  std::size_t in_pos_ = 0, in_len_ = 0;
  // The longest silence allowed while a command (or the greeting) is
  // awaited, in milliseconds: the clock starts again with every byte
  // received, so a large answer arriving steadily is never cut, and a
  // server that stops sending is given up after this long with "server did
  // not answer within N s". No call waits longer than this for a byte.
  int answer_ms_ = 120000;
  std::uint64_t heard_at_ = 0;  // last byte received, or the wait's start
  std::uint64_t reconnects_ = 0;
  throttle_hint throttle_;
  bool trace_ = false;
  std::vector<std::function<bool()>> stops_;  // of the live stop_scopes
  std::uint64_t stop_seen_at_ = 0;            // when a stop was first seen with answers due (0: none)
};

// Writes s as an IMAP quoted string (with its quotes), a backslash before
// each '"' and '\'. False, with "invalid mailbox name", when s holds CR, LF
// or NUL: such a name could smuggle a second command onto the wire. Every
// string that goes into a command passes through here.
bool imap_quote(std::string_view s, std::string &out);

// Overwrites a secret's bytes before the string lets go of them.
void wipe_secret(std::string &s);

}  // namespace kq
