// MD5 (RFC 1321), for Digest logins and, through HMAC, NTLMv2.
#include "auth/block.h"
#include "auth/hash.h"

namespace {

constexpr std::size_t words = 16;
constexpr std::size_t steps = 64;

// floor(abs(sin(i + 1)) * 2^32), written out: the C library's sin is not
// required to be that exact.
constexpr uint32_t sines[steps] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr uint8_t shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// The round's function of b, c and d.
uint32_t mix(std::size_t round, uint32_t b, uint32_t c, uint32_t d)
{
    switch (round) {
    case 0: return (b & c) | (~b & d);
    case 1: return (b & d) | (c & ~d);
    case 2: return b ^ c ^ d;
    default: return c ^ (b | ~d);
    }
}

// The message word that step i of the round adds.
std::size_t word_at(std::size_t round, std::size_t i)
{
    static constexpr std::size_t stride[4] = {1, 5, 3, 7};
    static constexpr std::size_t start[4] = {0, 1, 5, 0};
    return (start[round] + stride[round] * i) % words;
}

void compress(uint32_t (&state)[4], const uint8_t *block)
{
    uint32_t x[words];
    for (std::size_t i = 0; i < words; ++i)
        x[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (std::size_t step = 0; step < steps; ++step) {
        const std::size_t round = step / words, i = step % words;
        const uint32_t sum = a + mix(round, b, c, d) + x[word_at(round, i)] + sines[step];
        // The RFC's [abcd k s i] with the names shifted by one each step.
        const uint32_t t = b + rotate_left(sum, shifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

Digest16 md5(std::string_view data)
{
    return md_digest<compress>(data);
}
