// A scripted IMAP server inside the test binary, for protocol corner cases
// no real server produces on demand: a BYE greeting, a literal dribbled out
// a few bytes at a time, huge lines, lower-case completions, a peer that
// vanishes mid-literal, a greeting that never comes, a TLS port that never
// answers the handshake...
//
// Build the dialogue first, then start(); a thread on 127.0.0.1 (free port)
// plays it:
//
//   kqtest::ScriptServer s;
//   s.send("* OK ready\r\n")
//    .expect_line()                 // e.g. "a1 LOGIN u p"
//    .send_tagged("OK logged in")   // "a1 OK logged in\r\n"
//    .expect_line()
//    .send("* BYE\r\n").send_tagged("OK").close();
//   ASSERT_TRUE(s.start());
//   ... point the client at s.port() ...
//   s.stop();
//   EXPECT_EQ(s.received()[0], "a1 LOGIN u p");
//   EXPECT_TRUE(s.errors().empty());
//
// Connections: the first is accepted when the script starts; close() or
// reset() ends the current one, and if steps remain the next connection is
// accepted for them. So one script can serve several connections in turn.
// After the last step the server keeps reading (and recording) until the
// client closes or stop() is called.
//
// Nothing here can hang a test: every wait is bounded by
// Options::step_timeout_ms, and stop() interrupts any step within ~20 ms
// and joins the thread. A step that fails (timeout, client gone) records an
// error in errors(), drops the connection and ends the script.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/platform/net.h"

namespace kqtest {

class ScriptServer {
 public:
  struct Options {
    int step_timeout_ms = 10000;  // bound on each accept/expect/send
  };

  ScriptServer();
  explicit ScriptServer(Options opts);
  ~ScriptServer();  // stop()
  ScriptServer(const ScriptServer &) = delete;
  ScriptServer &operator=(const ScriptServer &) = delete;

  // --- Script steps (add them before start()) ---

  // Sends bytes as they are. With chunk > 0 they go out chunk bytes at a
  // time, pause_ms apart, so the client sees many small reads.
  ScriptServer &send(std::string bytes, std::size_t chunk = 0, int pause_ms = 1);
  // Sends "<tag> <rest>\r\n", tag being that of the last line received.
  ScriptServer &send_tagged(std::string rest);
  // Sends whatever make() returns; it gets the last line received.
  ScriptServer &send_fn(std::function<std::string(const std::string &last_line)> make);
  // Reads one line up to LF and records it (without CRLF).
  ScriptServer &expect_line();
  // Reads one whole command, literals included: for "{N}" it answers
  // "+ Ready for literal data" and reads the N bytes; "{N+}" gets no
  // answer. Recorded as one string with its inner CRLFs and literal bytes.
  ScriptServer &expect_command();
  // Reads exactly n bytes and records them as one entry.
  ScriptServer &expect_bytes(std::size_t n);
  // Waits for the client to close its side, recording complete lines it
  // sends meanwhile. An error if it does not close in time.
  ScriptServer &expect_close();
  ScriptServer &sleep_ms(int ms);
  // Closes the connection (FIN).
  ScriptServer &close();
  // Closes the connection abortively (RST).
  ScriptServer &reset();
  // Says nothing and keeps the connection open until stop(); whatever the
  // client sends is recorded. For greetings that never come and TLS
  // handshakes never answered.
  ScriptServer &hold();

  // Starts listening and the script thread. false (and *err) on failure.
  bool start(std::string *err = nullptr);
  int port() const { return port_; }
  // Ends the script wherever it is, closes everything, joins the thread.
  // Returns within ~step granularity (20 ms) plus a little. Safe to repeat.
  void stop();

  // --- Results (safe to call at any time) ---

  // Every line/command/byte block the client sent, in order, across all
  // connections; lines without their CRLF.
  std::vector<std::string> received() const;
  // All raw bytes received, across all connections.
  std::string received_bytes() const;
  // Problems met while playing the script; empty when it went as written.
  std::vector<std::string> errors() const;
  // Connections accepted so far.
  int connections() const;
  // True once every step has run (or the script was aborted by an error).
  bool done() const;
  // Waits until done() (true) or timeout_ms passes (false).
  bool wait_done(int timeout_ms);
  // Waits until at least n entries were received.
  bool wait_received(std::size_t n, int timeout_ms);

 private:
  enum class Kind { Send, SendTagged, SendFn, ExpectLine, ExpectCommand,
                    ExpectBytes, ExpectClose, Sleep, Close, Reset, Hold };
  struct Step {
    explicit Step(Kind k, std::string d = "") : kind(k), data(std::move(d)) {}
    Kind kind;
    std::string data;
    std::size_t n = 0;
    int ms = 0;
    std::function<std::string(const std::string &)> fn;
  };

  void run();
  bool play(const Step &step, std::size_t index);
  bool accept_next();
  bool send_bytes(const std::string &data, std::size_t chunk, int pause_ms);
  // Reads into the socket buffer until pred() holds, in short slices so
  // that stop() is noticed. false on EOF/error/timeout (with *why).
  bool read_line_sliced(std::string *line, std::string *why);
  bool read_exact_sliced(std::size_t n, std::string *out, std::string *why);
  void record(const std::string &entry);
  void record_raw(const std::string &bytes);
  void error(const std::string &msg);
  void take_lines(const char *data, std::size_t n);
  void linger_until_closed(bool forever);

  Options opts_;
  std::vector<Step> steps_;
  platform::Listener listener_;
  platform::Socket conn_;
  // Bytes read but not yet consumed by a step. Reads go through here rather
  // than the socket's own line reader so every byte is also kept in raw_.
  // Touched only by the script thread.
  std::string pending_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> started_{false};

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> received_;
  std::string raw_;
  std::vector<std::string> errors_;
  std::string last_line_;
  int connections_ = 0;
  bool done_ = false;
};

}  // namespace kqtest
