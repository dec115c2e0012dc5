// Streaming SHA-256 of a file, as the 64 lower-case hex digits the manifest
// records.
#pragma once

#include <cstddef>

namespace kq {

inline constexpr std::size_t k_hash_chunk = 65536;

// Hashes the file at path in reads of k_hash_chunk bytes through buf (at
// least that size) and writes the hex digest with its NUL to hex[65].
// False when the file cannot be opened.
bool sha256_file_hex(const char *path, unsigned char *buf, char hex[65]);

// Hex text of a 32-byte digest, "%02x" per byte.
void digest_hex(const unsigned char digest[32], char hex[65]);

}  // namespace kq
