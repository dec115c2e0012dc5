// Where things go inside an archive directory: a message's file name, and
// the subdirectory a folder's archive gets inside a batch directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// The Maildir info suffix of IMAP flags: the letters of the system flags
// present (\Draft D, \Flagged F, \Answered R, \Seen S, \Deleted T, any
// case) in ASCII order, each once; keywords have no letter and are left out.
std::string maildir_flag_letters(const std::vector<std::string> &flags);

// A message's file in a Maildir archive:
// "cur/<secs>.U<uidvalidity>_<uid>.kerquill:2,<letters>". The part before
// ":2," depends only on the INTERNALDATE seconds (secs, 0 when unknown),
// UIDVALIDITY and UID, so it names the same message in every run; the
// flags are those at the time of fetching, and the file is not renamed
// when they change later on the server. Windows names cannot hold ':':
// with `windows` the info starts "!2," as mail programs there expect.
std::string maildir_name(long long secs, std::uint64_t uidvalidity, std::uint32_t uid,
                         const std::vector<std::string> *flags, bool windows = false);

inline constexpr std::size_t k_subdir_cap = 128;  // a folder's directory name, cut to fit a file system

// Largest cut of s at most n bytes long that does not split a UTF-8 sequence.
std::size_t utf8_cut(std::string_view s, std::size_t n);

// Folder name as a directory name: '"', '/', '\' and bytes that are no
// part of a UTF-8 character become '_', cut at 127 bytes without splitting
// a character; "", "." and ".." get a leading '_' so no folder can name the
// batch directory itself or its parent. Where the system needs Windows
// names (plat::windows_file_names) the result is also made one Windows can
// hold: sanitize_folder_as(out, name, true).
void sanitize_folder(char out[k_subdir_cap], const char *name);
// The same with the system's choice given, so both rules can be tested
// anywhere.
void sanitize_folder_as(char out[k_subdir_cap], const char *name, bool windows);

// The subdirectory of `folder` inside the directory `dir`: the sanitized
// display name (modified UTF-7 decoded), or the sanitized raw name when dir
// already holds a directory of that name, with "~2", "~3", ... added while
// `taken` says an earlier folder has the name.
void folder_subdir(char out[k_subdir_cap], const char *dir, const char *folder,
                   const std::function<bool(const char *)> &taken);

}  // namespace kq
