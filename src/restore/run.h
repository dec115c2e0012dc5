// The parts of one restore run, shared by its files: the run's sequence
// (worker.cpp), the target folder (target.cpp), what the server holds
// already (presence.cpp), the pipelined APPENDs (upload.cpp) and the
// ledger's side (ledger_steps.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "connection/session.h"
#include "platform/platform.h"
#include "restore/restore_job.h"

namespace kq {

// Commands in flight at once, and how much one batch reads into memory
// before its messages go out: enough to keep a slow link busy, little
// enough that a huge archive costs no more than a batch.
inline constexpr std::size_t k_restore_window = 32;
inline constexpr std::size_t k_restore_batch_items = 256;
inline constexpr long long k_restore_batch_bytes = 16LL << 20;
// Batches whose APPENDs are out at once, and the bytes they may hold
// before the next batch is read: it is read from disk and sent while the
// server still stores the ones before it, so neither side waits on the
// other. What is in flight counts against the next batch's bytes.
inline constexpr std::size_t k_restore_batches_ahead = 4;
inline constexpr long long k_restore_ahead_bytes = k_restore_batch_bytes / 2;
// The first batch is this small, each next one twice the one before up to
// a full batch: the server has work while the rest is still being read.
inline constexpr std::size_t k_restore_first_batch = 16;
// Sizes a LITERAL- server takes without a continuation request.
inline constexpr long long k_literal_minus_max = 4096;
// How much longer than the bytes sent a server's bookkeeping headers may
// make a stored message and it still be looked at as that message.
inline constexpr long long k_bookkeeping_slack = 512;
// A message larger than this goes out from its file piece by piece where
// the server takes non-synchronizing literals, and is never held whole.
inline constexpr long long k_restore_stream_over = 1LL << 20;
// Messages and bytes one MULTIAPPEND carries. Many: a server may store
// each command as one transaction whose cost grows with the folder (a
// maildir is read again for each), and a refusal, rare, costs only the
// messages sent again one by one.
inline constexpr std::size_t k_multi_items = 256;
inline constexpr std::size_t k_multi_bytes = 4u << 20;

enum class restore_end { normal, cancelled, failed };

// Where word starts in text, in any letter case; npos when absent.
std::size_t restore_ifind(const std::string &text, const char *word);

// The SHA-256 of bytes as 64 lower-case hex digits.
std::string restore_hex_digest(const void *data, std::size_t n);

// The digest of a message without the header lines an mbox server keeps
// its own bookkeeping in (see presence.cpp).
std::string digest_without_bookkeeping(std::string_view m);

// What the target folder allows and holds.
struct restore_target {
  std::uint64_t uidvalidity = 0;
  long long exists = 0;
  bool permanent_listed = false;  // PERMANENTFLAGS came
  bool any_keyword = false;       // it holds "\*"
  std::vector<std::string> permanent;
};

// Reads a "[PERMANENTFLAGS (...)]" line into t; other lines leave it.
void read_permanent_flags(const std::string &line, restore_target &t);

// The flags to send: never \Recent (only the server sets it), and a keyword
// only where the folder keeps it.
std::string restore_flag_list(const std::vector<std::string> &flags, const restore_target &t);

// "[APPENDUID <uidvalidity> <uid>]" of a completion; uv and uid stay as
// they were when it holds none.
void read_appenduid(const std::string &text, std::uint64_t &uv, std::uint32_t &uid);

// One message of the batch on its way.
struct restore_pending {
  restore_item *item = nullptr;
  long long size = 0;     // the message's bytes
  std::string bytes;      // all of them, unless streamed
  bool streamed = false;  // read from its file as it goes out
  bool with_flags = true;
  bool flags_tried = false;  // refused once with flags: sent again without
  int status = -2;           // completion: -2 none yet
  std::string text;
  std::uint32_t server_uid = 0;
  std::uint64_t server_uv = 0;
};

class restore_run {
 public:
  restore_run(restore_job &job, session &s) : job_(job), s_(s) {}
  restore_end run();

 private:
  // target.cpp
  bool open_target();
  // Leaves the target folder closed (selected by nothing), or open read-only.
  bool leave_target();
  bool examine_target();

  // worker.cpp
  // Settles the target's name (the host's, or the archive's own after the
  // prefix) before anything names it; false, with last_error, when there is
  // none.
  bool choose_target(const std::string &archived);
  // Reads p's file into p.bytes (or only hashes it, when it is to be
  // streamed) and checks it is the message archived; a failure is the
  // message's, settled here.
  bool load_file(restore_pending &p);
  void fail(const restore_item &it, const std::string &reason);
  void settle();

  // presence.cpp: which of the batch the server holds already; they leave
  // `batch`.
  bool check_present(std::vector<restore_pending> &batch);

  // upload.cpp
  // Sends the batch's APPENDs; finish_batch() waits for their answers,
  // sends again what a refusal calls for and records what the server took.
  void submit_batch(std::vector<restore_pending> &batch);
  bool finish_batch(std::vector<restore_pending> &batch);
  // Runs the session until every message of the batch has its answer;
  // false when the connection was lost or the run cancelled meanwhile.
  bool await_batch(std::vector<restore_pending> &batch);
  void submit_append(restore_pending &p);
  // One MULTIAPPEND of several messages (non-synchronizing literals only).
  void submit_multi(std::vector<restore_pending *> group);
  // " (flags) "date"" of one message as APPEND takes it.
  std::string message_args(const restore_pending &p);

  // ledger_steps.cpp
  // The messages the ledger places in the target as it is now, as (archive
  // UID, digest); their server UIDs join claimed_.
  std::set<std::pair<std::uint32_t, std::string>> ledger_done_here();
  // Adds the line of one message the server holds to lines.
  void ledger_line(std::string &lines, const restore_item &it, std::uint64_t uidvalidity,
                   std::uint32_t server_uid);
  bool record(const std::string &lines);

  restore_job &job_;
  session &s_;
  restore_tuning pace_;  // the defaults, or the benchmark's settings
  std::string server_;
  restore_target target_;
  std::vector<restore_item> items_;
  // The folder's messages a restore already accounts for: never taken for
  // another archived message.
  std::set<std::uint32_t> claimed_;
  bool check_all_ = false;
  bool literal_plus_ = false, literal_minus_ = false, multiappend_ = false;
  // Large messages may be streamed: the server takes non-synchronizing
  // literals, and no presence check needs their bytes.
  bool stream_ok_ = false;
  plat::append_file ledger_;
};

}  // namespace kq
