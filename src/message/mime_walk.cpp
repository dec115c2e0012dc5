// Delimiter lines, the part walk over one container and the depth-first leaf
// walk that body text and attachments share.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "message/mime.h"

namespace kq {

namespace {

// First match of pat that ends before the last byte of the range: a
// delimiter flush against the range end does not count.
const char *find_before_end(const char *data, std::uint64_t len, std::string_view pat) {
  if (len == 0) return nullptr;
  std::size_t at = std::string_view(data, len - 1).find(pat);
  return at == std::string_view::npos ? nullptr : data + at;
}

bool leaf_walk_at(const char *data, std::uint64_t len, int depth, leaf_visit_fn visit, void *ctx) {
  mime_part p;
  part_parse_headers(&p, data, len);
  if (!part_is_container(p)) return visit(ctx, p);
  if (depth >= k_max_nesting) return true;  // too deep: neither walked nor listed
  bool go = true;
  part_walk(p, [&](const char *s, std::uint64_t n) {
    go = leaf_walk_at(s, n, depth + 1, visit, ctx);
    return go;
  });
  return go;
}

}  // namespace

const char *find_boundary(const char *data, std::uint64_t len, const char *boundary) {
  if (len >= 2 && data[0] == '-' && data[1] == '-') return data;
  char a[280], b[280];
  int na = std::snprintf(a, sizeof a, "\r\n--%s", boundary);
  int nb = std::snprintf(b, sizeof b, "\n--%s", boundary);
  if (na < 0 || nb < 0) return nullptr;
  na = std::min<int>(na, sizeof a - 1);
  nb = std::min<int>(nb, sizeof b - 1);
  if (const char *p = find_before_end(data, len, std::string_view(a, na))) return p + 2;
  if (const char *p = find_before_end(data, len, std::string_view(b, nb))) return p + 1;
  return nullptr;
}

void part_walk(const mime_part &container, part_visit_fn visit, void *ctx) {
  const char *end = container.body + container.body_len;
  const char *d = find_boundary(container.body, container.body_len, container.boundary);
  while (d) {
    auto *lf = static_cast<const char *>(std::memchr(d, '\n', static_cast<std::size_t>(end - d)));
    if (!lf) return;
    const char *s = lf + 1;
    if (s >= end) return;
    if (end - s >= 2 && s[0] == '-' && s[1] == '-') return;
    const char *next = find_boundary(s, static_cast<std::uint64_t>(end - s), container.boundary);
    const char *pe = next ? next : end;
    std::uint64_t n = static_cast<std::uint64_t>(pe - s);
    if (n >= 2 && pe[-2] == '\r' && pe[-1] == '\n') n -= 2;
    if (!visit(ctx, s, n)) return;
    d = next;
  }
}

bool leaf_walk(const char *data, std::uint64_t len, leaf_visit_fn visit, void *ctx) {
  return leaf_walk_at(data, len, 0, visit, ctx);
}

}  // namespace kq
