// A proxy's 407 answered with a login, end to end: real squids with their
// NTLM, Digest and Basic helpers, and the scripted proxy for the answers that
// no real one gives on demand. Whatever the proxy does, the connection ends
// with a line that says why, its process exits 0 and the server serves on.

#include "tunnel/e2e.h"

#include "config/settings.h"

namespace {

using namespace e2e;
using support::AfterReply;
using support::ProxyRound;
using support::ProxyScript;
using support::SquidScheme;

const std::string refused_407 = "proxy refused tunnel: HTTP/1.1 407 Proxy Authentication Required";
const std::string no_tunnel = "handle_client() can't open proxy connection";

std::string config(uint16_t listen, uint16_t proxy, uint16_t far_end, const std::string &auth,
                   const std::string &scheme = "") {
    std::string text = support::config_text(listen, proxy, "127.0.0.1:" + std::to_string(far_end), auth);
    return scheme.empty() ? text : text + "auth-scheme " + scheme + "\n";
}

struct SquidLogin {
    const char *name;
    std::vector<SquidScheme> schemes;
    std::string auth;
    std::string scheme;  // auth-scheme, "" for the default
    bool served;
    std::size_t connections;  // to the proxy, when served
    std::size_t on_last;      // requests on the last of them
};
void PrintTo(const SquidLogin &c, std::ostream *os) { *os << c.name; }

class Squid : public ::testing::TestWithParam<SquidLogin> {};

// squid's NTLM helper takes any password, so the wrong password is Digest's.
// Basic knows only bob here: alice's Basic is refused and NTLM must follow.
TEST_P(Squid, LogsIn) {
    const SquidLogin &c = GetParam();
    support::EchoServer echo;
    Daemon d;
    support::Squid squid;
    ASSERT_TRUE(squid.start(d.box.work.path(), {.schemes = c.schemes,
                                                .connect_ports = {echo.port()},
                                                .users = {{"alice", "secret"}, {"bob", "bobpw"}}}));
    support::Tap tap(squid.port());
    ASSERT_TRUE(d.start(config(d.port, tap.port(), echo.port(), c.auth, c.scheme)));
    Fd client;
    const std::string pid = d.connect(client);
    ASSERT_FALSE(pid.empty()) << d.log();
    if (c.served) {
        EXPECT_TRUE(echoes(client)) << d.log();
        EXPECT_TRUE(d.story(pid, {established(tap.port())}));
        ASSERT_EQ(tap.connections(), c.connections);
        EXPECT_EQ(requests_in(tap.sent(c.connections - 1)), c.on_last);
    } else {
        EXPECT_TRUE(support::wait_closed(client.get()));
        EXPECT_TRUE(d.story(pid, {"proxy offers Digest; tried Basic, Digest; credentials refused", refused_407,
                                  no_tunnel}));
    }
    if (c.scheme == "ntlm" || c.scheme == "digest") {
        for (std::size_t i = 0; i < tap.connections(); ++i)
            EXPECT_EQ(tap.sent(i).find("Basic "), std::string::npos) << "connection " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, Squid,
    ::testing::Values(
        // Basic first, refused; then NTLM's two requests on one new connection.
        SquidLogin{"NtlmAfterBasic", {SquidScheme::ntlm, SquidScheme::basic}, "CORP\\alice:secret", "", true, 2, 2},
        SquidLogin{"NtlmPinned", {SquidScheme::ntlm, SquidScheme::basic}, "CORP\\alice:secret", "ntlm", true, 1, 2},
        SquidLogin{"NtlmInsideNegotiate", {SquidScheme::negotiate}, "alice@corp.example:secret", "ntlm", true, 1, 3},
        SquidLogin{"Digest", {SquidScheme::digest}, "alice:secret", "", true, 2, 1},
        SquidLogin{"DigestPinned", {SquidScheme::digest, SquidScheme::basic}, "alice:secret", "digest", true, 1, 2},
        SquidLogin{"DigestWrongPassword", {SquidScheme::digest}, "alice:wrong", "", false, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// The scripted proxy's answers.
std::string challenge_407(const std::string &lines, const std::string &after = "Content-Length: 0\r\n\r\n") {
    return "HTTP/1.1 407 Proxy Authentication Required\r\n" + lines + after;
}
const std::string squid_type2 = "TlRMTVNTUAACAAAACQAJAK6qqqoGgggAT2uUGwUdLiYAAAAAAAA6AFdPUktHUk9VUA==";
std::string digest_line(const std::string &nonce, bool stale = false) {
    return "Proxy-Authenticate: Digest realm=\"r\", nonce=\"" + nonce + "\", qop=\"auth\"" +
           (stale ? ", stale=true" : "") + "\r\n";
}
bool has(const std::string &request, const std::string &text) { return request.find(text) != std::string::npos; }

// The login's answer to each request: what a proxy does that offers NTLM and
// Digest, grants a Digest answer, and challenges an NTLM one.
std::string ntlm_or_digest(const std::string &request, const std::string &close) {
    if (has(request, "Proxy-Authorization: Digest "))
        return "HTTP/1.1 200 Connection established\r\n\r\n";
    if (has(request, "Proxy-Authorization: NTLM "))
        return challenge_407("Proxy-Authenticate: NTLM " + squid_type2 + "\r\n" + close);
    return challenge_407("Proxy-Authenticate: NTLM\r\n" + digest_line("n1") + close);
}

struct Closing {
    const char *name;
    std::string header;  // what the 407 says of the connection
    std::string scheme;
    std::string logged;  // "" when the tunnel opens
};
void PrintTo(const Closing &c, std::ostream *os) { *os << c.name; }

class ProxyClosesAfterEach407 : public ::testing::TestWithParam<Closing> {};

// Digest's answer may go on a new connection; NTLM's must not, and fails
// once, without a loop.
TEST_P(ProxyClosesAfterEach407, DigestReconnectsNtlmFails) {
    const Closing &c = GetParam();
    // The round and what follows it run on the connection's own thread.
    static thread_local bool granted = false;
    ProxyScript script;
    script.rounds = {ProxyRound{{}, [&](const std::string &request) {
                                    const std::string reply = ntlm_or_digest(request, c.header);
                                    granted = reply.starts_with("HTTP/1.1 200");
                                    return reply;
                                }}};
    script.then = AfterReply::custom;
    script.custom = [](support::Connection &conn) {
        if (granted)
            support::echo_until_closed(conn, [](std::string_view) {});
    };
    support::FakeProxy proxy(script);
    Daemon d;
    ASSERT_TRUE(d.start(config(d.port, proxy.port(), 7, "CORP\\alice:secret", c.scheme)));
    Fd client;
    const std::string pid = d.connect(client);
    ASSERT_FALSE(pid.empty());
    if (c.logged.empty()) {
        EXPECT_TRUE(echoes(client)) << d.log();
        EXPECT_TRUE(d.story(pid, {established(proxy.port())}));
    } else {
        EXPECT_TRUE(support::wait_closed(client.get()));
        EXPECT_TRUE(d.story(pid, {c.logged, refused_407, no_tunnel}));
    }
    EXPECT_LE(proxy.connections(), 3u);
    client.reset();
    EXPECT_TRUE(d.ended_and_serves_on(pid));
}

const std::string ntlm_dropped =
    "proxy offers NTLM; tried Basic, NTLM; the proxy closed the connection after its NTLM challenge";
INSTANTIATE_TEST_SUITE_P(Table, ProxyClosesAfterEach407,
                         ::testing::Values(Closing{"SaysCloseDigest", "Connection: close\r\n", "digest", ""},
                                           Closing{"SilentCloseDigest", "", "digest", ""},
                                           Closing{"SaysCloseNtlm", "Connection: close\r\n", "", ntlm_dropped},
                                           Closing{"SilentCloseNtlm", "", "", ntlm_dropped}),
                         [](const auto &info) { return std::string(info.param.name); });

// A 407's body is read to its end before the next round on the same
// connection: the tunnel's first bytes after the 200 are the far end's, not
// the rest of a body.
TEST(LoginRounds, BodiesAreReadBeforeTheNextRound) {
    const std::string big(80 * 1024, 'b');
    const std::vector<std::pair<std::string, std::string>> bodies = {
        {"chunked", "Transfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n1a\r\n" + std::string(26, 'c') +
                        "\r\n0\r\nX-Trailer: t\r\n\r\n"},
        {"80 KiB", "Content-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big},
    };
    for (const auto &[name, body] : bodies) {
        SCOPED_TRACE(name);
        ProxyScript script;
        script.rounds = {support::proxy_round(challenge_407(digest_line("n1"), body)),
                         support::proxy_round("HTTP/1.1 200 OK\r\n\r\nfar end first")};
        script.then = AfterReply::hold;
        support::FakeProxy proxy(script);
        Daemon d;
        ASSERT_TRUE(d.start(config(d.port, proxy.port(), 7, "alice:secret", "digest")));
        Fd client;
        const std::string pid = d.connect(client);
        EXPECT_EQ(support::read_n(client.get(), 13), "far end first") << d.log();
        EXPECT_EQ(proxy.connections(), 1u);
        EXPECT_TRUE(has(proxy.requests(0).at(1), "Proxy-Authorization: Digest username=\"alice\""));
    }
}

struct Hostile {
    const char *name;
    std::string scheme;
    ProxyRound answer;  // every round's
    std::string logged;
};
void PrintTo(const Hostile &c, std::ostream *os) { *os << c.name; }

std::string ntlm_407(std::string_view message) {
    return challenge_407("Proxy-Authenticate: NTLM " + base64_encode(message) + "\r\n");
}
// A CHALLENGE message: the fixed 48 bytes with TargetInfo at `offset`, then `payload`.
std::string type2(uint32_t info_length, uint32_t offset, const std::string &payload, bool flagged = true) {
    std::string m("NTLMSSP\0\x02\0\0\0", 12);
    m += std::string(8, '\0');  // TargetName
    const uint32_t flags = 0x00088207u | (flagged ? 0x00800000u : 0);
    for (int i = 0; i < 4; ++i)
        m += static_cast<char>(flags >> (8 * i));
    m += "\x01\x23\x45\x67\x89\xab\xcd\xef" + std::string(8, '\0');
    for (const uint32_t v : {info_length, info_length})
        m += {static_cast<char>(v), static_cast<char>(v >> 8)};
    for (int i = 0; i < 4; ++i)
        m += static_cast<char>(offset >> (8 * i));
    return m + payload;
}

class ProxyAnswers : public ::testing::TestWithParam<Hostile> {};

// Answers that make no login: each ends it with its reason, within the bounds.
TEST_P(ProxyAnswers, EndTheLoginWithAReason) {
    const Hostile &c = GetParam();
    ProxyScript script;
    script.rounds = {c.answer};
    script.repeat_last = true;
    support::FakeProxy proxy(script);
    Daemon d;
    ASSERT_TRUE(d.start(config(d.port, proxy.port(), 7, "CORP\\alice:secret", c.scheme)));
    Fd client;
    const std::string pid = d.connect(client);
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(support::wait_closed(client.get(), 10000ms));
    EXPECT_TRUE(d.story(pid, {c.logged, refused_407, no_tunnel}));
    EXPECT_LE(proxy.requests(0).size(), 4u);
    EXPECT_TRUE(d.ended_and_serves_on(pid));
}

const std::string av_name = std::string("\x02\0\x02\0D\0", 6);
INSTANTIATE_TEST_SUITE_P(
    Table, ProxyAnswers,
    ::testing::Values(
        // A fresh challenge every round, for ever: one retry for a stale nonce, then no more.
        Hostile{"FreshStaleDigestForEver", "",
                ProxyRound{{}, [n = 0](const std::string &) mutable {
                               return challenge_407(digest_line("n" + std::to_string(++n), true));
                           }},
                "proxy offers Digest; tried Basic, Digest; credentials refused"},
        Hostile{"FreshNtlmChallengeForEver", "ntlm", support::proxy_round(ntlm_407(type2(0, 48, ""))),
                "proxy offers NTLM; tried NTLM; credentials refused"},
        Hostile{"TruncatedChallenge", "ntlm", support::proxy_round(ntlm_407(type2(0, 48, "").substr(0, 30))),
                "proxy offers NTLM; tried NTLM; malformed NTLM challenge"},
        Hostile{"TargetInfoOutside", "ntlm", support::proxy_round(ntlm_407(type2(64, 48, av_name))),
                "proxy offers NTLM; tried NTLM; malformed NTLM challenge"},
        Hostile{"TargetInfoWrapsAround", "ntlm", support::proxy_round(ntlm_407(type2(16, 0xfffffff8u, av_name))),
                "proxy offers NTLM; tried NTLM; malformed NTLM challenge"},
        Hostile{"AvPairsWithoutTheEnd", "ntlm",
                support::proxy_round(ntlm_407(type2(static_cast<uint32_t>(av_name.size()), 48, av_name))),
                "proxy offers NTLM; tried NTLM; malformed NTLM challenge"},
        Hostile{"NotBase64", "ntlm", support::proxy_round(challenge_407("Proxy-Authenticate: NTLM a===\r\n")),
                "proxy offers NTLM; tried NTLM; malformed NTLM challenge"},
        Hostile{"OnlyUnknownSchemes", "",
                support::proxy_round(challenge_407("Proxy-Authenticate: Bearer realm=\"x\", Mutual\r\n")),
                "proxy offers Bearer, Mutual; tried Basic; no scheme tarnwick can answer"},
        Hostile{"HugeChallengeLine", "",
                support::proxy_round(challenge_407("Proxy-Authenticate: Digest realm=\"" +
                                                   std::string(70 * 1024, 'r') + "\"\r\n")),
                "proxy offers nothing; tried Basic; the proxy's answer is too large"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
