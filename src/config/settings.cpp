#include "config/settings.h"

#include <utility>

Settings settings;

void clear_settings()
{
    settings = Settings{};
}

namespace {

bool tunnel_complete(const Tunnel &tunnel)
{
    return tunnel.listen_port != 0 && tunnel.external_port != 0;
}

}  // namespace

bool proxy_complete()
{
    return settings.proxy_host && settings.proxy_port != 0;
}

// The listen and external pair is optional beside forward lines, but never
// half there.
bool config_complete()
{
    const bool pair_given = settings.listen_host || settings.external_host;
    if (pair_given && !(settings.listen_host && settings.external_host))
        return false;
    if (!pair_given && settings.forwards.empty())
        return false;
    for (const Tunnel &tunnel : server_tunnels())
        if (!tunnel_complete(tunnel))
            return false;
    return proxy_complete();
}

std::vector<Tunnel> server_tunnels()
{
    std::vector<Tunnel> tunnels;
    if (settings.listen_host && settings.external_host)
        tunnels.push_back({*settings.listen_host, settings.listen_port, *settings.external_host,
                           settings.external_port});
    tunnels.insert(tunnels.end(), settings.forwards.begin(), settings.forwards.end());
    return tunnels;
}

namespace {

constexpr std::pair<AuthScheme, const char *> scheme_names[] = {
    {AuthScheme::any, "any"},
    {AuthScheme::basic, "basic"},
    {AuthScheme::digest, "digest"},
    {AuthScheme::ntlm, "ntlm"},
    {AuthScheme::negotiate, "negotiate"},
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
