// The target folder: opened once to learn what it holds and which flags it
// keeps (created when asked), and never left open for writing while
// messages go up.
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/mutf7.h"
#include "connection/imap.h"
#include "restore/run.h"

namespace kq {

void read_permanent_flags(const std::string &line, restore_target &t) {
  std::size_t p = line.find("[PERMANENTFLAGS (");
  if (p == std::string::npos) return;
  std::size_t from = p + 17, to = line.find(')', from);
  if (to == std::string::npos) return;
  t.permanent_listed = true;
  t.permanent.clear();
  std::string_view list(line.data() + from, to - from);
  while (!list.empty()) {
    std::size_t sp = list.find(' ');
    std::string_view f = list.substr(0, sp);
    if (f == "\\*") t.any_keyword = true;
    else if (!f.empty()) t.permanent.emplace_back(f);
    if (sp == std::string_view::npos) break;
    list.remove_prefix(sp + 1);
  }
}

bool restore_run::open_target() {
  const std::string &name = job_.opt.folder;
  std::string q;
  if (!imap_quote(folder_wire_name(name), q)) return false;
  command_reply reply;
  // SELECT, not EXAMINE: only a folder open for writing names the flags
  // it keeps.
  int rc = s_.exec("SELECT " + q, &reply);
  if (rc == 1 && job_.opt.create) {
    command_reply made;
    int c = s_.exec("CREATE " + q, &made);
    if (c < 0) return false;
    if (c > 0 && restore_ifind(made.text, "[ALREADYEXISTS]") == std::string::npos) {
      set_err("cannot create folder %s: %s", name.c_str(), made.text.c_str());
      return false;
    }
    rc = s_.exec("SELECT " + q, &reply);
  }
  if (rc < 0) return false;
  if (rc > 0) {
    set_err("cannot open folder %s: %s", name.c_str(), reply.text.c_str());
    return false;
  }
  mailbox_state st;
  for (const response &r : reply.data) {
    read_mailbox_state(r.line, st);
    read_permanent_flags(r.line, target_);
  }
  target_.uidvalidity = st.uidvalidity;
  target_.exists = st.exists;
  return leave_target();
}

bool restore_run::leave_target() {
  // No folder stays open while messages go up: a server may write back its
  // own view of a folder open for writing over what was appended meanwhile
  // (GNU imap4d's mbox then keeps one message of a dozen), and another
  // refuses an APPEND into a folder open read-only (Courier). UNSELECT, or
  // CLOSE once the folder is open read-only, where CLOSE expunges nothing.
  if (s_.has_capability("UNSELECT")) return s_.exec("UNSELECT") == 0;
  return examine_target() && s_.exec("CLOSE") == 0;
}

bool restore_run::examine_target() {
  std::string q;
  if (!imap_quote(folder_wire_name(job_.opt.folder), q)) return false;
  command_reply reply;
  int rc = s_.exec("EXAMINE " + q, &reply);
  if (rc > 0) set_err("cannot open folder %s: %s", job_.opt.folder.c_str(), reply.text.c_str());
  return rc == 0;
}

}  // namespace kq
