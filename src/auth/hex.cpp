#include "auth/hash.h"

std::string to_hex(const uint8_t *bytes, std::size_t n)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    return out;
}

std::string_view bytes_of(const Digest16 &digest)
{
    return {reinterpret_cast<const char *>(digest.data()), digest.size()};
}

std::string_view bytes_of(const Digest32 &digest)
{
    return {reinterpret_cast<const char *>(digest.data()), digest.size()};
}
