// Streaming SHA-256 of a file inside an archive, as the 64 lower-case hex
// digits the manifest records.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/platform.h"

namespace kq {

inline constexpr std::size_t k_hash_chunk = 65536;

// Hashes rel below dir (opened as plat::contained_file does: no link, no
// device) in reads of k_hash_chunk bytes through buf (at least that size)
// and writes the hex digest with its NUL to hex[65]. A read error after
// the open gives failed.
plat::contained_file::status sha256_file_hex(const char *dir, std::string_view rel,
                                             unsigned char *buf, char hex[65]);

// Hex text of a 32-byte digest, "%02x" per byte.
void digest_hex(const unsigned char digest[32], char hex[65]);

}  // namespace kq
