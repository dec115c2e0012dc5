// IMAP LIST wildcards (RFC 3501, 6.3.8) for choosing folders: '*' matches any
// run of characters, '%' any run without the hierarchy delimiter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kqcli {

// True when the whole name matches the pattern. Letters compare exactly,
// except that "INBOX" matches in any letter case, as IMAP treats it.
bool imap_match(std::string_view pattern, std::string_view name, char delimiter = '/');

// The names kept: those matching any include pattern (all of them when there
// is none) and no exclude pattern, in their order.
std::vector<std::string> filter_folders(const std::vector<std::string> &names,
                                        const std::vector<std::string> &include,
                                        const std::vector<std::string> &exclude, char delimiter = '/');

}  // namespace kqcli
