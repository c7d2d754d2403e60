#include "config/settings.h"

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
