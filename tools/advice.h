// What the tool advises after a failure, made from the library's reason.
#pragma once

#include <string>

namespace kqcli {

// The library's reason with the advice it gives in terms of its own
// settings ("use ssl 1", "ca_file", "tls_verify 0") said in the tool's
// options and configuration keys.
std::string in_tool_words(const std::string &why);

// What to do after an archive run stopped on why, its work so far kept:
// "run the same command again" only where that alone can help; where a
// full disk, a refused permission or the connection settings stopped it,
// what to mend first.
std::string after_stop_advice(const std::string &why);

}  // namespace kqcli
