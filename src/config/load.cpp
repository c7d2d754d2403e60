#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

void load_config(const char *path)
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
    if (!config_complete()) {
        fputs("config file incomplete\n", stderr);
        exit(1);
    }
}
