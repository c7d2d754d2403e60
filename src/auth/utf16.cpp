#include "auth/utf16.h"

#include <cstdint>

namespace {

// One character's worth of UTF-8 read off the front of the text.
struct Decoded {
    char32_t code;
    std::size_t length;
};

// The character at the front of `text` (not empty). A byte that does not start
// a well-formed sequence stands for itself, as Latin-1.
Decoded decode_one(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2, code = lead & 0x1f, minimum = 0x80;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3, code = lead & 0x0f, minimum = 0x800;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4, code = lead & 0x07, minimum = 0x10000;
    if (length == 0 || length > text.size())
        return {lead, 1};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return {lead, 1};
        code = code << 6 | (byte(i) & 0x3f);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return {lead, 1};
    return {code, length};
}

void put_utf16le(std::string &out, char32_t unit)
{
    out += static_cast<char>(unit & 0xff);
    out += static_cast<char>(unit >> 8 & 0xff);
}

void put_utf8(std::string &out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    if (code < 0x800) {
        out += static_cast<char>(0xc0 | code >> 6);
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    }
    out += static_cast<char>(0x80 | (code & 0x3f));
}

// Lower-case letters from `first` to `last`, every `step`th one, and the
// distance to their upper case.
struct CaseRange {
    char32_t first;
    char32_t last;
    char32_t step;
    int32_t delta;
};

constexpr CaseRange case_ranges[] = {
    {0x0061, 0x007a, 1, -32},   // a-z
    {0x00e0, 0x00f6, 1, -32},   // Latin-1 letters before the division sign
    {0x00f8, 0x00fe, 1, -32},   // and after it
    {0x00ff, 0x00ff, 1, 0x79},  // y with diaeresis: its capital is in Latin Extended-A
    {0x0101, 0x012f, 2, -1},    // Latin Extended-A: capital and small letter side by side
    {0x0133, 0x0137, 2, -1},
    {0x013a, 0x0148, 2, -1},
    {0x014b, 0x0177, 2, -1},
    {0x017a, 0x017e, 2, -1},
    {0x03b1, 0x03c1, 1, -32},   // Greek alpha-rho
    {0x03c2, 0x03c2, 1, -31},   // final sigma: capital sigma
    {0x03c3, 0x03cb, 1, -32},   // sigma-upsilon with dialytika
    {0x0430, 0x044f, 1, -32},   // Cyrillic a-ya
    {0x0450, 0x045f, 1, -80},   // Cyrillic ie with grave-dzhe
};

char32_t upper_of(char32_t code)
{
    for (const CaseRange &range : case_ranges)
        if (code >= range.first && code <= range.last && (code - range.first) % range.step == 0)
            return static_cast<char32_t>(static_cast<int32_t>(code) + range.delta);
    return code;
}

}  // namespace

std::string utf16le(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() * 2);
    while (!utf8.empty()) {
        const Decoded d = decode_one(utf8);
        utf8.remove_prefix(d.length);
        if (d.code < 0x10000) {
            put_utf16le(out, d.code);
        } else {
            put_utf16le(out, 0xd800 + ((d.code - 0x10000) >> 10));
            put_utf16le(out, 0xdc00 + ((d.code - 0x10000) & 0x3ff));
        }
    }
    return out;
}

std::string upper_case(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        const Decoded d = decode_one(utf8);
        utf8.remove_prefix(d.length);
        put_utf8(out, upper_of(d.code));
    }
    return out;
}
