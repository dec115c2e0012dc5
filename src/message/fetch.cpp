// kq_fetch and the calls that read the fetched message.
#include <cerrno>
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

namespace {

// Downloads folder's message uid into the fetched message. by_row: called
// for a search row, whose missing message keeps its long-standing text.
// "fetch uid N failed", with the reason when the connection was lost (a
// silent or vanished server), so the text does not just name the step.
void fetch_failed(const session &sess, std::uint32_t uid) {
  if (!sess.lost_reason().empty()) set_err("fetch uid %u failed: %s", uid, sess.lost_reason().c_str());
  else set_err("fetch uid %u failed", uid);
}

int fetch_into(const char *folder, std::uint32_t uid, bool by_row) {
  session &sess = main_session();
  if (!sess.usable()) return -1;
  if (sess.selected() != folder && sess.select(folder, nullptr) != 0) {
    fetch_failed(sess, uid);
    return -1;
  }
  std::string body;
  bool got = false;
  long long over_cap = -1;  // the size of a body too large to keep
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
    if (b->over_cap) {
      over_cap = b->over_cap_size;
      return;
    }
    body.assign(b->bytes);
    got = true;
  };
  c.on_done = [&rc](int st, const std::string &) { rc = st; };
  sess.submit(std::move(c));
  sess.drain();
  if (rc != 0) {
    fetch_failed(sess, uid);
    return -1;
  }
  if (!got && over_cap >= 0) {
    set_err("%s", over_cap_message(uid, over_cap).c_str());
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
  // The new message is made whole first: running short of memory leaves
  // the previous one as it was.
  std::unique_ptr<fetched_message> m = read_fetched(std::move(body));
  if (!m) {
    set_err("oom");
    return -1;
  }
  keep_fetched(std::move(m));
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

std::unique_ptr<fetched_message> read_fetched(std::string raw) {
  text_work work;
  if (!work.alloc()) return nullptr;
  auto m = std::unique_ptr<fetched_message>(new (std::nothrow) fetched_message);
  if (!m) return nullptr;
  m->raw = std::move(raw);
  const char *data = m->raw.c_str();
  auto len = static_cast<std::uint64_t>(m->raw.size());
  mime_part top;
  part_parse_headers(&top, data, len);
  m->header.assign(data, top.header_len < k_fetch_hdr_cap - 1 ? top.header_len : k_fetch_hdr_cap - 1);
  m->body_text.assign(k_body_text_cap, '\0');
  choose_body_text(data, len, work, m->body_text.data(), m->body_text.size());
  m->body_text.resize(std::strlen(m->body_text.c_str()));
  m->body_text.shrink_to_fit();
  m->atts = list_attachments(data, len);
  return m;
}

message_state &message_state::instance() {
  static message_state state;
  return state;
}

int fetch_save(const char *path) {
  if (!path || !*path) {
    set_err("no path");
    return -1;
  }
  const fetched_message *m = fetched_now();
  if (!m) {
    set_err("nothing fetched");
    return -1;
  }
  const std::string &raw = m->raw;
  std::FILE *f = plat::file_open(path, "wb");
  if (!f) {
    set_err("cannot write %s: %s", path, plat::error_text(plat::last_errno()));
    return -1;
  }
  std::size_t w = std::fwrite(raw.data(), 1, raw.size(), f);
  int err = w != raw.size() ? plat::last_errno() : 0;
  // A full disk may only show when the buffered tail is flushed at close.
  if (std::fclose(f) != 0 && err == 0) err = plat::last_errno();
  if (w != raw.size() || err != 0) {
    set_err("cannot write %s: %s", path, plat::error_text(err != 0 ? err : EIO));
    return -1;
  }
  return 0;
}

const char *fetch_header() {
  const fetched_message *m = fetched_now();
  return m ? m->header.c_str() : "";
}

const char *fetch_body_text() {
  const fetched_message *m = fetched_now();
  return m ? m->body_text.c_str() : "";
}

}  // namespace kq
