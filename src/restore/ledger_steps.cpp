// The run's side of the ledger (archive/restore_ledger.h): what earlier
// runs put in this target, read once at the start, and a line for every
// message the server took or was found to hold.
#include <string>

#include "archive/durable.h"
#include "archive/restore_ledger.h"
#include "restore/run.h"

namespace kq {

std::set<std::pair<std::uint32_t, std::string>> restore_run::ledger_done_here() {
  // The ledger's word counts where it names this server, this folder and
  // the folder's present UIDVALIDITY; elsewhere the folder is asked.
  std::set<std::pair<std::uint32_t, std::string>> done;
  for (const restore_ledger_line &l : restore_ledger_load(job_.opt.dir.c_str())) {
    if (l.server != server_ || l.folder != job_.opt.folder) continue;
    // An emptied folder holds none of them any more.
    if (l.uidvalidity != 0 && l.uidvalidity == target_.uidvalidity && target_.exists > 0) {
      done.insert({l.uid, l.sha256});
      claimed_.insert(l.server_uid);
    }
  }
  return done;
}

void restore_run::ledger_line(std::string &lines, const restore_item &it, std::uint64_t uidvalidity,
                              std::uint32_t server_uid) {
  restore_ledger_line l{it.sha256, it.uid, server_, job_.opt.folder, uidvalidity, server_uid};
  restore_ledger_format(lines, l);
}

bool restore_run::record(const std::string &lines) {
  if (lines.empty()) return true;
  if (!restore_ledger_append(ledger_, job_.opt.dir.c_str(), lines)) return false;
  // A lost line costs only a presence check on the next run; still, what
  // the server took is worth keeping across a power loss.
  if (durable_writes()) ledger_.sync();
  return true;
}

}  // namespace kq
