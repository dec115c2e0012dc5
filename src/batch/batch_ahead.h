// What the batch asks of folders ahead of exporting them, so each costs as
// few waits for the server as it can: STATUS of the next folders in one
// burst (an empty folder then needs no EXAMINE at all), and a folder's
// EXAMINE with the FETCH of its rows right behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection/response.h"
#include "connection/session.h"
#include "search/search_table.h"

namespace kq {

// What STATUS said of one folder; known is false when it said nothing
// usable (refused, not asked, or an answer naming another folder).
struct folder_look {
  bool known = false;
  long long messages = -1;
  unsigned long long uidnext = 0;
  unsigned long long uidvalidity = 0;
};

// Reads "* STATUS <name> (MESSAGES n UIDNEXT n UIDVALIDITY n)": the name as
// sent (unquoted, or the literal) and the items it carries. False for any
// other record or one that does not parse.
bool parse_status_record(const response &r, std::string &name, folder_look &out);

// Sends STATUS for each of `folders` at once (up to `window` in flight) and
// fills `looks` (same order). A folder's answer counts only when it names
// that folder. The selected folder is not asked (STATUS is not meant for
// it). False when the connection was lost.
bool look_ahead(session &s, const std::vector<std::string> &folders, std::vector<folder_look> &looks,
                std::size_t window);

// A folder opened by prepare_folder.
struct prepared_folder {
  // EXAMINE's completion: 0 OK, 1 NO, 2 BAD, -1 never answered (the
  // connection lost, a stop, a name that cannot be sent).
  int examine = -1;
  // What the server said of the folder up to the end of the round trip
  // (EXAMINE's counts, and any EXISTS or EXPUNGE after them).
  mailbox_state st;
  // rows holds exactly one row for each message the folder holds: the
  // FETCH completed, and it answered as many distinct UIDs as the folder
  // holds messages. Anything less and the rows are not used.
  bool rows_whole = false;
  std::shared_ptr<search_result> rows;
};

// EXAMINE of folder and, with fetch_rows, UID FETCH 1:* of the row items
// pipelined behind it: one round trip for a folder and its rows.
prepared_folder prepare_folder(session &s, const std::string &folder, bool fetch_rows);

}  // namespace kq
