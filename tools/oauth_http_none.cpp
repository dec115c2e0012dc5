// Builds without libcurl (the Windows cross build) have no HTTPS client: the
// auth command and OAuth accounts say so instead of connecting.
#include "oauth.h"

namespace kqcli {

bool oauth_supported() { return false; }

http_reply https_post_form(const std::string &, const std::string &, const std::string &, long) {
  throw failure("this build of kerquill has no OAuth support (it was built without libcurl); use "
                "oauth_token_command with a helper program instead");
}

}  // namespace kqcli
