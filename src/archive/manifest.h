// manifest.jsonl, the archive's index: where it lives, how a line is
// written, appended and pruned, and how it is read back. The exporter writes
// it; verification, statistics and the exporter's own pruning read it, all
// through this file, so the format has one owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"

namespace kq {

inline constexpr const char *k_manifest_name = "manifest.jsonl";

// "<dir>/manifest.jsonl".
std::string manifest_path(std::string_view dir);

// What one line records about a stored message.
struct manifest_fields {
  std::uint32_t uid = 0;
  std::string_view folder;
  // The folder's UIDVALIDITY when the message was stored; 0 writes no key.
  // UIDs name messages only together with it.
  std::uint64_t uidvalidity = 0;
  std::string_view file;     // relative to the archive, '/'-separated
  std::string_view sha256;   // 64 lower-case hex digits
  std::uint64_t size = 0;
  std::string_view from, subject, date;
  long long ts = -1;         // UTC seconds of date, -1 when unreadable
  // The message's IMAP flags when it was fetched ("\\Seen", "$Label1");
  // null writes no key (the server sent none).
  const std::vector<std::string> *flags = nullptr;
  // Its Gmail labels as UTF-8 text; null writes no key (not asked for).
  const std::vector<std::string> *labels = nullptr;
};

// Appends the line of one message, line feed included. Bytes that are not
// UTF-8 become \u00XX so every line parses as JSON.
void manifest_format_line(std::string &out, const manifest_fields &f);

// What a flag line records: the flags (and labels) a stored message carries
// on the server now, found changed on a later run. It names no file, so no
// reader takes it for a message; the latest line for a message, of either
// kind, says its current flags.
struct manifest_flag_fields {
  std::uint32_t uid = 0;
  std::string_view folder;
  std::uint64_t uidvalidity = 0;  // 0 writes no key
  const std::vector<std::string> *flags = nullptr;   // null: an empty list
  const std::vector<std::string> *labels = nullptr;  // null writes no key
  long long ts_flags = 0;  // UTC seconds when the change was seen
};

// Appends one flag line, line feed included:
// {"uid":U,"folder":F,"uidvalidity":V,"flags":[...],"labels":[...],"ts_flags":T}
void manifest_format_flag_line(std::string &out, const manifest_flag_fields &f);

struct archive_generation;

// Appends one line to the manifest of dir through f (opened on first use)
// with a single write. On failure the file is cut back to its old length
// and "cannot write %s" is set.
bool manifest_append(plat::append_file &f, const char *dir, const std::string &line);

// Keeps every line of an earlier UIDVALIDITY generation and, of the current
// one (gen.uidvalidity), one line per UID of `completed` (ascending; the
// first line of each, in file order) whose file is there with the line's
// size, and the flag lines of those UIDs; drops every line that does not
// parse. A completed UID left without a
// line is taken off the list, so it is fetched again. Returns false, with
// the manifest and the list exactly as they were, when the new file cannot
// be written in full.
bool manifest_prune(const char *dir, const archive_generation &gen,
                    std::vector<std::uint32_t> &completed, std::size_t expected_uids);

// One line read back. Views point into the json_doc the line was parsed
// with. Keys other than these are ignored, so lines may carry more.
struct manifest_entry {
  std::uint32_t uid = 0;
  std::string_view folder;      // empty when absent or not a text
  bool has_uidvalidity = false; // lines written before it was recorded lack it
  std::uint64_t uidvalidity = 0;
  std::string_view file;
  bool sha256_is_text = false;  // a digest of another type can match nothing
  std::string_view sha256;
  bool has_size = false;        // "size" is a number
  long long size = 0;           // truncated toward zero
  bool has_ts = false;          // "ts" is present (a non-number reads 0)
  long long ts = -1;
  // "flags": lines written before flags were recorded lack it; members that
  // are not texts are skipped.
  bool has_flags = false;
  std::vector<std::string_view> flags;
  // "labels", the same way (only where the server keeps Gmail labels).
  bool has_labels = false;
  std::vector<std::string_view> labels;
  // A flag line's "ts_flags"; -1 on a message line.
  long long ts_flags = -1;
};

enum class manifest_line_kind {
  blank,       // empty or only blanks: not counted
  entry,       // a JSON object with a uid of 1 to 4294967295 (a real number
               // is truncated), a non-empty text "file" and a "sha256"
  flag_update, // a flag line: such a uid, no "file", a "flags" list and a
               // numeric "ts_flags"; not a message, never counted as one
  unreadable,  // anything else: a torn or edited line
};

manifest_line_kind manifest_parse_line(std::string_view line, json_doc &doc, manifest_entry &out);

// Which message an entry stands for. A UID names a message only together
// with its folder's UIDVALIDITY: a folder created again (or renumbered)
// reuses UIDs, and the archive keeps both generations. A line written
// before the UIDVALIDITY was recorded belongs to `base`, the archive's first
// generation (resume_base_generation). Verification, statistics and the
// exporter's pruning all take an entry's identity from here, so they agree
// on what one message is.
struct entry_id {
  std::uint64_t generation = 0;
  std::uint32_t uid = 0;
};
entry_id manifest_entry_id(const manifest_entry &e, std::uint64_t base);

// One stored message as the manifest tells it now: its first message line
// (the one verification checks; later repeats of it are duplicates) with
// the flags and labels of the latest line for it, message line or flag line.
struct manifest_message {
  std::uint64_t generation = 0;  // manifest_entry_id's
  std::uint32_t uid = 0;
  std::string folder, file, sha256, from, subject, date;
  long long size = -1;           // -1 when the line gives none
  long long ts = -1;
  bool has_flags = false;        // false: no line for it recorded flags
  std::vector<std::string> flags;
  bool has_labels = false;
  std::vector<std::string> labels;
  long long ts_flags = -1;       // when a flag line last changed them; -1: none did
};

// Every message the manifest of dir lists, in file order, each with its
// latest flags (see manifest_message); flag lines of a message no line
// lists are passed over. `base` is the generation of lines without a
// UIDVALIDITY (resume_base_generation). 0, or -1 with last_error set when
// the manifest cannot be read (absent included) or memory runs short.
int manifest_latest_flags(const char *dir, std::uint64_t base, std::vector<manifest_message> &out);

// Reads a manifest one line at a time in bounded memory. The file must be
// a regular file reached without links: a link to a device or a FIFO would
// never end or never open.
class manifest_reader {
 public:
  // Longest line taken; a longer one cannot be a manifest line and is
  // handed out as an empty-but-oversized line so it is counted, not read.
  static constexpr std::size_t k_max_line = 1 << 20;

