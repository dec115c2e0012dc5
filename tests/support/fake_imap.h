// An IMAP server inside the test binary that holds real folders and answers
// what the library asks, with switches that make it misbehave the way real
// servers and big providers do: records left out under throttling, a
// completion sent before the last record, a literal shorter than announced,
// an EXPUNGE in the middle of a fetch, refusals of long lines or long UID
// sets, a BYE in the middle of an answer...
//
//   kqtest::FakeImap::Folder inbox{"INBOX", 7, {}};
//   inbox.messages.push_back({5, "Subject: x\r\n\r\nbody\r\n", 1700000000});
//   kqtest::FakeImap server({inbox});
//   ASSERT_TRUE(server.start());
//   ... kq_connect to 127.0.0.1:server.port(), "ssl":0, user/pass below ...
//   server.set_quirks(q);   // any time; also forgets what the "once" switches did
//   server.stop();
//
// One thread accepts on 127.0.0.1 (a free port), each connection is served
// by a thread of its own, commands are answered in the order they arrive
// (so a client may pipeline as many as it likes). Every wait is bounded:
// a connection that sends nothing for Options::idle_ms is closed, a client
// that reads nothing for Options::send_ms is dropped, and stop() ends and
// joins every thread within a few tens of milliseconds.
//
// Sequence numbers are positions in a folder's UID order, as on any server;
// an expunge shifts them and is announced with "* n EXPUNGE".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/platform/net.h"

namespace kqtest {

class FakeImap {
 public:
  struct Message {
    std::uint32_t uid = 0;
    std::string body;    // the exact bytes BODY[] returns
    long long date = 0;  // INTERNALDATE, unix seconds, sent in UTC
  };

  struct Folder {
    std::string name;             // as listed and selected (modified UTF-7)
    std::uint32_t uidvalidity = 1;
    std::vector<Message> messages;  // any order; kept sorted by UID
  };

  // Each switch is off by default. "Once" switches fire the first time
  // their condition is met after set_quirks() (or rearm()).
  struct Quirks {
    // SELECT/EXAMINE/STATUS say nothing of UIDNEXT.
    bool no_uidnext = false;
    // ESEARCH is not offered; "UID SEARCH RETURN ..." is refused with BAD.
    bool no_esearch = false;
    // k > 0: every k-th record of a UID FETCH answer is left out, the first
    // time that UID is asked for with that kind of items (header rows and
    // bodies count apart), and the answer completes "OK Success [THROTTLED]".
    int throttled_ok_drops = 0;
    // A NUL byte goes out before every FETCH record ("\0* 3 FETCH (...)").
    bool nul_before_records = false;
    // The tagged OK of a UID FETCH goes out before its last FETCH record.
    bool ok_before_last_record = false;
    // FETCH records name the UID item in lower case ("uid 42").
    bool lower_case_uid_item = false;
    // BODYSTRUCTURE is a multipart whose attachment is named
    // "x UID <n>.pdf", n the UID of the folder's message in the mirrored
    // position, and it comes before the UID item in the record.
    bool uid_text_in_bodystructure = false;
    // For these UIDs the first body fetch gets a record with the UID and
    // FLAGS but no BODY[] (the message exists all along).
    std::set<std::uint32_t> fetch_without_body_once;
    // n > 0: the n-th UID FETCH is answered "NO [UNAVAILABLE] ...", once.
    int no_unavailable_once_for_command_n = 0;
    // n > 0: while the n-th UID FETCH runs these messages are expunged for
    // real, "* <seq> EXPUNGE" each, before that command's records.
    int expunge_during_uid_fetch_n = 0;
    std::vector<std::uint32_t> expunge_uids;
    // UID != 0: the first body fetch of this UID announces the real size
    // but sends 7 bytes fewer, and the stream goes on with the next record.
    std::uint32_t wrong_literal_length_once = 0;
    // For these UIDs the first body fetch carries a second record for the
    // same UID with different bytes, right after the true one.
    std::set<std::uint32_t> two_bodies_for_uid;
    // n > 0: a command whose line (CRLF included) exceeds n octets gets
    // "BAD line too long".
    std::size_t max_line_octets = 0;
    // n > 0: a UID FETCH whose set names more than n of the folder's
    // messages gets "NO Server Unavailable. 15".
    std::size_t no_for_long_sets = 0;
    // n > 0: everything goes out at about n bytes per second, evenly.
    long dribble_bytes_per_s = 0;
    // LOGINDISABLED is advertised and LOGIN refused (its arrival recorded).
    bool logindisabled = false;
    // This folder is listed, but EXAMINE and SELECT get NO.
    std::string unreadable_folder;
    // n > 0: after the n-th FETCH record the server says "* BYE" and
    // closes the connection, once; later connections work.
    int bye_after_n_records = 0;
    // n > 0: the n-th UID FETCH is answered
    // "NO [THROTTLED] Suggested Backoff Time: 200 ms", once.
    int suggested_backoff_for_command_n = 0;
    // Not empty: SEARCH and FETCH answers in any other folder ignore the
    // switches above (the UID FETCH count still counts them).
    std::string only_in_folder;
  };

