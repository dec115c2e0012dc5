// HTTPS for the OAuth flows through libcurl: only https URLs, the issuer's
// certificate and name always checked, nothing traced (the bodies carry
// tokens and the client secret).
#include <curl/curl.h>

#include <mutex>

#include "oauth.h"

#ifndef KQ_TOOL_VERSION
#define KQ_TOOL_VERSION "0.0.0"
#endif

namespace kqcli {

namespace {

std::size_t collect(char *data, std::size_t size, std::size_t n, void *user) {
  auto *body = static_cast<std::string *>(user);
  // An issuer's answer is a small JSON object; a huge one is not an answer.
  if (body->size() + size * n > (1u << 20)) return 0;
  body->append(data, size * n);
  return size * n;
}

struct easy {
  CURL *h = curl_easy_init();
  curl_slist *headers = nullptr;
  ~easy() {
    curl_slist_free_all(headers);
    if (h) curl_easy_cleanup(h);
  }
};

}  // namespace

bool oauth_supported() { return true; }

http_reply https_post_form(const std::string &url, const std::string &form, const std::string &ca_file,
                           long timeout_s) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (url.rfind("https://", 0) != 0) throw failure("the OAuth endpoint " + url + " is not an https:// address");
  easy e;
  if (!e.h) throw failure("cannot start an HTTPS request");
  http_reply r;
  char err[CURL_ERROR_SIZE] = "";
  e.headers = curl_slist_append(e.headers, "Accept: application/json");
  curl_easy_setopt(e.h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e.h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(e.h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(e.h, CURLOPT_HTTPHEADER, e.headers);
  curl_easy_setopt(e.h, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(e.h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(e.h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(e.h, CURLOPT_WRITEDATA, &r.body);
  curl_easy_setopt(e.h, CURLOPT_ERRORBUFFER, err);
  curl_easy_setopt(e.h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e.h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_file.empty()) curl_easy_setopt(e.h, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(e.h, CURLOPT_CONNECTTIMEOUT, timeout_s);
  curl_easy_setopt(e.h, CURLOPT_TIMEOUT, timeout_s);
  // No signals from the resolver's time-out: the tool has its own handlers.
  curl_easy_setopt(e.h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e.h, CURLOPT_USERAGENT, "kerquill/" KQ_TOOL_VERSION);
  CURLcode rc = curl_easy_perform(e.h);
  if (rc != CURLE_OK)
    throw failure("no answer from the OAuth issuer at " + url + ": " + (*err ? err : curl_easy_strerror(rc)));
  curl_easy_getinfo(e.h, CURLINFO_RESPONSE_CODE, &r.status);
  return r;
}

}  // namespace kqcli
