// Base64 of arbitrary bytes, checked by decoding it back.
#include "config/settings.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decodes standard padded Base64; aborts on any character or padding out of place.
std::string decode(std::string_view text)
{
    if (text.size() % 4 != 0)
        abort();
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t value = k < 4 - padding ? alphabet.find(text[i + k]) : 0;
            if (value == alphabet.npos)
                abort();
            group = group << 6 | static_cast<uint32_t>(value);
        }
        const char bytes[] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8),
                              static_cast<char>(group)};
        out.append(bytes, 3 - padding);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::string encoded = base64_encode(input);
    if (encoded.size() != (size + 2) / 3 * 4 || decode(encoded) != input)
        abort();
    return 0;
}
