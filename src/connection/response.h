// One server response as the reader hands it on: the line text with each
// literal's "{n}" announcement left in place, and the literal bytes beside
// it in order. A response_parser turns the byte stream into responses with
// bounded memory: a line longer than k_line_max or a literal announced
// larger than k_literal_max ends the stream with a clear error.
//
// The grammar is held strictly where a slip would shift every later byte:
// after a literal's bytes its line goes on with SP, ")" or CRLF, and NUL
// octets are skipped between responses (before a response's first byte)
// but end the stream inside a line's text. Either violation is an error():
// the response it was in is never handed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kq {

// Where the bytes of one literal go instead of memory: a message body of
// hundreds of megabytes must not be held whole. The parser hands it the
// bytes as they come off the connection, in whatever pieces they arrive
// (after TLS and decompression), and calls finish() after the last one.
// A sink that fails (a full disk) keeps failing quietly: the parser still
// reads the literal off the wire to stay in step, and whoever takes the
// response asks failed().
class literal_sink {
 public:
  virtual ~literal_sink() = default;
  virtual void write(const char *data, std::size_t n) = 0;
  virtual void finish() = 0;
  virtual bool failed() const = 0;
};
using literal_sink_ptr = std::shared_ptr<literal_sink>;
// Asked when a literal of `size` bytes is announced, with the response's
// text so far (the announcement "{size}" at its end): a sink to take the
// bytes, or null to keep them in memory as usual.
using literal_sink_factory = std::function<literal_sink_ptr(std::string_view line, long long size)>;

struct response {
  std::string line;
  std::vector<std::string> literals;
  // Literals read off the wire but not kept, because keeping them would
  // have taken the response's literal bytes past the parser's cap
  // (set_max_bytes): each one's index in literals, where it is left empty,
  // and the size the server announced for it.
  struct dropped_literal {
    std::size_t index = 0;
    long long size = 0;
  };
  std::vector<dropped_literal> dropped;
  bool over_cap = false;  // some literal was dropped
  // Literals whose bytes went to a sink: each one's index in literals
  // (left empty there), its announced size and the sink.
  struct sunk_literal {
    std::size_t index = 0;
    long long size = 0;
    literal_sink_ptr sink;
  };
  std::vector<sunk_literal> sunk;
  const sunk_literal *sunk_at(std::size_t i) const {
    for (const sunk_literal &k : sunk)
      if (k.index == i) return &k;
    return nullptr;
  }
  // The announced size of literal i when it was dropped, else -1.
  long long dropped_size(std::size_t i) const {
    for (const dropped_literal &d : dropped)
      if (d.index == i) return d.size;
    return -1;
  }
  void clear() {
    line.clear();
    literals.clear();
    dropped.clear();
    over_cap = false;
    sunk.clear();
  }
};

class response_parser {
 public:
  static constexpr std::size_t k_line_max = 8u << 20;          // text outside literals
  static constexpr long long k_literal_max = 0x7FFFFFFFLL;     // below 2 GiB

  // Consumes bytes from data; returns how many were used. Stops after a
  // complete response (ready() true) so the caller can dispatch it first.
  std::size_t feed(const char *data, std::size_t n);
  bool ready() const { return ready_; }
  // The finished response; the next feed starts a new one.
  response &take() {
    ready_ = false;
    taken_ = true;
    return cur_;
  }
  // A protocol violation that cannot be read past ("" when none).
  const std::string &error() const { return error_; }
  // True while a response has started but not ended.
  bool partial() const { return !ready_ && (!cur_.line.empty() || lit_left_ > 0); }
  // Starts over at a response boundary; the cap stays.
  void reset();
  // The literal bytes one response may keep, all its literals together
  // (at least 1). A literal that would go past it is still read, to stay in
  // step with the stream, but dropped: see response::dropped.
  void set_max_bytes(long long n) { max_bytes_ = n < 1 ? 1 : n; }
  // Offers each literal announced from now on to f (null: every literal
  // kept in memory). A literal given to a sink counts nothing against the
  // cap above: it costs no memory.
  void set_sink_factory(literal_sink_factory f) { sinks_ = std::move(f); }

 private:
  bool line_ended();  // after CRLF: literal announcement or end of response
  response cur_;
  bool ready_ = false;
  bool taken_ = false;
  bool in_literal_ = false;
  bool dropping_ = false;      // the current literal's bytes are not kept
  literal_sink *sink_ = nullptr;  // where the current literal's bytes go, if not memory
  literal_sink_factory sinks_;
  long long kept_ = 0;         // literal bytes kept in cur_
  long long max_bytes_ = 0x7FFFFFFFFFFFFFFFLL;
  long long lit_left_ = 0;
  std::size_t line_start_ = 0;  // where the current line segment begins
  bool pending_cr_ = false;
  // 1: a literal just ended and its line must go on with SP, ")" or CRLF;
  // 2: the CR has come, the LF must follow.
  int after_literal_ = 0;
  std::string error_;
};

// Walks the tokens of a response line: atoms, numbers, quoted strings,
// literals, parentheses and bracketed section specifiers.
class token_cursor {
 public:
  explicit token_cursor(const response &r, std::size_t pos = 0) : r_(r), pos_(pos) {}
  enum kind { end, atom, quoted, literal, open, close, nil };
  struct token {
    kind k = end;
    std::string_view text;  // atom text, string content or literal bytes
    std::string unescaped;  // quoted strings with their escapes removed
    bool unterminated = false;  // a quoted string the line ended inside
    long long dropped = -1;     // a literal not kept: the size announced
    // A literal whose bytes went to a sink (text then empty).
    const response::sunk_literal *sunk = nullptr;
    std::string_view value() const { return k == quoted ? std::string_view(unescaped) : text; }
  };
  token next();
  // Skips one value: an atom, string, literal or a whole parenthesised list.
  // The raw text of what was skipped goes to raw when given (literals as
  // their bytes). False at the end of the line.
  bool skip_value(std::string *raw = nullptr);
  std::size_t pos() const { return pos_; }
  bool at_end();

 private:
  const response &r_;
  std::size_t pos_;
  std::size_t lit_index_ = 0;
};

// "* n WORD" records: the number and the word upper-cased ("FETCH",
// "EXISTS", "EXPUNGE"...). False for other shapes.
bool numbered_record(std::string_view line, long long &n, std::string &word);

}  // namespace kq
