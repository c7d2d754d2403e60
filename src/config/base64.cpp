#include "config/settings.h"

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string base64_encode(std::string_view text)
{
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        const unsigned group = static_cast<unsigned char>(text[i]) << 16 |
                               static_cast<unsigned char>(text[i + 1]) << 8 |
                               static_cast<unsigned char>(text[i + 2]);
        out += alphabet[group >> 18 & 63];
        out += alphabet[group >> 12 & 63];
        out += alphabet[group >> 6 & 63];
        out += alphabet[group & 63];
    }
    const std::size_t rest = text.size() - i;
    if (rest == 0)
        return out;
    unsigned group = static_cast<unsigned char>(text[i]) << 16;
    if (rest == 2)
        group |= static_cast<unsigned char>(text[i + 1]) << 8;
    out += alphabet[group >> 18 & 63];
    out += alphabet[group >> 12 & 63];
    out += rest == 2 ? alphabet[group >> 6 & 63] : '=';
    out += '=';
    return out;
}

namespace {

// The six bits a Base64 character stands for; -1 for any other byte.
int sextet(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::optional<std::string> base64_decode(std::string_view text)
{
    if (text.size() % 4 == 0 && !text.empty() && text.back() == '=') {
        text.remove_suffix(1);
        if (text.back() == '=')
            text.remove_suffix(1);
    }
    // One character left over carries fewer than eight bits: no byte.
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const int value = sextet(c);
        if (value < 0)
            return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>(bits >> count & 0xff);
        }
    }
    if ((bits & ((1u << count) - 1)) != 0)
        return std::nullopt;
    return out;
}
