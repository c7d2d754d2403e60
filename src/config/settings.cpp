#include "config/settings.h"

#include <utility>

Settings settings;

void clear_settings()
{
    settings = Settings{};
}

bool config_complete()
{
    return settings.listen_host && settings.proxy_host && settings.external_host &&
           settings.listen_port != 0 && settings.proxy_port != 0 && settings.external_port != 0;
}

namespace {

constexpr std::pair<AuthScheme, const char *> scheme_names[] = {
    {AuthScheme::any, "any"},
    {AuthScheme::basic, "basic"},
    {AuthScheme::digest, "digest"},
    {AuthScheme::ntlm, "ntlm"},
};

}  // namespace

std::optional<AuthScheme> parse_auth_scheme(std::string_view value)
{
    // A CR LF file or a trailing blank must not turn a known name unknown.
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
        value.remove_suffix(1);
    for (const auto &[scheme, name] : scheme_names)
        if (value == name)
            return scheme;
    return std::nullopt;
}

const char *auth_scheme_name(AuthScheme scheme)
{
    for (const auto &[known, name] : scheme_names)
        if (known == scheme)
            return name;
    return "any";
}
