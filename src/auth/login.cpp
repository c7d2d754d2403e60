#include "auth/login.h"

#include "auth/digest.h"
#include "auth/ntlm.h"
#include "auth/random.h"
#include "config/settings.h"
#include "log/log.h"

#include <array>

namespace {

constexpr const char *ntlm_name = "NTLM";
constexpr const char *negotiate_name = "Negotiate";

struct Credentials {
    std::string user;
    std::string password;
};

Credentials credentials()
{
    const std::string &auth = settings.auth.value_or("");
    const std::size_t colon = auth.find(':');
    if (colon == std::string::npos)
        return {auth, ""};
    return {auth.substr(0, colon), auth.substr(colon + 1)};
}

const Challenge *find_scheme(const std::vector<Challenge> &challenges, std::string_view name)
{
    for (const Challenge &challenge : challenges)
        if (scheme_is(challenge, name))
            return &challenge;
    return nullptr;
}

// SHA-256 before MD5; among equals, the proxy's order.
int digest_strength(const Challenge &challenge)
{
    const std::optional<DigestAlgorithm> algorithm = digest_algorithm(challenge);
    if (!algorithm)
        return 0;
    return *algorithm == DigestAlgorithm::sha256 || *algorithm == DigestAlgorithm::sha256_sess ? 2 : 1;
}

const Challenge *strongest_digest(const std::vector<Challenge> &challenges)
{
    const Challenge *best = nullptr;
    for (const Challenge &challenge : challenges)
        if (scheme_is(challenge, "Digest") && digest_strength(challenge) > 0 &&
            (best == nullptr || digest_strength(challenge) > digest_strength(*best)))
            best = &challenge;
    return best;
}

std::optional<std::string> fail(Login &login, const char *why)
{
    login.failure = why;
    return std::nullopt;
}

std::string ntlm_negotiate(Login &login, const char *name)
{
    login.step = Login::Step::ntlm_negotiate;
    login.ntlm_scheme = name;
    if (login.tried.empty() || login.tried.back() != "NTLM")
        login.tried.push_back("NTLM");
    return std::string(name) + " " + base64_encode(ntlm_negotiate_message());
}

std::optional<std::string> ntlm_authenticate(Login &login, const Challenge &challenge, bool same_connection)
{
    const std::optional<std::string> message = base64_decode(challenge.token68);
    const std::optional<NtlmChallenge> decoded =
        message ? decode_ntlm_challenge(*message) : std::optional<NtlmChallenge>{};
    if (!decoded)
        return fail(login, "malformed NTLM challenge");
    if (!same_connection)
        return fail(login, "the proxy closed the connection after its NTLM challenge");
    std::array<uint8_t, 8> client_challenge{};
    if (!random_bytes(client_challenge.data(), client_challenge.size()))
        return fail(login, "no random bytes for the NTLM answer");
    const std::string answer = ntlm_authenticate_message(*decoded, ntlm_user(settings.auth.value_or("")),
                                                         filetime_now(), client_challenge);
    if (answer.empty())
        return fail(login, "the auth line is too long for NTLM");
    login.step = Login::Step::ntlm_authenticate;
    return login.ntlm_scheme + " " + base64_encode(answer);
}

// The answer to a 407 after NTLM's first message: its challenge, or, where
// the proxy knows NTLM only inside Negotiate (or the reverse), the first
// message once more under the name it offers.
std::optional<std::string> continue_ntlm(Login &login, const std::vector<Challenge> &challenges,
                                         bool same_connection)
{
    const Challenge *mine = find_scheme(challenges, login.ntlm_scheme);
    if (mine != nullptr && !mine->token68.empty())
        return ntlm_authenticate(login, *mine, same_connection);
    const char *other = login.ntlm_scheme == ntlm_name ? negotiate_name : ntlm_name;
    if (mine == nullptr && !login.ntlm_renamed && find_scheme(challenges, other) != nullptr) {
        login.ntlm_renamed = true;
        return ntlm_negotiate(login, other);
    }
    return fail(login, "the proxy sent no NTLM challenge");
}

std::optional<std::string> digest_answer(Login &login, const Challenge &challenge, std::string_view target)
{
    const std::optional<std::string> cnonce = digest_cnonce();
    if (!cnonce)
        return fail(login, "no random bytes for the Digest answer");
    const Credentials c = credentials();
    if (login.step != Login::Step::digest)
        login.tried.push_back("Digest");
    login.step = Login::Step::digest;
    return digest_authorization(challenge, c.user, c.password, target, *cnonce);
}

// A 407 after our Digest answer: only a stale nonce gets another try.
std::optional<std::string> continue_digest(Login &login, const std::vector<Challenge> &challenges,
                                           std::string_view target)
{
    const Challenge *challenge = strongest_digest(challenges);
    if (challenge == nullptr || !digest_stale(*challenge) || login.digest_retried)
        return fail(login, "credentials refused");
    login.digest_retried = true;
    return digest_answer(login, *challenge, target);
}

// Kerberos names the proxy's service after its host name; an address finds
// no such service, so the user is told before the library says "not found".
void warn_about_address(std::string_view host)
{
    if (host_is_ip_address(host))
        log_msg("Kerberos needs the proxy's host name, not the address %s", escape_for_log(host).c_str());
}

// The user's first Kerberos token for the proxy, or nullopt when none can
// be made (no library, no ticket, no such service), with the library's words
// in the log: the next scheme may then follow.
std::optional<std::string> kerberos_start(Login &login)
{
    login.kerberos_tried = true;
    const std::string host = settings.proxy_host.value_or("");
    warn_about_address(host);
    std::string error;
    const std::optional<std::string> token = kerberos_token(login.kerberos, host, "", error);
    if (!token || token->empty()) {
        log_msg("no Kerberos token for HTTP@%s: %s", escape_for_log(host).c_str(),
                escape_for_log(error.empty() ? "the library gave none" : error).c_str());
        return std::nullopt;
    }
    login.step = Login::Step::kerberos;
    login.tried.push_back("Kerberos");
    return "Negotiate " + base64_encode(*token);
}

// A 407 after our Kerberos token: a token of the proxy's continues the
// login; a bare Negotiate is its refusal.
std::optional<std::string> continue_kerberos(Login &login, const std::vector<Challenge> &challenges,
                                             bool same_connection)
{
    const Challenge *negotiate = find_scheme(challenges, negotiate_name);
    if (negotiate == nullptr || negotiate->token68.empty())
        return fail(login, "the proxy refused the Kerberos ticket");
    const std::optional<std::string> input = base64_decode(negotiate->token68);
    if (!input)
        return fail(login, "malformed Negotiate token");
    if (!same_connection)
        return fail(login, "the proxy closed the connection during the Kerberos login");
    std::string error;
    const std::optional<std::string> token =
        kerberos_token(login.kerberos, settings.proxy_host.value_or(""), *input, error);
    if (!token || token->empty()) {
        log_msg("Kerberos: %s", escape_for_log(error.empty() ? "the library has nothing more to send" : error).c_str());
        return fail(login, "the proxy refused the Kerberos ticket");
    }
    return "Negotiate " + base64_encode(*token);
}

bool allows(AuthScheme scheme)
{
    return settings.auth_scheme == AuthScheme::any || settings.auth_scheme == scheme;
}

// NTLM may go inside Negotiate also where Negotiate is pinned: that is how
// Windows clients without a ticket answer it.
bool allows_ntlm_as_negotiate()
{
    return allows(AuthScheme::ntlm) || settings.auth_scheme == AuthScheme::negotiate;
}

// The first answer to the proxy's challenges: the strongest scheme it offers
// that this login may use.
std::optional<std::string> choose_scheme(Login &login, const std::vector<Challenge> &challenges,
                                         std::string_view target)
{
    if (allows(AuthScheme::negotiate) && !login.kerberos_tried && find_scheme(challenges, negotiate_name) != nullptr)
        if (std::optional<std::string> token = kerberos_start(login))
            return token;
    if (!settings.auth)
        return fail(login, "no auth line in the config");
    if (allows(AuthScheme::ntlm) && find_scheme(challenges, ntlm_name) != nullptr)
        return ntlm_negotiate(login, ntlm_name);
    if (allows_ntlm_as_negotiate() && find_scheme(challenges, negotiate_name) != nullptr)
        return ntlm_negotiate(login, negotiate_name);
    if (const Challenge *digest = strongest_digest(challenges); digest != nullptr && allows(AuthScheme::digest))
        return digest_answer(login, *digest, target);
    if (settings.auth_scheme == AuthScheme::any && find_scheme(challenges, "Basic") != nullptr) {
        if (login.step == Login::Step::basic)
            return fail(login, "credentials refused");
        login.step = Login::Step::basic;
        login.tried.push_back("Basic");
        return "Basic " + settings.auth_token.value_or("");
    }
    if (settings.auth_scheme == AuthScheme::any)
        return fail(login, "no scheme tarnwick can answer");
    switch (settings.auth_scheme) {
    case AuthScheme::ntlm:
        return fail(login, "auth-scheme ntlm allows none of them");
    case AuthScheme::negotiate:
        return fail(login, "auth-scheme negotiate allows none of them");
    default:
        return fail(login, "auth-scheme digest allows none of them");
    }
}

}  // namespace

