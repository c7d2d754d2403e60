// HMAC (RFC 2104) over MD5, the keyed hash of NTLMv2.
#include "auth/block.h"
#include "auth/hash.h"

namespace {

constexpr uint8_t inner_pad = 0x36;
constexpr uint8_t outer_pad = 0x5c;

}  // namespace

Digest16 hmac_md5(std::string_view key, std::string_view data)
{
    Digest16 hashed_key;
    if (key.size() > hash_block_size) {
        hashed_key = md5(key);
        key = bytes_of(hashed_key);
    }
    std::string inner(hash_block_size, '\0');
    std::string outer(hash_block_size, '\0');
    for (std::size_t i = 0; i < hash_block_size; ++i) {
        const uint8_t k = i < key.size() ? static_cast<uint8_t>(key[i]) : 0;
        inner[i] = static_cast<char>(k ^ inner_pad);
        outer[i] = static_cast<char>(k ^ outer_pad);
    }
    inner.append(data);
    const Digest16 inner_digest = md5(inner);
    outer.append(bytes_of(inner_digest));
    return md5(outer);
}
