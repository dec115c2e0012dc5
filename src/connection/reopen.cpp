#include "connection/reopen.h"

#include "base/error.h"
#include "platform/platform.h"

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

bool with_reconnects(session &s, const std::string &folder, std::uint64_t uidvalidity,
                     const std::function<bool()> &step, int tries) {
  for (int attempt = 0;; ++attempt) {
    if (step()) return true;
    // A refusal from a working connection is the step's own failure.
    if (s.status() == 2 || attempt >= tries) return false;
    // A connection closed by a stop stays closed.
    if (s.stop_requested()) return false;
    std::string why = s.lost_reason().empty() ? std::string(last_error()) : s.lost_reason();
    plat::sleep_ms(500 << attempt);
    if (!reopen_folder(s, folder, uidvalidity)) {
      set_err("%s", why.c_str());
      return false;
    }
  }
}

}  // namespace kq
