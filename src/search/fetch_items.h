// Reading the data items of one untagged FETCH record.
#pragma once

#include <cstdint>

namespace kq {

// The leading items "(UID n RFC822.SIZE m INTERNALDATE "d"" of a FETCH
// record, in exactly that order; count says how many were read (0 to 3).
struct fetch_items {
  int count = 0;
  std::uint32_t uid = 0;
  long long size = 0;
  char date[64] = "";
};
fetch_items read_fetch_items(const char *record);

// The UID item of "* n FETCH (... UID u ...)" in any position; false when
// the record is no FETCH or carries no UID.
bool read_fetch_uid(const char *record, unsigned long long &uid);

}  // namespace kq
