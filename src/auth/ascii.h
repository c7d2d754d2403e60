// Case-blind comparison and trimming for protocol text (scheme, parameter,
// header and algorithm names, header values). ASCII only: the C library's
// tolower and isspace follow the locale.
#pragma once

#include <cstddef>
#include <string_view>

inline char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

// HTTP's optional white space, and the CR of a line's CR LF.
inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

inline std::string_view trim_blanks(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}