  struct Options {
    std::string user = "user";
    std::string pass = "secret-pass";
    int idle_ms = 60000;  // a connection silent this long is closed
    int send_ms = 30000;  // a client that reads nothing this long is dropped
  };

  // One command line as received.
  struct Command {
    int connection = 0;    // 1 for the first connection accepted
    std::string tag;
    std::string line;      // the whole command, tag included, without CRLF
    std::size_t octets = 0;  // bytes on the wire, CRLF (and any literal) included
    long long at_ms = 0;   // since start(), when the server took it up
    std::string completion;  // the tagged answer, e.g. "OK FETCH completed" ("" after a BYE)
  };

  explicit FakeImap(std::vector<Folder> folders);
  FakeImap(std::vector<Folder> folders, Options opts);
  ~FakeImap();  // stop()
  FakeImap(const FakeImap &) = delete;
  FakeImap &operator=(const FakeImap &) = delete;

  bool start(std::string *err = nullptr);
  int port() const { return port_; }
  // Closes every connection and joins every thread. Safe to repeat.
  void stop();

  // Replaces the switches; the once-only memories start afresh.
  void set_quirks(const Quirks &q);
  Quirks quirks() const;
  // Forgets what the once-only switches did and the UID FETCH count.
  void rearm();
  // Closes the current connections from the server's side (no BYE).
  void drop_connections();
  // Expunges these messages now, as another client would. Each connection
  // that has the folder selected hears "* <seq> EXPUNGE" at the start of
  // its next answer.
  void expunge_now(const std::string &folder, const std::vector<std::uint32_t> &uids);

  // --- What the server holds and saw (safe at any time) ---

  // The folder's messages now, ascending UID; empty for an unknown folder.
  std::vector<Message> messages(const std::string &folder) const;
  // Messages removed by expunge_during or expunge_now, with their folder.
  std::vector<std::pair<std::string, Message>> expunged() const;
  std::vector<Command> commands() const;
  // Every byte clients sent, across connections.
  std::string received_bytes() const;
  // Bytes that went out to clients, across connections, as they leave: a
  // client that hangs up during a dribbled answer stops the count.
  std::uint64_t bytes_sent() const { return bytes_sent_.load(); }
  int connections() const;
  bool login_seen() const;
  // UID FETCH commands answered since the last set_quirks()/rearm().
  int uid_fetches() const;
  // How often each switch changed an answer (by its name above), since
  // start: a case whose fault never struck tests nothing.
  std::map<std::string, int> faults() const;
  // Things the server could not make sense of (unknown commands, bad
  // syntax), for test diagnostics.
  std::vector<std::string> notes() const;
  std::string connect_json(const std::string &extra = "") const;

 private:
  struct Conn;
  void accept_loop();
  void serve(std::shared_ptr<Conn> c);
  // Answers one command into c's output; false when the connection ends.
  bool handle(Conn &c, const std::string &line, std::size_t octets);
  bool flush(Conn &c);
  void note(const std::string &text);
  void reset_once_state();

  // Per-command handlers; they run under mu_ and append to out.
  void do_select(Conn &c, const std::string &tag, const std::string &args, bool examine);
  void do_list(Conn &c, const std::string &tag, const std::string &args, const char *word);
  void do_status(Conn &c, const std::string &tag, const std::string &args);
  void do_search(Conn &c, const std::string &tag, const std::string &args, bool uid);
  bool do_fetch(Conn &c, const std::string &tag, const std::string &args, bool uid);
  Folder *selected(Conn &c);

  Options opts_;
  std::vector<Folder> folders_;
  // One above the highest UID each folder ever held: an expunge leaves it.
  std::map<std::string, unsigned long long> uidnext_;
  Quirks q_;
  platform::Listener listener_;
  int port_ = 0;
  long long started_ms_ = 0;
  std::thread accept_thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> bytes_sent_{0};
  bool started_ = false;

  mutable std::mutex mu_;
  std::vector<std::thread> conn_threads_;
  std::vector<std::shared_ptr<Conn>> conns_;
  std::vector<Command> commands_;
  std::string raw_;
  std::vector<std::string> notes_;
  std::vector<std::pair<std::string, Message>> expunged_;
  int connections_ = 0;
  bool login_seen_ = false;
  // Once-only memories.
  int uid_fetch_n_ = 0;
  int records_sent_ = 0;
  bool fired_unavailable_ = false, fired_backoff_ = false, fired_bye_ = false,
       fired_expunge_ = false, fired_wrong_literal_ = false;
  std::set<std::uint32_t> fired_no_body_, fired_two_bodies_;
  std::set<std::pair<int, std::uint32_t>> dropped_;  // (kind, uid) left out once
  std::map<std::string, int> faults_;
};

}  // namespace kqtest
