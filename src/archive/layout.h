// Where a message goes inside an archive directory.
#pragma once

#include <cstdint>
#include <string>

namespace kq {

// Creates every directory along path ('/' or '\' separated); the result of
// creating the last one: 0 created or already a directory, -1 otherwise.
int mkdirs(const char *path);

// Year and month of an INTERNALDATE text ("17-Jul-1996 02:44:25 -0700");
// 1970-01 when the year cannot be read or lies before 1900, month 0 when
// the month name is none of the twelve.
void date_year_month(const char *date, int *year, int *month);

// True when the naming text asks for year-month directories.
bool naming_is_dated(const char *naming);

// "uid-%u.eml", or "YYYY-MM/uid-%u.eml" in the dated layout. A non-zero
// uidvalidity makes it "uid-%u.v%llu.eml": a folder created again reuses
// UIDs, and its messages must not take the names of the earlier ones.
std::string relative_name(bool dated, const char *date, std::uint32_t uid,
                          std::uint64_t uidvalidity = 0);

}  // namespace kq
