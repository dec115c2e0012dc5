// The ceilings the benchmarks compare against: the least an IMAP client can
// do to get the same data, one ranged command on a plain connection, with
// no parsing beyond finding each literal.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "support/platform/net.h"

namespace kqbench {

class raw_imap {
 public:
  // Connects to 127.0.0.1:port and logs in; false with *err.
  bool open(int port, const std::string &user, const std::string &pass, std::string *err);
  // Sends one command and reads to its tagged completion. Each untagged line
  // that carries literals is handed to on_literal with the line up to the
  // literal and the literal's bytes. True when the completion is OK.
  bool run(const std::string &command,
           const std::function<void(const std::string &line, std::string &literal)> &on_literal = {});
  std::size_t bytes_read() const { return bytes_; }

 private:
  kqtest::platform::Socket sock_;
  int tag_ = 0;
  std::size_t bytes_ = 0;
};

// The UID named in a FETCH response line ("* 12 FETCH (UID 345 ..."), 0 if none.
unsigned fetch_line_uid(const std::string &line);

}  // namespace kqbench
