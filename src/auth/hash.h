// The hashes the login schemes are built on: MD4 (NTLM's password hash),
// MD5, SHA-256 and HMAC-MD5, as pure functions of bytes to bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using Digest16 = std::array<uint8_t, 16>;
using Digest32 = std::array<uint8_t, 32>;

Digest16 md4(std::string_view data);
Digest16 md5(std::string_view data);
Digest32 sha256(std::string_view data);

// RFC 2104 with MD5; a key longer than MD5's 64-byte block is hashed first.
Digest16 hmac_md5(std::string_view key, std::string_view data);

// Two lower-case hex digits per byte.
std::string to_hex(const uint8_t *bytes, std::size_t n);

// The digest's bytes as a view (onto the array, which must outlive it), for
// feeding one hash's result into the next.
std::string_view bytes_of(const Digest16 &digest);
std::string_view bytes_of(const Digest32 &digest);
