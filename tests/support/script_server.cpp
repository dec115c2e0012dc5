#include "support/script_server.h"

#include <algorithm>
#include <chrono>

#include "support/platform/os.h"

namespace kqtest {
namespace {

// Every blocking wait is cut into slices this long so stop() is noticed.
constexpr int kSliceMs = 20;
// A runaway client must not eat all memory.
constexpr std::size_t kMaxLine = 64u * 1024 * 1024;

std::string tag_of(const std::string &line) {
  std::size_t sp = line.find(' ');
  return sp == std::string::npos ? line : line.substr(0, sp);
}

// Size of a literal announced at the end of a command line: "{12}" or
// "{12+}" (and "{12-}"). Returns false if the line ends otherwise.
bool literal_at_end(const std::string &line, std::size_t *n, bool *sync) {
  if (line.empty() || line.back() != '}') return false;
  std::size_t open = line.rfind('{');
  if (open == std::string::npos) return false;
  std::string inner = line.substr(open + 1, line.size() - open - 2);
  *sync = true;
  if (!inner.empty() && (inner.back() == '+' || inner.back() == '-')) {
    *sync = false;
    inner.pop_back();
  }
  if (inner.empty() || inner.size() > 12) return false;
  std::size_t v = 0;
  for (char c : inner) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::size_t>(c - '0');
  }
  *n = v;
  return true;
}

}  // namespace

ScriptServer::ScriptServer() = default;

ScriptServer::ScriptServer(Options opts) : opts_(opts) {}

ScriptServer::~ScriptServer() { stop(); }

ScriptServer &ScriptServer::send(std::string bytes, std::size_t chunk, int pause_ms) {
  Step s{Kind::Send, std::move(bytes)};
  s.n = chunk;
  s.ms = pause_ms;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptServer &ScriptServer::send_tagged(std::string rest) {
  steps_.push_back(Step{Kind::SendTagged, std::move(rest)});
  return *this;
}

ScriptServer &ScriptServer::send_fn(
    std::function<std::string(const std::string &last_line)> make) {
  Step s{Kind::SendFn, ""};
  s.fn = std::move(make);
  steps_.push_back(std::move(s));
  return *this;
}

ScriptServer &ScriptServer::expect_line() {
  steps_.push_back(Step{Kind::ExpectLine, ""});
  return *this;
}

ScriptServer &ScriptServer::expect_command() {
  steps_.push_back(Step{Kind::ExpectCommand, ""});
  return *this;
}

ScriptServer &ScriptServer::expect_bytes(std::size_t n) {
  Step s{Kind::ExpectBytes, ""};
  s.n = n;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptServer &ScriptServer::expect_close() {
  steps_.push_back(Step{Kind::ExpectClose, ""});
  return *this;
}

ScriptServer &ScriptServer::sleep_ms(int ms) {
  Step s{Kind::Sleep, ""};
  s.ms = ms;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptServer &ScriptServer::close() {
  steps_.push_back(Step{Kind::Close, ""});
  return *this;
}

ScriptServer &ScriptServer::reset() {
  steps_.push_back(Step{Kind::Reset, ""});
  return *this;
}

ScriptServer &ScriptServer::hold() {
  steps_.push_back(Step{Kind::Hold, ""});
  return *this;
}

bool ScriptServer::start(std::string *err) {
  if (started_.exchange(true)) {
    if (err) *err = "ScriptServer already started";
    return false;
  }
  std::string e;
  if (!listener_.open_loopback(0, &e)) {
    if (err) *err = e;
    return false;
  }
  port_ = listener_.port();
  thread_ = std::thread([this] { run(); });
  return true;
}

void ScriptServer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  conn_.close();
  listener_.close();
  std::lock_guard<std::mutex> lk(mu_);
  done_ = true;
  cv_.notify_all();
}

std::vector<std::string> ScriptServer::received() const {
  std::lock_guard<std::mutex> lk(mu_);
  return received_;
}

std::string ScriptServer::received_bytes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return raw_;
}

std::vector<std::string> ScriptServer::errors() const {
  std::lock_guard<std::mutex> lk(mu_);
  return errors_;
}

int ScriptServer::connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return connections_;
}

bool ScriptServer::done() const {
  std::lock_guard<std::mutex> lk(mu_);
  return done_;
}

bool ScriptServer::wait_done(int timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return done_; });
}

bool ScriptServer::wait_received(std::size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                      [&] { return received_.size() >= n; });
}

void ScriptServer::record(const std::string &entry) {
  std::lock_guard<std::mutex> lk(mu_);
  received_.push_back(entry);
  cv_.notify_all();
}

void ScriptServer::record_raw(const std::string &bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  raw_ += bytes;
}

