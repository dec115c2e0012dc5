// A message body written to the archive's disk as it comes off the
// connection, hashed on the way, so a message of hundreds of megabytes costs
// a buffer's worth of memory. The file is a temporary one beside where the
// message goes; storing the message moves it under its name, and a body
// that is never stored (a stop, a second answer, a failure) takes its file
// with it.
#pragma once

#include <cstdio>
#include <string>

#include "base/sha256.h"
#include "connection/response.h"

namespace kq {

// Bodies from this size on go to disk; smaller ones stay in memory, where
// they cost less than a file made and renamed, and the window of commands
// in flight keeps them few.
inline constexpr long long k_spool_from = 256 * 1024;

class body_spool : public literal_sink {
 public:
  // A new temporary file in dir (the same file system as the archive).
  explicit body_spool(const std::string &dir);
  ~body_spool() override;
  body_spool(const body_spool &) = delete;
  body_spool &operator=(const body_spool &) = delete;

  void write(const char *data, std::size_t n) override;
  void finish() override;
  bool failed() const override { return !error_.empty(); }
  // "cannot write <path>: <reason>" once failed.
  const std::string &error() const { return error_; }

  // After finish(): where the bytes are, how many and their SHA-256 in
  // lowercase hex.
  const std::string &path() const { return path_; }
  long long size() const { return size_; }
  const std::string &sha256_hex() const { return hex_; }
  // The file was moved under its own name: nothing is left to remove.
  void claimed() { path_.clear(); }

 private:
  void fail(int err);
  std::string path_;
  std::FILE *f_ = nullptr;
  sha256 hash_;
  long long size_ = 0;
  bool finished_ = false;
  std::string hex_;
  std::string error_;
};

// The sink factory the export hands the session while it fetches bodies:
// a whole message announced at k_spool_from bytes or more goes to a
// body_spool in dir.
literal_sink_factory spool_factory(const std::string &dir, long long from = k_spool_from);

}  // namespace kq