  manifest_reader() = default;
  manifest_reader(const manifest_reader &) = delete;
  manifest_reader &operator=(const manifest_reader &) = delete;

  plat::contained_file::status open(const char *dir);
  // open, with the reason set in last_error when it fails: "no
  // manifest.jsonl in DIR", "... is not a regular file", "cannot read ...".
  bool open_or_explain(const char *dir);
  // Lets go of the file, so it can be replaced: Windows refuses to rename
  // over a file that is still open, whatever the sharing.
  void close() { file_.close(); }
  // The next line without its line end; false at the end of the file or on
  // a read error. oversized() tells whether the line was too long to keep.
  bool next(std::string_view &line);
  bool oversized() const { return oversized_; }
  // Reading stopped on an error rather than at the end of the file.
  bool failed() const { return failed_; }
  // The file's length in bytes; -1 when unknown.
  long long size() const { return file_.size(); }
  // 1-based number of the line last returned.
  std::uint64_t line_number() const { return line_no_; }

 private:
  bool fill();

  plat::contained_file file_;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::string line_;
  bool failed_ = false;
  bool oversized_ = false;
  std::uint64_t line_no_ = 0;
};

// Open-addressing set of non-zero UIDs that grows before it fills, so
// probing always ends.
class uid_set {
 public:
  enum result { added, present, failed };
  // Room for at least min_slots slots (a power of two); ok() is false when
  // that memory cannot be had.
  explicit uid_set(std::size_t min_slots);
  bool ok() const { return slots_ != nullptr; }
  result insert(std::uint32_t uid);
  bool contains(std::uint32_t uid) const;
  std::size_t slots() const { return size_; }

 private:
  bool grow();
  std::unique_ptr<std::uint32_t[]> slots_;
  std::size_t size_ = 0;
  std::size_t used_ = 0;
};

// The messages a manifest listed so far, each once, for passes that must
// count an entry that repeats an earlier one's message only once.
class seen_entries {
 public:
  explicit seen_entries(std::uint64_t base) : base_(base) {}
  // True when no earlier entry stood for e's message. Once memory runs
  // short repeats can no longer be told: every later entry is taken as new
  // and exact() turns false.
  bool first_sight(const manifest_entry &e);
  bool exact() const { return exact_; }
  bool contains(entry_id id) const;

 private:
  std::uint64_t base_;
  bool exact_ = true;
  // One set per generation; an archive holds very few generations.
  std::vector<std::pair<std::uint64_t, std::unique_ptr<uid_set>>> sets_;
};

}  // namespace kq
