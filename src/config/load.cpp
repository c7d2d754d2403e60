#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

void load_config(const char *path, ConfigUse use)
{
    FILE *stream = fopen(path, "rb");
    if (stream == nullptr) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        exit(1);
    }
    read_config(stream);
    fclose(stream);
    const bool server = use == ConfigUse::server;
    if (server ? !config_complete() : !proxy_complete()) {
        fputs("config file incomplete\n", stderr);
        exit(1);
    }
    if (server && server_tunnels().size() > max_tunnels) {
        fprintf(stderr, "too many tunnels: at most %zu\n", max_tunnels);
        exit(1);
    }
}
