// What Windows refuses in a file or directory name. Pure text rules, kept
// apart from the question of which system a name is made for (that is
// src/platform/'s), so both halves can be tested on any system.
#pragma once

#include <string>
#include <string_view>

namespace kq {

// Names Windows opens as a device instead of a file: con, prn, aux, nul,
// com1-com9, lpt1-lpt9, in any letter case, whatever extension follows.
bool windows_device_name(std::string_view name);

// A byte Windows refuses anywhere in a name: control characters and
// : * ? " < > | / \ (the path separators).
bool windows_forbidden_byte(unsigned char c);

// name made into one Windows can hold: forbidden bytes become '_', a final
// dot or space (which Windows strips, merging the name with another) becomes
// '_', and a device name gets a leading '_'. Grows by at most one byte, and
// only for a device name; every other name keeps its length. A name already
// holdable comes back unchanged.
std::string windows_file_name(std::string_view name);

}  // namespace kq
