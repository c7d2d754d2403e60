#include "config/settings.h"

#include "log/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A login the config asks for but can't have ends the start, like a missing
// setting: better than a server whose every tunnel fails.
void check_login()
{
    if (settings.unknown_auth_scheme) {
        fprintf(stderr, "unknown auth-scheme %s (use any, basic, digest, ntlm or negotiate)\n",
                escape_for_log(*settings.unknown_auth_scheme).c_str());
        exit(1);
    }
    const AuthScheme scheme = settings.auth_scheme;
    if ((scheme == AuthScheme::digest || scheme == AuthScheme::ntlm) && !settings.auth) {
        fprintf(stderr, "auth-scheme %s needs an auth line\n", auth_scheme_name(scheme));
        exit(1);
    }
}

}  // namespace

void load_config(const char *path, ConfigUse use)
{
    FILE *stream = fopen(path, "rb");
    if (stream == nullptr) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        exit(1);
    }
    read_config(stream);
    fclose(stream);
    if (settings.allow == Allow::invalid) {
        fputs("allow must be owner or any\n", stderr);
        exit(1);
    }
    const bool server = use == ConfigUse::server;
    if (server ? !config_complete() : !proxy_complete()) {
        fputs("config file incomplete\n", stderr);
        exit(1);
    }
    if (server && server_tunnels().size() > max_tunnels) {
        fprintf(stderr, "too many tunnels: at most %zu\n", max_tunnels);
        exit(1);
    }
    check_login();
}
