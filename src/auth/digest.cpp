#include "auth/digest.h"

#include "auth/ascii.h"
#include "auth/hash.h"
#include "auth/random.h"

#include <cstdint>
#include <initializer_list>

namespace {

constexpr std::string_view scheme_prefix = "Digest ";
constexpr std::string_view connect_method = "CONNECT";
// Each answer is a nonce's first use: after stale=true the new nonce starts
// the count again.
constexpr std::string_view first_use = "00000001";
constexpr std::size_t cnonce_bytes = 16;

struct AlgorithmName {
    std::string_view name;
    DigestAlgorithm algorithm;
};

constexpr AlgorithmName algorithm_names[] = {
    {"MD5", DigestAlgorithm::md5},
    {"MD5-sess", DigestAlgorithm::md5_sess},
    {"SHA-256", DigestAlgorithm::sha256},
    {"SHA-256-sess", DigestAlgorithm::sha256_sess},
};

bool is_session_variant(DigestAlgorithm algorithm)
{
    return algorithm == DigestAlgorithm::md5_sess || algorithm == DigestAlgorithm::sha256_sess;
}

std::optional<DigestAlgorithm> algorithm_named(std::string_view name)
{
    for (const auto &known : algorithm_names) {
        if (equal_ignoring_case(name, known.name))
            return known.algorithm;
    }
    return std::nullopt;
}

// qop's value is a comma-separated list of tokens ("auth,auth-int").
bool offers_auth(std::string_view list)
{
    for (;;) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (equal_ignoring_case(item, "auth"))
            return true;
        if (comma == std::string_view::npos)
            return false;
        list.remove_prefix(comma + 1);
    }
}

std::string hash_hex(DigestAlgorithm algorithm, std::string_view text)
{
    if (algorithm == DigestAlgorithm::sha256 || algorithm == DigestAlgorithm::sha256_sess) {
        const Digest32 digest = sha256(text);
        return to_hex(digest.data(), digest.size());
    }
    const Digest16 digest = md5(text);
    return to_hex(digest.data(), digest.size());
}

std::string colon_joined(std::initializer_list<std::string_view> parts)
{
    std::string out;
    bool first = true;
    for (const std::string_view part : parts) {
        if (!first)
            out += ':';
        out += part;
        first = false;
    }
    return out;
}

// Parameters follow the scheme and each other with ", ".
void start_param(std::string &out, std::string_view name)
{
    if (out.size() > scheme_prefix.size())
        out += ", ";
    out += name;
}

// A quoted-string with `"` and `\` escaped. Control bytes other than tab have
// no quoted form; they are left out so that the request keeps its lines
// whatever the proxy or the config held (such an answer cannot verify).
void append_quoted(std::string &out, std::string_view name, std::string_view value)
{
    start_param(out, name);
    out += "=\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f)
            continue;
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

void append_token(std::string &out, std::string_view name, std::string_view value)
{
    start_param(out, name);
    out += '=';
    out += value;
}

}  // namespace

std::optional<DigestAlgorithm> digest_algorithm(const Challenge &challenge)
{
    if (!scheme_is(challenge, "Digest") || !challenge_param(challenge, "nonce"))
        return std::nullopt;
    const std::optional<std::string_view> name = challenge_param(challenge, "algorithm");
    const std::optional<DigestAlgorithm> algorithm = name ? algorithm_named(*name) : DigestAlgorithm::md5;
    if (!algorithm)
        return std::nullopt;
    const std::optional<std::string_view> qop = challenge_param(challenge, "qop");
    if (qop ? !offers_auth(*qop) : is_session_variant(*algorithm))
        return std::nullopt;
    return algorithm;
}

std::string digest_response(DigestAlgorithm algorithm, std::string_view user, std::string_view realm,
                            std::string_view password, std::string_view method, std::string_view uri,
                            std::string_view nonce, std::string_view nc, std::string_view cnonce,
                            std::string_view qop)
{
    std::string ha1 = hash_hex(algorithm, colon_joined({user, realm, password}));
    if (is_session_variant(algorithm))
        ha1 = hash_hex(algorithm, colon_joined({ha1, nonce, cnonce}));
    const std::string ha2 = hash_hex(algorithm, colon_joined({method, uri}));
    if (qop.empty())
        return hash_hex(algorithm, colon_joined({ha1, nonce, ha2}));
    return hash_hex(algorithm, colon_joined({ha1, nonce, nc, cnonce, qop, ha2}));
}

std::string digest_authorization(const Challenge &challenge, std::string_view user, std::string_view password,
                                 std::string_view uri, std::string_view cnonce)
{
    const DigestAlgorithm algorithm = *digest_algorithm(challenge);
    const std::string_view realm = challenge_param(challenge, "realm").value_or("");
    const std::string_view nonce = *challenge_param(challenge, "nonce");
    const std::string_view qop = challenge_param(challenge, "qop") ? "auth" : "";
    const std::string response =
        digest_response(algorithm, user, realm, password, connect_method, uri, nonce, first_use, cnonce, qop);

    std::string out(scheme_prefix);
    append_quoted(out, "username", user);
    append_quoted(out, "realm", realm);
    append_quoted(out, "nonce", nonce);
    append_quoted(out, "uri", uri);
    append_quoted(out, "response", response);
    // Named back only when the proxy named it: some servers refuse an
    // algorithm=MD5 they did not send.
    if (const auto name = challenge_param(challenge, "algorithm"))
        append_token(out, "algorithm", *name);
    if (!qop.empty()) {
        append_token(out, "qop", qop);
        append_token(out, "nc", first_use);
        append_quoted(out, "cnonce", cnonce);
    }
    if (const auto opaque = challenge_param(challenge, "opaque"))
        append_quoted(out, "opaque", *opaque);
    return out;
}

bool digest_stale(const Challenge &challenge)
{
    const std::optional<std::string_view> stale = challenge_param(challenge, "stale");
    return stale && equal_ignoring_case(*stale, "true");
}

std::optional<std::string> digest_cnonce()
{
    uint8_t bytes[cnonce_bytes];
    if (!random_bytes(bytes, sizeof bytes))
        return std::nullopt;
    return to_hex(bytes, sizeof bytes);
}
