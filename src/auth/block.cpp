#include "auth/block.h"

#include <cstring>

namespace {

constexpr std::size_t length_size = 8;  // the message length in bits, 64 bits wide

}  // namespace

std::size_t pad_tail(std::string_view data, uint8_t (&tail)[hash_tail_size], LengthOrder order)
{
    const std::size_t done = whole_blocks(data) * hash_block_size;
    const std::size_t rest = data.size() - done;
    std::memset(tail, 0, sizeof tail);
    if (rest > 0)  // an empty view may have no address at all
        std::memcpy(tail, data.data() + done, rest);
    tail[rest] = 0x80;
    const std::size_t used = rest + 1 + length_size <= hash_block_size ? hash_block_size : hash_tail_size;
    // The standards count the length modulo 2^64 bits.
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    for (std::size_t i = 0; i < length_size; ++i) {
        const std::size_t shift = order == LengthOrder::little_endian ? 8 * i : 8 * (length_size - 1 - i);
        tail[used - length_size + i] = static_cast<uint8_t>(bits >> shift);
    }
    return used;
}
