#include "connection/reopen.h"

#include "base/error.h"

namespace kq {

bool reopen_folder(session &s, const std::string &folder, std::uint64_t uidvalidity) {
  if (s.reconnect() != 0) return false;
  mailbox_state st;
  if (s.select(folder, &st) != 0) return false;
  if (uidvalidity != 0 && st.uidvalidity != 0 && st.uidvalidity != uidvalidity) {
    set_err("folder %s changed generation (UIDVALIDITY %llu, was %llu) while it was read", folder.c_str(),
            static_cast<unsigned long long>(st.uidvalidity), static_cast<unsigned long long>(uidvalidity));
    return false;
  }
  return true;
}

}  // namespace kq
