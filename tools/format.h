// Turning the library's raw texts into something a person reads in a
// terminal: sizes, durations, dates, header words, widths.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kqcli {

// Leading whole number of a text the library formatted; 0 when there is none.
long long to_ll(std::string_view text);

// 1234567 -> "1.2 MB" (decimal units).
std::string human_bytes(long long bytes);
// Seconds -> "0:42", "12:05" or "3:02:11".
std::string human_duration(long long seconds);
// What an export job had to do to get past a troubled connection, from its
// stats' "retries" and "reconnects": "2 retries, 1 reconnect"; "" when both
// are 0 (or the library does not report them).
std::string recovery_counts(long long retries, long long reconnects);
// "17-Jul-1996 02:44:25 -0700" -> "1996-07-17 02:44"; other texts unchanged.
std::string short_date(std::string_view internal_date);

// Decodes RFC 2047 encoded words in UTF-8, US-ASCII and ISO-8859-1/Windows-1252
// to UTF-8; words in other character sets stay as they are.
std::string decode_words(std::string_view header_value);
// Makes a header or body text safe to print on a terminal: escape sequences
// and other control bytes become '?'. keep_lines keeps line feeds and tabs.
std::string printable(std::string_view text, bool keep_lines);
// One-line display form of a header value: decoded, printable, blanks folded.
std::string header_display(std::string_view raw);

// A word as a POSIX shell reads it back: unchanged when it is plain, else in
// single quotes.
std::string shell_word(std::string_view text);

// Columns a UTF-8 text takes (one per code point).
std::size_t text_width(std::string_view text);
// Cuts a text to at most cols columns, ending with "…" when cut.
std::string fit(std::string_view text, std::size_t cols);
// fit() and then blanks up to exactly cols columns.
std::string pad(std::string_view text, std::size_t cols);
std::string pad_left(std::string_view text, std::size_t cols);

}  // namespace kqcli
