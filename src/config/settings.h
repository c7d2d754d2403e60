// The configuration record and the functions that fill it from the config file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// Who may use the tunnel: the user the server runs as, or every local user.
// `invalid` stands for any other value, which ends the start.
enum class Allow { owner, any, invalid };

struct Settings {
    std::optional<std::string> listen_host;
    std::optional<std::string> proxy_host;
    std::optional<std::string> external_host;
    std::optional<std::string> auth_token;  // Base64 of the `auth` value
    int32_t listen_port = 0;                // 0 means not set
    int32_t proxy_port = 0;
    int32_t external_port = 0;
    Allow allow = Allow::owner;
};

// One instance per process, filled once at start-up and read-only afterwards.
extern Settings settings;

// Forgets every setting (no text, port 0).
void clear_settings();

// Reads the config stream to its end and fills `settings`. Never fails.
void read_config(FILE *stream);

// Splits "host:port" at the first colon. Without a colon the whole value is
// the host and the port is 0.
void split_host_port(std::string_view value, std::optional<std::string> &host, int32_t &port);

// Reads a port text the way atoi does (leading white space, optional sign,
// digits up to the first other byte, 0 without digits), keeping the low 32
// bits of a number that does not fit.
int32_t parse_port(std::string_view text);

// The Base64 form (standard alphabet, with padding) of the text's bytes.
std::string base64_encode(std::string_view text);

// True when every host has been set and every port is non-zero.
bool config_complete();

// Opens, reads and checks the config file; on failure writes the reason to
// standard error and ends the process with status 1.
void load_config(const char *path);
