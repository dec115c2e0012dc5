// The small MIME layer under fetch and attachments: header/body split, three
// header values, delimiter lines, the part walk and transfer decoding. Every
// function is stateless, works on spans of the caller's buffer and allocates
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kq {

struct mime_part {
  const char *start;
  std::uint64_t header_len;  // bytes from start to the body, blank line included
  const char *body;
  std::uint64_t body_len;
  char ctype[512];           // Content-Type value, parameters included
  char cte[64];              // Content-Transfer-Encoding value
  // Room for a long name split over RFC 2231 continuations.
  char disposition[1024];    // Content-Disposition value
  char filename[512];        // filename parameter of disposition, as UTF-8
  char boundary[256];        // boundary parameter of ctype
  int has_boundary;          // a "boundary=" was present, even with an empty value
  bool in_digest;            // a part of a multipart/digest (set by leaf_walk)
};

// The part's type for deciding what it holds: its Content-Type, or when it
// has none the default RFC 2045 and RFC 2046 give it, text/plain (US-ASCII),
// message/rfc822 inside a multipart/digest.
inline const char *part_type(const mime_part &p) {
  if (p.ctype[0]) return p.ctype;
  return p.in_digest ? "message/rfc822" : "text/plain";
}

// Containers deeper than this many levels are not entered, so a hostile
// message cannot exhaust the stack.
inline constexpr int k_max_nesting = 32;

// Splits headers from body at the first blank line and reads Content-Type,
// Content-Transfer-Encoding and Content-Disposition (unfolded) into part;
// the file name is decoded (RFC 2231 and RFC 2047) and cut on a character
// boundary.
void part_parse_headers(mime_part *part, const char *data, std::uint64_t len);

// Finds the first field called name (colon included, any letter case) in the
// header block and writes its unfolded value, leading blanks skipped, to
// out (cut at cap - 1 characters). Returns the value's first byte inside the
// block, or null when there is no such field (out is then empty).
const char *hdr_find(const char *block_start, const char *block_end, const char *name, char *out,
                     std::size_t cap);

// First hyphen of the first delimiter line of boundary in the range, or null.
// The range must begin at the start of a line. A delimiter line is "--",
// the boundary, an optional "--" and blanks only, ended by CR LF, a bare LF
// or the end of the range.
const char *find_boundary(const char *data, std::uint64_t len, const char *boundary);

// A part is walked as a container exactly when it names a usable boundary.
inline bool part_is_container(const mime_part &p) { return p.has_boundary == 1 && p.boundary[0]; }

// Visits each part of a container in document order, without the line
// break before the next delimiter; the preamble and the epilogue are no
// parts. The walk ends at the close delimiter, at an empty part or when the
// visitor returns false. Reads the body once (linear in its size).
using part_visit_fn = bool (*)(void *ctx, const char *start, std::uint64_t len);
void part_walk(const mime_part &container, part_visit_fn visit, void *ctx);

template <class F>
void part_walk(const mime_part &container, F &&visit) {
  using fn_t = std::remove_reference_t<F>;
  part_walk(
      container,
      [](void *ctx, const char *s, std::uint64_t n) { return (*static_cast<fn_t *>(ctx))(s, n); },
      &visit);
}

// Depth-first, document-order walk of the leaves of the MIME tree at data:
// containers are entered (at most k_max_nesting levels) and never visited
// themselves; a part that is not a container, the top part included, is
// handed to the visitor parsed, in_digest telling whether its container is
// a multipart/digest. Returns false when the visitor stopped it.
using leaf_visit_fn = bool (*)(void *ctx, const mime_part &part);
bool leaf_walk(const char *data, std::uint64_t len, leaf_visit_fn visit, void *ctx);

template <class F>
bool leaf_walk(const char *data, std::uint64_t len, F &&visit) {
  using fn_t = std::remove_reference_t<F>;
  return leaf_walk(
      data, len, [](void *ctx, const mime_part &p) { return (*static_cast<fn_t *>(ctx))(p); },
      &visit);
}

// Decodes by the transfer encoding named in cte (Base64, quoted-printable,
// anything else copied, cut at dst_size). dst is zero-filled first. Returns
// the bytes written, or -1 for a byte outside the Base64 alphabet or output
// that would not fit (the bytes decoded so far stay in dst).
long long decode_part(const char *src, std::uint64_t src_len, const char *cte, char *dst,
                      std::uint64_t dst_size);
long long b64_decode(const char *src, std::uint64_t src_len, char *dst, std::uint64_t dst_size);

}  // namespace kq
