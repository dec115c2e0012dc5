// Mailbox selection: EXAMINE (SELECT when refused), the pipelined EXAMINE,
// and what the server says about the selected mailbox meanwhile.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/mutf7.h"
#include "base/strcase.h"
#include "connection/fetch_data.h"
#include "connection/session.h"

namespace kq {

bool read_mailbox_state(const std::string &l, mailbox_state &st) {
  long long n = 0;
  std::string word;
  if (numbered_record(l, n, word)) {
    if (word == "EXISTS") st.exists = n;
    else if (word == "EXPUNGE" && st.exists > 0) --st.exists;
    return true;
  }
  auto code_value = [&](const char *code, unsigned long long &dst) {
    std::size_t p = l.find(code);
    if (p != std::string::npos) dst = std::strtoull(l.c_str() + p + std::strlen(code), nullptr, 10);
  };
  if (ascii_istarts(l, "* OK [")) {
    code_value("[UIDNEXT ", st.uidnext);
    code_value("[UIDVALIDITY ", st.uidvalidity);
    code_value("[HIGHESTMODSEQ ", st.highestmodseq);
    if (l.find("[NOMODSEQ]") != std::string::npos) st.nomodseq = true;
  }
  return false;
}

std::string session::condstore_param() const {
  // Mod-sequences are only reported once CONDSTORE is on; asking with the
  // selection costs no round trip of its own.
  return has_capability("CONDSTORE") || has_capability("QRESYNC") ? " (CONDSTORE)" : "";
}

int session::select(const std::string &mailbox, mailbox_state *out, bool examine_first) {
  std::string q;
  // A UTF-8 name goes out in modified UTF-7, as the server lists it.
  if (!imap_quote(folder_wire_name(mailbox), q)) return -1;
  q += condstore_param();
  mbox_ = {};
  int rc = examine_first ? exec("EXAMINE " + q) : 1;
  // The refusal's text: why the server will not open it (no such folder, no
  // right to read it, ...), which the caller has no other way to learn.
  command_reply refused;
  if (rc > 0) {
    mbox_ = {};
    rc = exec("SELECT " + q, &refused);
  }
  if (rc != 0) {
    selected_.clear();
    // A refusal leaves the session logged in; a lost connection does not.
    if (rc < 0) set_err("cannot open mailbox %s: %s", mailbox.c_str(), last_error());
    else set_err("cannot open mailbox %s: %s", mailbox.c_str(), refused.text.c_str());
    return -1;
  }
  selected_ = mailbox;
  if (out) *out = mbox_;
  return 0;
}

bool session::submit_examine(const std::string &mailbox, opened_fn done) {
  std::string q;
  if (!imap_quote(folder_wire_name(mailbox), q)) return false;
  q += condstore_param();
  // Until it completes nothing is known to be selected.
  selected_.clear();
  auto st = std::make_shared<mailbox_state>();
  command c;
  c.line = "EXAMINE " + q;
  c.on_data = [st](response &r) { read_mailbox_state(r.line, *st); };
  c.on_done = [this, st, mailbox, done = std::move(done)](int status, const std::string &) {
    // A failed EXAMINE leaves no mailbox selected.
    if (status == 0) {
      selected_ = mailbox;
      mbox_ = *st;
    } else {
      selected_.clear();
    }
    if (done) done(status, *st);
  };
  submit(std::move(c));
  return true;
}

int session::open(const std::string &mailbox, mailbox_state *out) {
  if (selected_.empty() || selected_ != mailbox || status() != 2) return select(mailbox, out);
  if (out) *out = mbox_;
  return 0;
}

}  // namespace kq
