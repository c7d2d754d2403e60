#include "log/log.h"

std::string escape_for_log(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // The backslash too: a literal \x0A must not read as an escaped line feed.
        if (byte >= 0x20 && byte < 0x7f && c != '\\') {
            out += c;
            continue;
        }
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}
