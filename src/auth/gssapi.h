// Kerberos single sign-on for a proxy's Negotiate: SPNEGO tokens from the
// user's own ticket, through a GSSAPI library loaded at run time, so that one
// binary runs where no Kerberos library is installed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Loads the system's GSSAPI library, once: MIT's, Heimdal's or Apple's
// GSS.framework, the first that loads with every function a login needs.
// Called by the server at start-up; its connection processes inherit it.
void load_gssapi();

// One line for the banner: "kerberos <library>", or "kerberos none (<why>)".
std::string gssapi_banner();

// True once a library is loaded.
bool gssapi_available();

// One login's GSS context, from its first token to kerberos_end().
struct KerberosLogin {
    void *context = nullptr;
    bool started = false;  // the first token has been made
};

// The next token of a Negotiate login to proxy_host, raw (not Base64).
// The first call takes an empty input_token and starts the login to the
// service HTTP@<proxy_host>; later calls continue with the proxy's token,
// and one with none (a bare Negotiate after ours) fails as a refusal. An
// empty token means the library has nothing more to send. Asks for no
// delegation and no mutual authentication, and the login may end with the
// context incomplete (a proxy's 200 ends it). The ticket cache is read at
// each login. On failure, nullopt, and `error` holds the library's texts for
// the major and minor status: "no credentials", "server not found" and an
// expired ticket read differently. They may quote the host: escape them for
// the log.
std::optional<std::string> kerberos_token(KerberosLogin &login, std::string_view proxy_host,
                                          std::string_view input_token, std::string &error);

// Ends the login: deletes its context, if any.
void kerberos_end(KerberosLogin &login);

// True when host is an IP address rather than a name: Kerberos services are
// named after their host names.
bool host_is_ip_address(std::string_view host);
