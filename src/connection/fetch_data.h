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
    bool over_cap = false;  // its literal was over the response cap: read off, not kept
  };
  std::vector<section> sections;
  // The first section whose name starts "BODY[" + prefix, or null.
  const section *find(std::string_view prefix) const;
};

// Reads "* n FETCH (...)"; false for any other record or when the list does
// not parse. The result refers to r's literals: keep r alive while using it.
bool parse_fetch(const response &r, fetch_data &out);

}  // namespace kq
