// SHA-256 (FIPS 180-4), for Digest logins that ask for it.
#include "auth/block.h"
#include "auth/hash.h"

namespace {

constexpr std::size_t words = 16;
constexpr std::size_t rounds = 64;

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes.
constexpr uint32_t round_constants[rounds] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The message schedule: the block's sixteen words, then 48 derived ones.
void expand(uint32_t (&w)[rounds], const uint8_t *block)
{
    for (std::size_t t = 0; t < words; ++t)
        w[t] = load_be32(block + 4 * t);
    for (std::size_t t = words; t < rounds; ++t) {
        const uint32_t s0 = rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
}

void compress(uint32_t (&state)[8], const uint8_t *block)
{
    uint32_t w[rounds];
    expand(w, block);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (std::size_t t = 0; t < rounds; ++t) {
        const uint32_t sum1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t t1 = h + sum1 + choose + round_constants[t] + w[t];
        const uint32_t sum0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const uint32_t worked[8] = {a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < 8; ++i)
        state[i] += worked[i];
}

}  // namespace

Digest32 sha256(std::string_view data)
{
    // The first 32 bits of the fractional parts of the square roots of the
    // first 8 primes.
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
    for (std::size_t i = 0; i < whole_blocks(data); ++i)
        compress(state, bytes + i * hash_block_size);
    uint8_t tail[hash_tail_size];
    const std::size_t tail_size = pad_tail(data, tail, LengthOrder::big_endian);
    for (std::size_t at = 0; at < tail_size; at += hash_block_size)
        compress(state, tail + at);
    Digest32 digest;
    for (std::size_t i = 0; i < 8; ++i)
        store_be32(digest.data() + 4 * i, state[i]);
    return digest;
}