bool first_request_is_plain(Login &login)
{
    if (settings.auth_scheme != AuthScheme::any && settings.auth_scheme != AuthScheme::basic)
        return false;
    if (settings.auth_token) {
        login.step = Login::Step::basic;
        login.tried.push_back("Basic");
    }
    return true;
}

std::optional<std::string> first_authorization(Login &login)
{
    if (settings.auth_scheme == AuthScheme::ntlm)
        return ntlm_negotiate(login, ntlm_name);
    if (settings.auth_scheme != AuthScheme::negotiate)
        return "";
    if (std::optional<std::string> token = kerberos_start(login))
        return token;
    if (!settings.auth)
        return fail(login, "no Kerberos token, and no auth line for NTLM");
    return ntlm_negotiate(login, negotiate_name);
}

bool login_answers_refusals()
{
    return settings.auth_scheme != AuthScheme::basic;
}

std::optional<std::string> answer_challenges(Login &login, const std::vector<Challenge> &challenges,
                                             bool same_connection, std::string_view target)
{
    switch (login.step) {
    case Login::Step::kerberos:
        return continue_kerberos(login, challenges, same_connection);
    case Login::Step::ntlm_negotiate:
        return continue_ntlm(login, challenges, same_connection);
    case Login::Step::ntlm_authenticate:
        return fail(login, "credentials refused");
    case Login::Step::digest:
        return continue_digest(login, challenges, target);
    case Login::Step::none:
    case Login::Step::basic:
        break;
    }
    return choose_scheme(login, challenges, target);
}

bool login_needs_same_connection(const Login &login)
{
    return login.step == Login::Step::ntlm_authenticate || login.step == Login::Step::kerberos;
}

void end_login(Login &login)
{
    kerberos_end(login.kerberos);
}

std::string offered_schemes(const std::vector<Challenge> &challenges)
{
    std::vector<std::string_view> names;
    std::string text;
    for (const Challenge &challenge : challenges) {
        bool seen = false;
        for (const std::string_view name : names)
            seen = seen || name == challenge.scheme;
        if (seen)
            continue;
        names.push_back(challenge.scheme);
        text += (text.empty() ? "" : ", ") + challenge.scheme;
    }
    return text;
}
