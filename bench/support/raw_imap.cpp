#include "support/raw_imap.h"

#include <cstdlib>
#include <cstring>

namespace kqbench {

namespace {

constexpr int k_timeout_ms = 120000;

std::string quoted(const std::string &s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

// n when the line ends in a literal announcement "{n}", else -1.
long literal_size(const std::string &line) {
  if (line.size() < 3 || line.back() != '}') return -1;
  std::size_t open = line.rfind('{');
  if (open == std::string::npos) return -1;
  return std::strtol(line.c_str() + open + 1, nullptr, 10);
}

}  // namespace

unsigned fetch_line_uid(const std::string &line) {
  std::size_t at = line.find("UID ");
  return at == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(line.c_str() + at + 4, nullptr, 10));
}

bool raw_imap::open(int port, const std::string &user, const std::string &pass, std::string *err) {
  sock_ = kqtest::platform::Socket::connect_loopback(port, 5000, err);
  if (!sock_.valid()) return false;
  std::string greeting;
  if (!sock_.read_line(&greeting, k_timeout_ms)) {
    if (err) *err = "no greeting";
    return false;
  }
  if (!run("LOGIN " + quoted(user) + " " + quoted(pass))) {
    if (err) *err = "login refused";
    return false;
  }
  return true;
}

bool raw_imap::run(const std::string &command,
                   const std::function<void(const std::string &, std::string &)> &on_literal) {
  std::string tag = "r" + std::to_string(++tag_);
  if (!sock_.send_all(tag + " " + command + "\r\n", k_timeout_ms)) return false;
  std::string line, literal;
  for (;;) {
    if (!sock_.read_line(&line, k_timeout_ms)) return false;
    bytes_ += line.size() + 2;
    if (line.compare(0, tag.size() + 1, tag + " ") == 0) return line.compare(tag.size() + 1, 2, "OK") == 0;
    // A response with literals: each one, then the rest of the line.
    for (long n; (n = literal_size(line)) >= 0;) {
      if (!sock_.read_exact(static_cast<std::size_t>(n), &literal, k_timeout_ms)) return false;
      bytes_ += static_cast<std::size_t>(n);
      if (on_literal) on_literal(line, literal);
      std::string rest;
      if (!sock_.read_line(&rest, k_timeout_ms)) return false;
      bytes_ += rest.size() + 2;
      line += rest;
    }
  }
}

}  // namespace kqbench
