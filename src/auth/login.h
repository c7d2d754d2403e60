// One client connection's login with the proxy: which scheme answers a 407,
// and the Proxy-Authorization value of the next request. Nothing here touches
// a socket; the handshake sends what this decides.
#pragma once

#include "auth/challenge.h"
#include "auth/gssapi.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Login {
    enum class Step { none, basic, kerberos, ntlm_negotiate, ntlm_authenticate, digest };
    Step step = Step::none;
    std::string ntlm_scheme;         // "NTLM" or "Negotiate": the name NTLM's messages go under
    bool ntlm_renamed = false;       // the first message was sent again under the other name
    bool digest_retried = false;     // a stale nonce has had its one retry
    bool kerberos_tried = false;     // a first Kerberos token was asked for
    KerberosLogin kerberos;
    std::vector<std::string> tried;  // what was sent, in order, for the log
    std::string failure;             // why the login can't go on
};

// True when the first request is the plain one (with the Basic credential
// when `auth` is set), as under `auth-scheme any` and `basic`.
bool first_request_is_plain(Login &login);

// The Proxy-Authorization value of a pinned scheme's first request; "" when
// it carries none (Digest needs the proxy's challenge first). nullopt when
// no login can be made (no Kerberos token and no auth line), with the reason
// in login.failure.
std::optional<std::string> first_authorization(Login &login);

// True when a 407 may be answered at all: not under `auth-scheme basic`.
bool login_answers_refusals();

// The value that answers the 407's challenges, for the request to `target`
// (host:port). `same_connection` says whether that request can go on the
// connection the challenge came on. nullopt when the login can't go on, with
// the reason in login.failure.
std::optional<std::string> answer_challenges(Login &login, const std::vector<Challenge> &challenges,
                                             bool same_connection, std::string_view target);

// True when the request in flight is bound to its connection: NTLM's answer
// to its challenge, or a Kerberos token (which a proxy must not see twice).
bool login_needs_same_connection(const Login &login);

// Ends the login: frees what the Kerberos library holds for it.
void end_login(Login &login);

// "NTLM, Basic": the schemes the challenges name, each once, in order.
std::string offered_schemes(const std::vector<Challenge> &challenges);
