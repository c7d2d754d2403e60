// What MD4, MD5 and SHA-256 share: 64-byte blocks, and the same padding with
// the message length in bits at the end, little- or big-endian.
#pragma once

#include "auth/hash.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::size_t hash_block_size = 64;
// The padded end of a message is one block, or two when fewer than 9 bytes
// are left in the last one for the 0x80 marker and the length.
inline constexpr std::size_t hash_tail_size = 2 * hash_block_size;

enum class LengthOrder { little_endian, big_endian };

// The number of whole blocks of `data` that are hashed as they stand.
inline std::size_t whole_blocks(std::string_view data)
{
    return data.size() / hash_block_size;
}

// Fills `tail` with the bytes after the whole blocks, the padding and the
// length. Returns how many bytes of it to hash: one block or two.
std::size_t pad_tail(std::string_view data, uint8_t (&tail)[hash_tail_size], LengthOrder order);

inline uint32_t rotate_left(uint32_t x, unsigned n)
{
    return x << n | x >> (32 - n);
}

inline uint32_t rotate_right(uint32_t x, unsigned n)
{
    return x >> n | x << (32 - n);
}

inline uint32_t load_le32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint32_t load_be32(const uint8_t *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void store_le32(uint8_t *p, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(x >> (8 * i));
}

inline void store_be32(uint8_t *p, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(x >> (24 - 8 * i));
}

// MD4's and MD5's whole run over a message: the same initial state, blocks,
// padding and little-endian digest, with the family member's compression.
template <void (*compress)(uint32_t (&state)[4], const uint8_t *block)>
Digest16 md_digest(std::string_view data)
{
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
    for (std::size_t i = 0; i < whole_blocks(data); ++i)
        compress(state, bytes + i * hash_block_size);
    uint8_t tail[hash_tail_size];
    const std::size_t tail_size = pad_tail(data, tail, LengthOrder::little_endian);
    for (std::size_t at = 0; at < tail_size; at += hash_block_size)
        compress(state, tail + at);
    Digest16 digest;
    for (std::size_t i = 0; i < 4; ++i)
        store_le32(digest.data() + 4 * i, state[i]);
    return digest;
}
