// The attachment listing of a message, saving each listed attachment's
// decoded bytes, and the file name it would be saved under.
#include <cstdint>
#include <string>
#include <vector>

#include "message/attachments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string msg(reinterpret_cast<const char *>(data), size);
  std::vector<kq::attachment_info> atts = kq::list_attachments(msg.data(), msg.size());
  for (int i = 0; i < static_cast<int>(atts.size()) && i < 4; ++i) {
    kq::att_save_state st;
    st.wanted = i;
    kq::att_save_walk(msg.data(), msg.size(), &st);
    std::string safe = kq::safe_file_name(atts[static_cast<std::size_t>(i)].name);
    kq::numbered_file_name(safe, 2);
  }
  std::string safe = kq::safe_file_name(msg.substr(0, 300));
  kq::numbered_file_name(safe, 3);
  return 0;
}
