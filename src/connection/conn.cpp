// kq_connect and friends over the library's one session.
#include <atomic>
#include <cstring>

#include "base/error.h"
#include "connection/imap.h"

namespace kq {

session &main_session() {
  static session s;
  return s;
}

std::uint64_t cmd_sent_total() { return main_session().sent_total(); }

}  // namespace kq
