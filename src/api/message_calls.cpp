// Entry points of the fetched message and its attachments.
#include "api/guard.h"
#include "message/attachments.h"
#include "message/fetched.h"

extern "C" KQ_API int kq_fetch(int index) {
  return kq::api::server_call("kq_fetch", -1, [&] { return kq::fetch_message(index); });
}

extern "C" KQ_API int kq_fetch_uid(const char *folder, unsigned int uid) {
  return kq::api::server_call("kq_fetch_uid", -1, [&] { return kq::fetch_uid(folder, uid); });
}

extern "C" KQ_API const char *kq_fetch_header(void) {
  return kq::api::call("", [] { return kq::api::thread_text<&kq_fetch_header>(kq::fetch_header()); });
}

extern "C" KQ_API const char *kq_fetch_body_text(void) {
  return kq::api::call("", [] {
    return kq::api::thread_text<&kq_fetch_body_text>(kq::fetch_body_text());
  });
}

extern "C" KQ_API int kq_fetch_save(const char *path) {
  return kq::api::call(-1, [&] { return kq::fetch_save(path); });
}

extern "C" KQ_API int kq_attachment_count(void) {
  return kq::api::call(0, [] { return kq::attachment_count(); });
}

extern "C" KQ_API const char *kq_attachment_field(const char *, int index, const char *key) {
  return kq::api::call("", [&] {
    return kq::api::thread_text<&kq_attachment_field>(kq::attachment_field(index, key));
  });
}

extern "C" KQ_API int kq_attachment_save(const char *, int index, const char *dir) {
  return kq::api::call(-1, [&] { return kq::attachment_save(index, dir); });
}

extern "C" KQ_API const char *kq_attachment_saved_path(void) {
  return kq::api::call("", [] { return kq::api::thread_text<&kq_attachment_saved_path>(kq::attachment_saved_path()); });
}
