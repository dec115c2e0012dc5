// The data items of one untagged FETCH response, read in whatever order the
// server sends them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "connection/imap_value.h"
#include "connection/response.h"

namespace kq {

struct fetch_data {
  long long seq = 0;
  bool has_uid = false;
  std::uint32_t uid = 0;
  bool has_size = false;
  long long size = 0;
  std::string internaldate;    // as sent, without quotes
  // FLAGS as sent ("\\Seen", "$Label1"); has_flags when the item came.
  bool has_flags = false;
  std::vector<std::string> flags;
  // X-GM-LABELS as UTF-8 text (a modified UTF-7 name decoded, anything
  // else as sent); has_labels when the item came.
  bool has_labels = false;
  std::vector<std::string> labels;
  // BODYSTRUCTURE read as values; structure_ok when it came whole (present
  // and not cut by the nesting bound).
  imap_value structure;
  bool structure_ok = false;
  // BODY[...] items: the section as sent ("BODY[]", "BODY[HEADER.FIELDS
  // (FROM)]") and its bytes, which point into the response.
  struct section {
    std::string name;
    std::string_view bytes;
    bool nil = false;
    // The bytes were too many for the connection's max_message_bytes: read
    // and dropped, bytes left empty. Neither a message nor a missing one:
    // report it (over_cap_message), with the size the server announced.
    bool over_cap = false;
    long long over_cap_size = 0;
    // The bytes went to a sink as they came (response::sunk), not into
    // bytes: its size as announced.
    literal_sink *sink = nullptr;
    long long sink_size = 0;
  };
  std::vector<section> sections;
  // The first section whose name starts "BODY[" + prefix, or null.
  const section *find(std::string_view prefix) const;
};

// Reads "* n FETCH (...)"; false for any other record or when the list does
// not parse. The result refers to r's literals: keep r alive while using it.
bool parse_fetch(const response &r, fetch_data &out);

// True when the text of a FETCH response so far, a literal's "{n}" at its
// end, announces that literal as a whole message (BODY[], BODY.PEEK[] as
// answered, RFC822), the one literal worth streaming to disk.
bool announces_whole_body(std::string_view line_so_far);

// "message uid N is larger than max_message_bytes (S bytes)".
std::string over_cap_message(std::uint32_t uid, long long size);

// What a walk over a FETCH record's item list found.
enum class fetch_walk {
  not_fetch,  // not a "* n FETCH" record
  malformed,  // a FETCH record whose item list does not parse
  ok,
};
// Walks the item list of a "* n FETCH (...)" record without keeping
// anything: each item is an atom name (any case) followed by one whole value
// (atom, NIL, quoted string, literal or nested list), up to the closing ")";
// text after it is not looked at. Every literal of r must be met inside the
// list, so a "{n}" that was no literal cannot shift the ones that were. A
// UID item must carry a number from 1 to 2^32-1 (the same one if repeated).
// uid is that number, 0 when the record names no UID. A UID is only ever
// read from its own item, never from text inside another item's value.
fetch_walk walk_fetch(const response &r, std::uint32_t &uid);
// True, with uid set, when r is a FETCH record that parses and has a UID item.
bool fetch_uid(const response &r, std::uint32_t &uid);

}  // namespace kq
