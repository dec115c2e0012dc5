// all.mbox records in the mboxo form (RFC 4155), which mail readers split
// at "From " lines.
#pragma once

#include <cstddef>
#include <string>

namespace kq {

// The envelope sender of the separator line: the address inside <...> of a
// From header value, else its first blank-free word holding '@', else
// "unknown".
std::string mbox_sender(const char *from);

// UTC time in asctime form, "Tue Dec  8 17:47:15 2026", in English whatever
// the host's locale.
std::string mbox_time_text(long long t);

// Appends one record: separator line, the message with every line that
// starts with "From " quoted as ">From ", a line end when the message lacks
// a final one, and an empty line.
void mbox_record_append(std::string &out, const char *from, long long now, const char *msg,
                        std::size_t len);

// The same record built piece by piece, for a message read back from its
// file in chunks: begin(), feed() for each chunk in order, end(). Each call
// appends to out what it can settle; the bytes equal mbox_record_append's
// for the whole message, wherever the chunks are cut.
class mbox_record_stream {
 public:
  void begin(std::string &out, const char *from, long long now);
  void feed(std::string &out, const char *data, std::size_t n);
  void end(std::string &out);

 private:
  bool line_start_ = true;
  // The first bytes of the current line while they may still become
  // "From ": not written until that is known.
  std::string held_;
  char last_ = 0;
  bool any_ = false;
};

// True when offset `at` of an mbox file is where one record ends and the
// next begins (or the file ends): "\r\n\r\n" before it, "From " or nothing
// after it.
bool mbox_record_boundary(const char *path, long long at);

}  // namespace kq