void ScriptServer::error(const std::string &msg) {
  std::lock_guard<std::mutex> lk(mu_);
  errors_.push_back(msg);
  cv_.notify_all();
}

bool ScriptServer::accept_next() {
  const long long deadline = platform::now_ms() + opts_.step_timeout_ms;
  while (!stopping_) {
    platform::Socket s = listener_.accept(kSliceMs);
    if (s.valid()) {
      conn_ = std::move(s);
      std::lock_guard<std::mutex> lk(mu_);
      ++connections_;
      return true;
    }
    if (platform::now_ms() >= deadline) {
      error("no client connected within " + std::to_string(opts_.step_timeout_ms) + " ms");
      return false;
    }
  }
  return false;
}

bool ScriptServer::send_bytes(const std::string &data, std::size_t chunk, int pause_ms) {
  const long long deadline = platform::now_ms() + opts_.step_timeout_ms;
  std::size_t off = 0;
  while (off < data.size()) {
    std::size_t end = chunk > 0 ? std::min(data.size(), off + chunk) : data.size();
    while (off < end) {
      if (stopping_) return false;
      long n = conn_.send_some(data.data() + off, end - off, kSliceMs);
      if (n < 0) {
        error("client went away while we were sending (" + std::to_string(off) + " of " +
              std::to_string(data.size()) + " bytes sent)");
        return false;
      }
      off += static_cast<std::size_t>(n);
      if (n == 0 && platform::now_ms() >= deadline) {
        error("client did not read what we sent within " +
              std::to_string(opts_.step_timeout_ms) + " ms");
        return false;
      }
    }
    if (chunk > 0 && off < data.size() && pause_ms > 0) {
      for (int slept = 0; slept < pause_ms && !stopping_; slept += kSliceMs)
        platform::sleep_ms(std::min(kSliceMs, pause_ms - slept));
    }
  }
  return true;
}

bool ScriptServer::read_line_sliced(std::string *line, std::string *why) {
  const long long deadline = platform::now_ms() + opts_.step_timeout_ms;
  std::size_t scanned = 0;
  char buf[65536];
  for (;;) {
    std::size_t lf = pending_.find('\n', scanned);
    if (lf != std::string::npos) {
      std::size_t end = lf;
      if (end > 0 && pending_[end - 1] == '\r') --end;
      line->assign(pending_, 0, end);
      pending_.erase(0, lf + 1);
      return true;
    }
    scanned = pending_.size();
    if (pending_.size() > kMaxLine) {
      *why = "line longer than " + std::to_string(kMaxLine) + " bytes";
      return false;
    }
    if (stopping_) {
      *why = "stopped";
      return false;
    }
    long n = conn_.recv_some(buf, sizeof buf, kSliceMs);
    if (n > 0) {
      std::string got(buf, static_cast<std::size_t>(n));
      pending_ += got;
      record_raw(got);
    } else if (n == platform::kRecvEof) {
      *why = "client closed the connection";
      return false;
    } else if (n == platform::kRecvError) {
      *why = "connection error";
      return false;
    } else if (platform::now_ms() >= deadline) {
      *why = "nothing within " + std::to_string(opts_.step_timeout_ms) + " ms";
      return false;
    }
  }
}

bool ScriptServer::read_exact_sliced(std::size_t n, std::string *out, std::string *why) {
  const long long deadline = platform::now_ms() + opts_.step_timeout_ms;
  char buf[65536];
  while (pending_.size() < n) {
    if (stopping_) {
      *why = "stopped";
      return false;
    }
    std::size_t want = std::min(sizeof buf, n - pending_.size());
    long r = conn_.recv_some(buf, want, kSliceMs);
    if (r > 0) {
      std::string got(buf, static_cast<std::size_t>(r));
      pending_ += got;
      record_raw(got);
    } else if (r == platform::kRecvEof) {
      *why = "client closed the connection after " + std::to_string(pending_.size()) +
             " of " + std::to_string(n) + " bytes";
      return false;
    } else if (r == platform::kRecvError) {
      *why = "connection error";
      return false;
    } else if (platform::now_ms() >= deadline) {
      *why = "only " + std::to_string(pending_.size()) + " of " + std::to_string(n) +
             " bytes within " + std::to_string(opts_.step_timeout_ms) + " ms";
      return false;
    }
  }
  out->assign(pending_, 0, n);
  pending_.erase(0, n);
  return true;
}

// Keeps received bytes and records every complete line among them.
void ScriptServer::take_lines(const char *data, std::size_t n) {
  std::string got(data, n);
  pending_ += got;
  record_raw(got);
  std::size_t lf;
  while ((lf = pending_.find('\n')) != std::string::npos) {
    std::size_t end = lf;
    if (end > 0 && pending_[end - 1] == '\r') --end;
    record(pending_.substr(0, end));
    pending_.erase(0, lf + 1);
  }
}

