#include "connection/response.h"

#include <cstring>

#include "base/strcase.h"

namespace kq {

namespace {
constexpr const char *k_after_literal = "protocol error: unexpected data after a literal";
}  // namespace

void response_parser::reset() {
  cur_.clear();
  ready_ = taken_ = false;
  in_literal_ = false;
  dropping_ = false;
  sink_ = nullptr;
  kept_ = 0;
  lit_left_ = 0;
  line_start_ = 0;
  pending_cr_ = false;
  after_literal_ = 0;
  error_.clear();
}

// The line segment that just ended may announce a literal: "... {123}".
bool response_parser::line_ended() {
  std::string &l = cur_.line;
  std::size_t end = l.size();
  if (end > line_start_ && l[end - 1] == '}') {
    std::size_t open = l.rfind('{', end - 1);
    if (open != std::string::npos && open >= line_start_) {
      std::size_t i = open + 1;
      std::size_t digits_end = end - 1;
      // Non-synchronising literals ("{n+}") only ever come from clients,
      // but reading them costs nothing.
      if (digits_end > i && l[digits_end - 1] == '+') --digits_end;
      bool digits = digits_end > i;
      for (std::size_t k = i; k < digits_end && digits; ++k) digits = l[k] >= '0' && l[k] <= '9';
      if (digits) {
        if (digits_end - i >= 10) {
          error_ = "literal too large";
          return false;
        }
        long long v = 0;
        for (std::size_t k = i; k < digits_end; ++k) v = v * 10 + (l[k] - '0');
        if (v > k_literal_max) {
          error_ = "literal too large";
          return false;
        }
        cur_.literals.emplace_back();
        sink_ = nullptr;
        literal_sink_ptr sink = sinks_ && v > 0 ? sinks_(l, v) : nullptr;
        dropping_ = !sink && v > max_bytes_ - kept_;
        if (sink) {
          sink_ = sink.get();
          cur_.sunk.push_back({cur_.literals.size() - 1, v, std::move(sink)});
        } else if (dropping_) {
          cur_.dropped.push_back({cur_.literals.size() - 1, v});
          cur_.over_cap = true;
        } else {
          kept_ += v;
          // Reserve for what usually arrives, not for what was announced: a
          // hostile announcement must not cost memory by itself.
          cur_.literals.back().reserve(static_cast<std::size_t>(v < (64LL << 20) ? v : (64LL << 20)));
        }
        lit_left_ = v;
        in_literal_ = v > 0;
        if (v == 0) after_literal_ = 1;
        line_start_ = l.size();
        return false;
      }
    }
  }
  ready_ = true;
  return true;
}

std::size_t response_parser::feed(const char *data, std::size_t n) {
  if (ready_ || taken_) {
    cur_.clear();
    ready_ = taken_ = false;
    line_start_ = 0;
    kept_ = 0;
  }
  std::size_t i = 0;
  while (i < n && !ready_ && error_.empty()) {
    if (in_literal_) {
      std::size_t take = static_cast<std::size_t>(
          static_cast<long long>(n - i) < lit_left_ ? static_cast<long long>(n - i) : lit_left_);
      if (sink_) sink_->write(data + i, take);
      else if (!dropping_) cur_.literals.back().append(data + i, take);
      i += take;
      lit_left_ -= static_cast<long long>(take);
      if (lit_left_ == 0) {
        in_literal_ = false;
        after_literal_ = 1;
        if (sink_) sink_->finish();
        sink_ = nullptr;
      }
      continue;
    }
    // A literal is followed by SP, ")" or the end of its line; anything else
    // means the server sent fewer or more bytes than it announced, and then
    // nothing after can be told apart.
    if (after_literal_ == 1) {
      char c = data[i];
      if (c == '\r') {
        if (i + 1 < n && data[i + 1] != '\n') {
          error_ = k_after_literal;
          return i;
        }
        after_literal_ = i + 1 < n ? 0 : 2;
      } else if (c == ' ' || c == ')' || c == '\n') {
        after_literal_ = 0;
      } else {
        error_ = k_after_literal;
        return i;
      }
    } else if (after_literal_ == 2) {
      if (data[i] != '\n') {
        error_ = k_after_literal;
        return i;
      }
      after_literal_ = 0;
    }
    // NUL octets before a response's first byte are skipped (a server that
    // pads between responses); inside a line's text they are an error below.
    if (cur_.line.empty() && cur_.literals.empty() && !pending_cr_) {
      while (i < n && data[i] == '\0') ++i;
      if (i == n) return n;
    }
    // Line text up to LF; a CR before it is dropped, a lone CR kept.
    const char *lf = static_cast<const char *>(std::memchr(data + i, '\n', n - i));
    std::size_t stop = lf ? static_cast<std::size_t>(lf - data) : n;
    if (pending_cr_) {
      if (stop != i) cur_.line += '\r';
      pending_cr_ = false;
    }
    std::size_t seg_end = stop;
    if (!lf && seg_end > i && data[seg_end - 1] == '\r') {
      // A CR at the end of what arrived: wait for the next byte.
      --seg_end;
      pending_cr_ = true;
    }
    std::size_t text_end = seg_end;
    if (lf && text_end > i && data[text_end - 1] == '\r') --text_end;
    if (cur_.line.size() + (text_end - i) > k_line_max) {
      error_ = "response line too long";
      return i;
    }
    if (std::memchr(data + i, '\0', seg_end - i)) {
      error_ = "protocol error: NUL byte in a response line";
      return i;
    }
    cur_.line.append(data + i, text_end - i);
    if (!lf) return n;
    i = stop + 1;
    line_ended();
  }
  return i;
}

bool token_cursor::at_end() {
  const std::string &l = r_.line;
  while (pos_ < l.size() && l[pos_] == ' ') ++pos_;
  return pos_ >= l.size();
}

token_cursor::token token_cursor::next() {
  token t;
  const std::string &l = r_.line;
  while (pos_ < l.size() && l[pos_] == ' ') ++pos_;
  if (pos_ >= l.size()) return t;
  char c = l[pos_];
  if (c == '(') {
    ++pos_;
    t.k = open;
    return t;
  }
  if (c == ')') {
    ++pos_;
    t.k = close;
    return t;
  }
  if (c == '"') {
    std::size_t i = pos_ + 1;
    t.k = quoted;
    while (i < l.size() && l[i] != '"') {
      if (l[i] == '\\' && i + 1 < l.size()) ++i;
      t.unescaped += l[i];
      ++i;
    }
    t.unterminated = i >= l.size();
    t.text = std::string_view(l).substr(pos_ + 1, (i < l.size() ? i : l.size()) - pos_ - 1);
    pos_ = i < l.size() ? i + 1 : l.size();
    return t;
  }
  if (c == '{') {
    std::size_t close_at = l.find('}', pos_);
    if (close_at != std::string::npos && (close_at + 1 == l.size() || l[close_at + 1] == ' ' ||
                                          l[close_at + 1] == ')' || l[close_at + 1] == '(')) {
      pos_ = close_at + 1;
      t.k = literal;
      if (lit_index_ < r_.literals.size()) t.text = r_.literals[lit_index_];
      if (r_.over_cap) t.dropped = r_.dropped_size(lit_index_);
      if (!r_.sunk.empty()) t.sunk = r_.sunk_at(lit_index_);
      ++lit_index_;
      return t;
    }
  }
  // An atom, with any bracketed part ("BODY[HEADER.FIELDS (A B)]<0>") kept whole.
  std::size_t i = pos_;
  int depth = 0;
  while (i < l.size()) {
    char d = l[i];
    if (d == '[') ++depth;
    else if (d == ']' && depth > 0) --depth;
    else if (depth == 0 && (d == ' ' || d == '(' || d == ')')) break;
    ++i;
  }
  t.text = std::string_view(l).substr(pos_, i - pos_);
  pos_ = i;
  t.k = ascii_ieq(t.text, "NIL") ? nil : atom;
  return t;
}

bool token_cursor::skip_value(std::string *raw) {
  std::size_t start = pos_;
  token t = next();
  if (t.k == end || t.k == close) return false;
  if (t.k == open) {
    int depth = 1;
    while (depth > 0) {
      token u = next();
      if (u.k == end) break;
      if (u.k == open) ++depth;
      if (u.k == close) --depth;
    }
  }
  if (raw) {
    if (t.k == literal) raw->assign(t.text);
    else {
      while (start < r_.line.size() && r_.line[start] == ' ') ++start;
      raw->assign(r_.line, start, pos_ - start);
    }
  }
  return true;
}

bool numbered_record(std::string_view line, long long &n, std::string &word) {
  if (line.size() < 4 || line[0] != '*' || line[1] != ' ') return false;
  std::size_t i = 2;
  if (i >= line.size() || line[i] < '0' || line[i] > '9') return false;
  n = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    if (n < (1LL << 40)) n = n * 10 + (line[i] - '0');
    ++i;
  }
  if (i >= line.size() || line[i] != ' ') return false;
  ++i;
  std::size_t j = i;
  while (j < line.size() && line[j] != ' ' && line[j] != '(') ++j;
  word.assign(line.substr(i, j - i));
  for (char &c : word) c = ascii_upper(c);
  return !word.empty();
}

}  // namespace kq
