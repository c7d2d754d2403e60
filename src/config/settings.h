// The configuration record and the functions that fill it from the config file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Every listener and the wake-up pipe must fit one select.
inline constexpr std::size_t max_tunnels = 64;

// One listener and the far end its connections are tunnelled to.
struct Tunnel {
    std::string listen_host;
    int32_t listen_port = 0;
    std::string external_host;
    int32_t external_port = 0;  // 0 also when the line had no far end
};

// Which login the handshake may use with the proxy.
enum class AuthScheme {
    any,     // today's first request, then the strongest scheme a 407 offers
    basic,   // the Basic credential on the first request, nothing more
    digest,  // these two never send Basic: the password never crosses readable
    ntlm,
    negotiate,  // Kerberos from the user's ticket, else NTLM inside Negotiate; never Basic
};

// Who may use the tunnel: the user the server runs as, or every local user.
// `invalid` stands for any other value, which ends the start.
enum class Allow { owner, any, invalid };

struct Settings {
    std::optional<std::string> listen_host;
    std::optional<std::string> proxy_host;
    std::optional<std::string> external_host;
    std::optional<std::string> auth_token;  // Base64 of the `auth` value
    std::optional<std::string> auth;        // the `auth` value as written
    AuthScheme auth_scheme = AuthScheme::any;
    // An `auth-scheme` value that names no scheme; the start fails on it.
    std::optional<std::string> unknown_auth_scheme;
    int32_t listen_port = 0;                // 0 means not set
    int32_t proxy_port = 0;
    int32_t external_port = 0;
    std::vector<Tunnel> forwards;  // the `forward` lines, in their order
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

// The bytes of Base64 text in the standard alphabet, its padding either left
// out or complete. Nothing else is accepted: no white space, no other
// alphabet, no bits left over in the last character; nullopt then.
std::optional<std::string> base64_decode(std::string_view text);

// True when the server has a tunnel at all and every one it has is whole:
// listen with external (both or neither) and each forward line, every port
// non-zero, and the proxy.
bool config_complete();

// True when the proxy has been set with a non-zero port: all that one tunnel
// over the standard streams needs.
bool proxy_complete();

// The server's tunnels: listen with external first, when given, then the
// forward lines in their order.
std::vector<Tunnel> server_tunnels();

// The scheme an `auth-scheme` value names, without trailing white space.
std::optional<AuthScheme> parse_auth_scheme(std::string_view value);

// The name of a scheme as the config spells it.
const char *auth_scheme_name(AuthScheme scheme);

// What the config is read for.
enum class ConfigUse { server, standard_streams };

// Opens, reads and checks the config file for `use`; on failure writes the
// reason to standard error and ends the process with status 1.
void load_config(const char *path, ConfigUse use);
