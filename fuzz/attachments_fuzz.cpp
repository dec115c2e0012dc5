// The attachment listing of a message, saving each listed attachment's
// decoded bytes, and the file name it would be saved under.
#include <cstdint>
#include <string>

#include "message/attachments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string msg(reinterpret_cast<const char *>(data), size);
  kq::s_att_count = 0;
  kq::collect_atts(msg.data(), msg.size());
  int count = kq::s_att_count;
  for (int i = 0; i < count && i < 4; ++i) {
    kq::att_save_state st;
    st.wanted = i;
    kq::att_save_walk(msg.data(), msg.size(), &st);
    std::string safe = kq::safe_file_name(kq::s_att[i].name);
    kq::numbered_file_name(safe, 2);
  }
  std::string safe = kq::safe_file_name(msg.substr(0, 300));
  kq::numbered_file_name(safe, 3);
  kq::s_att_count = 0;
  return 0;
}
