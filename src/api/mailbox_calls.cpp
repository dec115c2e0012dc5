// Entry points of the folder list and the folder probe.
#include "api/guard.h"
#include "mailbox/folders.h"

extern "C" KQ_API const char *kq_folders_json(void) {
  return kq::api::server_call("kq_folders_json", "", [] {
    return kq::api::thread_text<&kq_folders_json>(kq::folders_json().c_str());
  });
}

extern "C" KQ_API const char *kq_probe_folder(const char *folder) {
  return kq::api::server_call("kq_probe_folder", "", [&] {
    return kq::api::thread_text<&kq_probe_folder>(kq::probe_folder(folder).c_str());
  });
}
