// MD4 (RFC 1320). Weak, and kept only because NTLM's password hash is MD4.
#include "auth/block.h"
#include "auth/hash.h"

namespace {

constexpr std::size_t words = 16;
constexpr uint32_t round2_constant = 0x5a827999;  // sqrt(2) * 2^30
constexpr uint32_t round3_constant = 0x6ed9eba1;  // sqrt(3) * 2^30

// Each round takes the sixteen words in its own order, with four shifts.
constexpr uint8_t order[3][words] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15},
    {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15},
};
constexpr uint8_t shifts[3][4] = {{3, 7, 11, 19}, {3, 5, 9, 13}, {3, 9, 11, 15}};

uint32_t mix(int round, uint32_t x, uint32_t y, uint32_t z)
{
    switch (round) {
    case 0: return (x & y) | (~x & z);
    case 1: return ((x & y) | (x & z) | (y & z)) + round2_constant;
    default: return (x ^ y ^ z) + round3_constant;
    }
}

void compress(uint32_t (&state)[4], const uint8_t *block)
{
    uint32_t x[words];
    for (std::size_t i = 0; i < words; ++i)
        x[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int round = 0; round < 3; ++round) {
        // Each step updates the register named first in the RFC's [abcd k s];
        // shifting the names by one instead of unrolling gives the next step.
        for (std::size_t i = 0; i < words; ++i) {
            const uint32_t t = rotate_left(a + mix(round, b, c, d) + x[order[round][i]], shifts[round][i % 4]);
            a = d;
            d = c;
            c = b;
            b = t;
        }
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

Digest16 md4(std::string_view data)
{
    return md_digest<compress>(data);
}
