// Which folder an archive directory belongs to. Exporting one folder into
// another folder's archive would mix (and, name for name, collide with) its
// messages, so such a directory is refused before anything in it changes.
#pragma once

namespace kq {

// True when dir holds no archive or the archive of folder; false, with a
// text naming both folders in last_error, when its resume.json or its
// manifest names another folder.
bool archive_accepts_folder(const char *dir, const char *folder);

}  // namespace kq
