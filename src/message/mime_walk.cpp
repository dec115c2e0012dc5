// Delimiter lines, the part walk over one container and the depth-first leaf
// walk that body text and attachments share.
#include <cstring>
#include <string_view>

#include "base/strcase.h"
#include "message/mime.h"

namespace kq {

namespace {

// A delimiter line (RFC 2046 5.1.1) starting at line: "--", the boundary,
// an optional "--" (the close delimiter), then only blanks up to the line
// end. A longer boundary that merely begins with ours is another line.
// Sets close and after (the first byte of the next line, or end).
bool delimiter_at(const char *line, const char *end, std::string_view boundary, bool &close,
                  const char *&after) {
  std::size_t room = static_cast<std::size_t>(end - line);
  if (room < 2 + boundary.size() || line[0] != '-' || line[1] != '-' ||
      std::memcmp(line + 2, boundary.data(), boundary.size()) != 0)
    return false;
  const char *t = line + 2 + boundary.size();
  close = end - t >= 2 && t[0] == '-' && t[1] == '-';
  if (close) t += 2;
  while (t < end && (*t == ' ' || *t == '\t')) ++t;
  if (t < end && *t == '\r') ++t;
  if (t == end) {
    after = end;
    return true;
  }
  if (*t != '\n') return false;
  after = t + 1;
  return true;
}

struct delimiter {
  const char *start = nullptr;  // first hyphen; null when there is none
  const char *after = nullptr;  // first byte of the line after it
  bool close = false;
};

// The first delimiter line at or after from, which must begin a line. Each
// line is looked at once, so a walk over all the parts of a container reads
// its body once whatever the line ends.
delimiter next_delimiter(const char *from, const char *end, std::string_view boundary) {
  delimiter d;
  const char *line = from;
  while (line < end) {
    if (delimiter_at(line, end, boundary, d.close, d.after)) {
      d.start = line;
      return d;
    }
    auto *lf = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    if (!lf) break;
    line = lf + 1;
  }
  return delimiter{};
}

// True when the Content-Type value names multipart/digest, whose parts
// without a Content-Type of their own are messages.
bool is_digest(const char *ctype) {
  std::string_view t(ctype);
  t = t.substr(0, t.find(';'));
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  return ascii_ieq(t, "multipart/digest");
}

bool leaf_walk_at(const char *data, std::uint64_t len, int depth, bool in_digest, leaf_visit_fn visit,
                  void *ctx) {
  mime_part p;
  part_parse_headers(&p, data, len);
  p.in_digest = in_digest;
  if (!part_is_container(p)) return visit(ctx, p);
  if (depth >= k_max_nesting) return true;  // too deep: neither walked nor listed
  bool digest = is_digest(p.ctype);
  bool go = true;
  part_walk(p, [&](const char *s, std::uint64_t n) {
    go = leaf_walk_at(s, n, depth + 1, digest, visit, ctx);
    return go;
  });
  return go;
}

}  // namespace

const char *find_boundary(const char *data, std::uint64_t len, const char *boundary) {
  return next_delimiter(data, data + len, boundary).start;
}

void part_walk(const mime_part &container, part_visit_fn visit, void *ctx) {
  const char *end = container.body + container.body_len;
  const std::string_view boundary(container.boundary);
  delimiter d = next_delimiter(container.body, end, boundary);
  while (d.start && !d.close) {
    const char *s = d.after;
    if (s >= end) return;
    delimiter next = next_delimiter(s, end, boundary);
    // Nothing between two delimiters: the structure is broken, stop here.
    if (next.start == s) return;
    const char *pe = next.start ? next.start : end;
    std::uint64_t n = static_cast<std::uint64_t>(pe - s);
    // The line break before a delimiter belongs to the delimiter.
    if (n >= 1 && pe[-1] == '\n') {
      --n;
      if (n >= 1 && pe[-2] == '\r') --n;
    }
    if (!visit(ctx, s, n)) return;
    d = next;
  }
}

bool leaf_walk(const char *data, std::uint64_t len, leaf_visit_fn visit, void *ctx) {
  return leaf_walk_at(data, len, 0, false, visit, ctx);
}

}  // namespace kq