void ScriptServer::linger_until_closed(bool forever) {
  char buf[65536];
  bool open = conn_.valid();
  while (!stopping_) {
    if (!open) {
      if (!forever) return;
      platform::sleep_ms(kSliceMs);
      continue;
    }
    long n = conn_.recv_some(buf, sizeof buf, kSliceMs);
    if (n > 0) {
      take_lines(buf, static_cast<std::size_t>(n));
    } else if (n == platform::kRecvEof || n == platform::kRecvError) {
      open = false;
    }
  }
}

bool ScriptServer::play(const Step &step, std::size_t index) {
  const std::string where = "step " + std::to_string(index + 1) + ": ";
  std::string why;
  switch (step.kind) {
    case Kind::Send:
      return send_bytes(step.data, step.n, step.ms);
    case Kind::SendTagged:
    case Kind::SendFn: {
      std::string last;
      {
        std::lock_guard<std::mutex> lk(mu_);
        last = last_line_;
      }
      if (step.kind == Kind::SendFn) return send_bytes(step.fn(last), 0, 0);
      if (last.empty()) {
        error(where + "send_tagged before any line was received");
        return false;
      }
      return send_bytes(tag_of(last) + " " + step.data + "\r\n", 0, 0);
    }
    case Kind::ExpectLine: {
      std::string line;
      if (!read_line_sliced(&line, &why)) {
        if (!stopping_) error(where + "expect_line: " + why);
        return false;
      }
      {
        std::lock_guard<std::mutex> lk(mu_);
        last_line_ = line;
      }
      record(line);
      return true;
    }
    case Kind::ExpectCommand: {
      std::string cmd, part;
      for (;;) {
        if (!read_line_sliced(&part, &why)) {
          if (!stopping_) error(where + "expect_command: " + why);
          return false;
        }
        cmd += part;
        std::size_t n = 0;
        bool sync = true;
        if (!literal_at_end(part, &n, &sync)) break;
        if (sync && !send_bytes("+ Ready for literal data\r\n", 0, 0)) return false;
        std::string lit;
        if (!read_exact_sliced(n, &lit, &why)) {
          if (!stopping_) error(where + "expect_command literal: " + why);
          return false;
        }
        cmd += "\r\n" + lit;
      }
      {
        std::lock_guard<std::mutex> lk(mu_);
        last_line_ = cmd;
      }
      record(cmd);
      return true;
    }
    case Kind::ExpectBytes: {
      std::string bytes;
      if (!read_exact_sliced(step.n, &bytes, &why)) {
        if (!stopping_) error(where + "expect_bytes: " + why);
        return false;
      }
      record(bytes);
      return true;
    }
    case Kind::ExpectClose: {
      const long long deadline = platform::now_ms() + opts_.step_timeout_ms;
      char buf[65536];
      while (!stopping_) {
        long n = conn_.recv_some(buf, sizeof buf, kSliceMs);
        if (n > 0) {
          take_lines(buf, static_cast<std::size_t>(n));
        } else if (n == platform::kRecvEof || n == platform::kRecvError) {
          conn_.close();
          return true;
        } else if (platform::now_ms() >= deadline) {
          error(where + "expect_close: client still connected after " +
                std::to_string(opts_.step_timeout_ms) + " ms");
          return false;
        }
      }
      return false;
    }
    case Kind::Sleep:
      for (int slept = 0; slept < step.ms && !stopping_; slept += kSliceMs)
        platform::sleep_ms(std::min(kSliceMs, step.ms - slept));
      return !stopping_;
    case Kind::Close:
      conn_.close();
      pending_.clear();
      return true;
    case Kind::Reset:
      conn_.abort();
      pending_.clear();
      return true;
    case Kind::Hold:
      linger_until_closed(true);
      return false;
  }
  return false;
}

void ScriptServer::run() {
  pending_.clear();
  bool ok = true;
  for (std::size_t i = 0; i < steps_.size() && ok && !stopping_; ++i) {
    const Step &step = steps_[i];
    bool needs_conn = step.kind != Kind::Sleep && step.kind != Kind::Close &&
                      step.kind != Kind::Reset;
    if (needs_conn && !conn_.valid()) {
      pending_.clear();
      if (!accept_next()) {
        ok = false;
        break;
      }
    }
    ok = play(step, i);
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    done_ = true;
    cv_.notify_all();
  }
  if (!ok) {
    conn_.close();
    return;
  }
  if (steps_.empty() && accept_next()) {
    linger_until_closed(false);
  } else if (conn_.valid()) {
    linger_until_closed(false);
  }
  conn_.close();
}

}  // namespace kqtest
