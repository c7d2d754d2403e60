// The challenges of a 407's Proxy-Authenticate values (RFC 9110 11.2-11.3,
// 5.6). The proxy chose every byte: anything that does not fit the grammar is
// passed over, one list element at a time, and the rest is still read.
#include "auth/challenge.h"

#include "auth/ascii.h"

#include <cstring>

namespace {

bool is_tchar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool is_token68_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("-._~+/", c) != nullptr);
}

bool is_space(char c)
{
    return c == ' ' || c == '\t';
}

void skip_space(std::string_view &text)
{
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
}

// The leading token of `text`, which is left holding what follows it.
std::string_view take_token(std::string_view &text)
{
    std::size_t n = 0;
    while (n < text.size() && is_tchar(text[n]))
        ++n;
    const std::string_view token = text.substr(0, n);
    text.remove_prefix(n);
    return token;
}

// The list elements of one value: split at the commas outside quoted strings,
// each trimmed. Every value starts outside quotes, so that a quote left open
// by one line cannot swallow the challenges of the next.
std::vector<std::string_view> split_elements(std::string_view value)
{
    std::vector<std::string_view> elements;
    bool quoted = false;
    bool escaped = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (escaped)
            escaped = false;
        else if (quoted && c == '\\')
            escaped = true;
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted) {
            elements.push_back(trim_blanks(value.substr(start, i - start)));
            start = i + 1;
        }
    }
    elements.push_back(trim_blanks(value.substr(start)));
    return elements;
}

// A quoted-string at the front of `text`, its quoted-pairs resolved. Control
// bytes are refused: a value such as Digest's opaque goes back to the proxy
// in our next request, and must not be able to carry a line break or a NUL.
std::optional<std::string> take_quoted(std::string_view &text)
{
    if (text.empty() || text.front() != '"')
        return std::nullopt;
    std::string value;
    for (std::size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return value;
        }
        if (c == '\\') {
            if (++i == text.size())
                break;
            c = text[i];
        }
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            return std::nullopt;
        value += c;
    }
    return std::nullopt;
}

// `text` as a whole is `token BWS "=" BWS (token / quoted-string)`.
std::optional<std::pair<std::string, std::string>> parse_param(std::string_view text)
{
    std::string name(take_token(text));
    skip_space(text);
    if (name.empty() || text.empty() || text.front() != '=')
        return std::nullopt;
    text.remove_prefix(1);
    skip_space(text);
    std::optional<std::string> value;
    if (!text.empty() && text.front() == '"')
        value = take_quoted(text);
    else if (const std::string_view token = take_token(text); !token.empty())
        value = std::string(token);
    if (!value || !trim_blanks(text).empty())
        return std::nullopt;
    for (char &c : name)
        c = ascii_lower(c);
    return std::pair{std::move(name), std::move(*value)};
}

// `[A-Za-z0-9-._~+/]+ =*`, the whole of `text`.
bool is_token68(std::string_view text)
{
    std::size_t n = 0;
    while (n < text.size() && is_token68_char(text[n]))
        ++n;
    if (n == 0)
        return false;
    while (n < text.size() && text[n] == '=')
        ++n;
    return n == text.size();
}

void add_param(Challenge &challenge, std::pair<std::string, std::string> param)
{
    for (const auto &[name, value] : challenge.params)
        if (name == param.first)
            return;
    challenge.params.push_back(std::move(param));
}

// One list element: the start of a challenge (`scheme`, `scheme token68`,
// `scheme param`) or a further parameter of the challenge before it.
void read_element(std::string_view element, std::vector<Challenge> &challenges)
{
    std::string_view rest = element;
    const std::string_view name = take_token(rest);
    std::string_view after = rest;
    skip_space(after);
    if (name.empty())
        return;
    if (!after.empty() && after.front() == '=') {
        // A token68 stands alone: parameters after one have nothing to belong to.
        if (challenges.empty() || !challenges.back().token68.empty())
            return;
        if (auto param = parse_param(element))
            add_param(challenges.back(), std::move(*param));
        return;
    }
    if (!rest.empty() && !is_space(rest.front()))
        return;
    Challenge challenge;
    challenge.scheme = std::string(name);
    if (is_token68(after))
        challenge.token68 = std::string(after);
    else if (auto param = parse_param(after))
        add_param(challenge, std::move(*param));
    challenges.push_back(std::move(challenge));
}

}  // namespace

std::vector<Challenge> parse_challenges(const std::vector<std::string> &values)
{
    // The lines of a repeated header are one list (RFC 9110 5.3): a parameter
    // at the start of a line still belongs to the challenge before it.
    std::vector<Challenge> challenges;
    for (const std::string &value : values)
        for (const std::string_view element : split_elements(value))
            if (!element.empty())
                read_element(element, challenges);
    return challenges;
}
