// kq_fetch and the calls that read the fetched message.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "base/error.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "connection/imap.h"
#include "message/attachments.h"
#include "message/fetched.h"
#include "message/mime.h"
#include "platform/platform.h"
#include "search/search_table.h"

namespace kq {

std::unique_ptr<char[]> s_fetch_buf;
std::uint64_t s_fetch_len = 0;
char s_fetch_hdr[k_fetch_hdr_cap];
char s_body_text[k_body_text_cap];

namespace {

// Downloads folder's message uid into the fetched message. by_row: called
// for a search row, whose missing message keeps its long-standing text.
int fetch_into(const char *folder, std::uint32_t uid, bool by_row) {
  session &sess = main_session();
  if (!sess.usable()) return -1;
  if (sess.selected() != folder && sess.select(folder, nullptr) != 0) {
    set_err("fetch uid %u failed", uid);
    return -1;
  }
  std::string body;
  bool got = false;
  int rc = -1;
  session::command c;
  c.line = "UID FETCH " + decimal(uid) + " (BODY.PEEK[])";
  c.uid_lo = c.uid_hi = uid;
  // Only the record that names this UID carries its body.
  c.on_data = [&](response &r) {
    fetch_data f;
    if (got || !parse_fetch(r, f) || !f.has_uid || f.uid != uid) return;
    const fetch_data::section *b = f.find("]");
    if (!b || b->nil) return;
    body.assign(b->bytes);
    got = true;
  };
  c.on_done = [&rc](int st, const std::string &) { rc = st; };
  sess.submit(std::move(c));
  sess.drain();
  if (rc != 0) {
    set_err("fetch uid %u failed", uid);
    return -1;
  }
  if (!got && !by_row) {
    // The server answered OK with no such message: expunged, or never there.
    set_err("no message with uid %u in %s", uid, folder);
    return -1;
  }
  if (!got || body.empty()) {
    set_err("empty message body");
    return -1;
  }
  // Working buffers first, so running short of memory leaves the previous
  // message whole.
  text_work work;
  if (!work.alloc()) {
    set_err("oom");
    return -1;
  }
  auto len = static_cast<std::uint64_t>(body.size());
  s_fetch_buf.reset();
  s_fetch_buf.reset(new (std::nothrow) char[len + 1]);
  if (!s_fetch_buf) {
    set_err("oom");
    return -1;
  }
  std::memcpy(s_fetch_buf.get(), body.data(), len);
  s_fetch_buf[len] = '\0';
  s_fetch_len = len;
  body.clear();

  const char *data = s_fetch_buf.get();
  mime_part top;
  part_parse_headers(&top, data, len);
  std::uint64_t hn = top.header_len < k_fetch_hdr_cap - 1 ? top.header_len : k_fetch_hdr_cap - 1;
  std::memcpy(s_fetch_hdr, data, hn);
  s_fetch_hdr[hn] = '\0';

  s_body_text[0] = '\0';
  s_att_count = 0;
  choose_body_text(data, len, work, s_body_text, sizeof s_body_text);
  collect_atts(data, len);
  set_err("%s", "");
  return 0;
}

}  // namespace

int fetch_message(int index) {
  search_result_ptr r = current_result();
  if (index < 0 || static_cast<std::size_t>(index) >= r->size()) {
    set_err("bad index");
    return -1;
  }
  // The row's UID means something only in the row's folder; another call may
  // have opened a different mailbox since the search.
  return fetch_into(r->folder().c_str(), (*r)[static_cast<std::size_t>(index)].uid, true);
}

int fetch_uid(const char *folder, std::uint32_t uid) {
  if (!folder || !*folder) {
    set_err("no folder");
    return -1;
  }
  if (uid == 0) {
    set_err("bad uid");
    return -1;
  }
  return fetch_into(folder, uid, false);
}

int fetch_save(const char *path) {
  if (!path || !*path) {
    set_err("no path");
    return -1;
  }
  if (!s_fetch_buf) {
    set_err("nothing fetched");
    return -1;
  }
  std::FILE *f = plat::file_open(path, "wb");
  if (!f) {
    set_err("cannot write %s: %s", path, plat::error_text(plat::last_errno()));
    return -1;
  }
  std::size_t w = std::fwrite(s_fetch_buf.get(), 1, s_fetch_len, f);
  // A full disk may only show when the buffered tail is flushed at close.
  bool closed = std::fclose(f) == 0;
  if (w != s_fetch_len || !closed) {
    set_err("short write to %s", path);
    return -1;
  }
  return 0;
}

const char *fetch_header() { return s_fetch_hdr; }

const char *fetch_body_text() { return s_body_text; }

}  // namespace kq
