#include "config/settings.h"

#include "log/log.h"

#include <cstdlib>
#include <cstring>

namespace {

// A config line holds at most this many bytes; the byte after a full line is
// dropped, whatever it is. Stored config files rely on this rule.
constexpr std::size_t max_config_line = 1023;

// The C locale's white space. Spelled out so that neither the user's locale
// nor the signedness of char can widen it (bytes >= 128 are never white space).
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view skip_space(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    return text.substr(i);
}

void apply_auth_scheme(std::string_view value)
{
    if (const std::optional<AuthScheme> scheme = parse_auth_scheme(value)) {
        settings.auth_scheme = *scheme;
        settings.unknown_auth_scheme.reset();
    } else {
        settings.unknown_auth_scheme = std::string(value);
    }
}

// "LISTEN EXTERNAL", the two separated by blanks. A missing part stays at
// port 0, which the completeness check refuses.
void add_forward(std::string_view value)
{
    std::size_t split = 0;
    while (split < value.size() && !is_space(value[split]))
        ++split;
    Tunnel tunnel;
    std::optional<std::string> host;
    split_host_port(value.substr(0, split), host, tunnel.listen_port);
    tunnel.listen_host = host.value_or("");
    const std::string_view external = skip_space(value.substr(split));
    if (!external.empty()) {
        split_host_port(external, host, tunnel.external_port);
        tunnel.external_host = host.value_or("");
    }
    settings.forwards.push_back(std::move(tunnel));
}

Allow parse_allow(std::string_view value)
{
    if (value == "owner")
        return Allow::owner;
    return value == "any" ? Allow::any : Allow::invalid;
}

void apply_setting(std::string_view key, std::string_view value)
{
    if (key == "auth") {
        settings.auth_token = base64_encode(value);
        settings.auth = std::string(value);
    } else if (key == "auth-scheme")
        apply_auth_scheme(value);
    else if (key == "listen")
        split_host_port(value, settings.listen_host, settings.listen_port);
    else if (key == "proxy")
        split_host_port(value, settings.proxy_host, settings.proxy_port);
    else if (key == "external")
        split_host_port(value, settings.external_host, settings.external_port);
    else if (key == "forward")
        add_forward(value);
    else if (key == "allow")
        settings.allow = parse_allow(value);
    else
        // Escaped: a key may hold terminal control sequences.
        fprintf(stderr, "unknown option %s\n", escape_for_log(key).c_str());
}

// `line` is a whole line without its line feed; it is never empty here.
void apply_line(std::string_view line)
{
    // A zero byte ends the line's text.
    line = line.substr(0, line.find('\0'));
    if (!line.empty() && line.front() == '#')
        return;
    const std::string_view rest = skip_space(line);
    std::size_t key_end = 0;
    while (key_end < rest.size() && !is_space(rest[key_end]))
        ++key_end;
    const std::string_view key = rest.substr(0, key_end);
    const std::string_view value =
        key_end < rest.size() ? skip_space(rest.substr(key_end + 1)) : std::string_view{};
    apply_setting(key, value);
}

}  // namespace

int32_t parse_port(std::string_view text)
{
    const std::string copy(text);
    const long long value = strtoll(copy.c_str(), nullptr, 10);
    // Keep the low 32 bits, as the C library's atoi does, without overflowing.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

void split_host_port(std::string_view value, std::optional<std::string> &host, int32_t &port)
{
    const std::size_t colon = value.find(':');
    if (colon == std::string_view::npos) {
        host = std::string(value);
        port = 0;
        return;
    }
    host = std::string(value.substr(0, colon));
    port = parse_port(value.substr(colon + 1));
}

void read_config(FILE *stream)
{
    char line[max_config_line];
    std::size_t length = 0;
    for (int c; (c = getc(stream)) != EOF;) {
        if (c != '\n') {
            line[length++] = static_cast<char>(c);
            if (length < max_config_line)
                continue;
            getc(stream);  // the byte after a full line is dropped
        }
        if (length > 0)
            apply_line(std::string_view(line, length));
        length = 0;
    }
    // A last line without its line feed is not taken.
}
