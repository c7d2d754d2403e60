// Digest answers: the response against the RFCs' examples and one squid
// took, which challenges can be answered, and the Proxy-Authorization value.
#include "auth/digest.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

Challenge digest_challenge(Params params)
{
    return {"Digest", "", std::move(params)};
}

struct ResponseCase {
    const char *source;
    DigestAlgorithm algorithm;
    const char *user, *realm, *password, *method, *uri, *nonce, *cnonce, *qop;
    const char *response;
};

constexpr const char *rfc7616_nonce = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
constexpr const char *rfc7616_cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
constexpr const char *squid_nonce = "87e057399135e1670671395503b7065a";

TEST(DigestResponse, PublishedAndMeasuredVectors) {
    const ResponseCase cases[] = {
        // RFC 7616's password has a lower-case "of" (erratum 4495).
        {"RFC 7616 3.9.1 MD5", DigestAlgorithm::md5, "Mufasa", "http-auth@example.org", "Circle of Life", "GET",
         "/dir/index.html", rfc7616_nonce, rfc7616_cnonce, "auth", "8ca523f5e9506fed4657c9700eebdbec"},
        {"RFC 7616 3.9.1 SHA-256", DigestAlgorithm::sha256, "Mufasa", "http-auth@example.org", "Circle of Life",
         "GET", "/dir/index.html", rfc7616_nonce, rfc7616_cnonce, "auth",
         "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
        {"RFC 2617 3.5", DigestAlgorithm::md5, "Mufasa", "testrealm@host.com", "Circle Of Life", "GET",
         "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "0a4f113b", "auth",
         "6629fae49393a05397450978507c4ef1"},
        {"RFC 2069's example, no qop", DigestAlgorithm::md5, "Mufasa", "testrealm@host.com", "CircleOfLife", "GET",
         "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "", "", "1949323746fe6a43ef61f9606e7febea"},
        {"CONNECT accepted by squid 5.7", DigestAlgorithm::md5, "alice", "proxyrealm", "secret", "CONNECT",
         "127.0.0.1:2222", squid_nonce, "ZTcwNGZhMDA2MDE4N2E5ZDI3ZTM3OGVkMjA3NjM1OGM=", "auth",
         "c3c5917a7838c304d4a5ea0674f8afee"},
        // No published vectors for -sess: these are from Python's hashlib, by RFC 7616 3.4.2.
        {"MD5-sess", DigestAlgorithm::md5_sess, "alice", "proxyrealm", "secret", "CONNECT", "127.0.0.1:2222",
         squid_nonce, "0a4f113b", "auth", "8b98ec2c0cd229beb80ff4a4f89c1794"},
        {"SHA-256-sess", DigestAlgorithm::sha256_sess, "alice", "proxyrealm", "secret", "CONNECT", "127.0.0.1:2222",
         squid_nonce, "0a4f113b", "auth", "c77cdd7aa25a11ffaa7cbdb9e3f9b2ddd382981e06393b1d09354262265d6752"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source);
        EXPECT_EQ(digest_response(c.algorithm, c.user, c.realm, c.password, c.method, c.uri, c.nonce, "00000001",
                                  c.cnonce, c.qop),
                  c.response);
    }
}

struct ReadingCase {
    Params params;
    std::optional<DigestAlgorithm> algorithm;
    bool stale;
};

TEST(DigestChallenge, AlgorithmAndStale) {
    const Params nonce = {{"nonce", "n"}};
    auto with = [&](Params more) {
        Params all = nonce;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const ReadingCase cases[] = {
        {with({{"qop", "auth"}, {"stale", "false"}}), DigestAlgorithm::md5, false},
        {with({}), DigestAlgorithm::md5, false},
        {with({{"algorithm", "md5"}, {"qop", "auth"}}), DigestAlgorithm::md5, false},
        {with({{"algorithm", "SHA-256"}, {"qop", "auth-int, auth"}, {"stale", "TRUE"}}), DigestAlgorithm::sha256, true},
        {with({{"algorithm", "sha-256-SESS"}, {"qop", " auth "}}), DigestAlgorithm::sha256_sess, false},
        {with({{"algorithm", "MD5-sess"}, {"qop", "auth"}}), DigestAlgorithm::md5_sess, false},
        {with({{"algorithm", "SHA-512-256"}, {"qop", "auth"}}), std::nullopt, false},
        {with({{"algorithm", "MD5x"}, {"qop", "auth"}}), std::nullopt, false},
        {with({{"algorithm", ""}, {"qop", "auth"}}), std::nullopt, false},
        {with({{"qop", "auth-int"}, {"stale", "true"}}), std::nullopt, true},
        {with({{"qop", "authx,auth-int"}}), std::nullopt, false},
        {with({{"qop", ""}}), std::nullopt, false},
        {with({{"algorithm", "MD5-sess"}}), std::nullopt, false},
        {{{"realm", "r"}, {"qop", "auth"}}, std::nullopt, false},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &[name, value] : c.params)
            shown += name + "=" + value + " ";
        SCOPED_TRACE(shown);
        const Challenge challenge = digest_challenge(c.params);
        EXPECT_EQ(digest_algorithm(challenge), c.algorithm);
        EXPECT_EQ(digest_stale(challenge), c.stale);
    }
    EXPECT_EQ(digest_algorithm({"Basic", "", with({{"qop", "auth"}})}), std::nullopt);
}

struct AuthorizationCase {
    const char *what;
    Params params;
    const char *user;
    const char *expected;
};

TEST(DigestAuthorization, EchoesAndQuotes) {
    const char *cnonce = "ZTcwNGZhMDA2MDE4N2E5ZDI3ZTM3OGVkMjA3NjM1OGM=";
    const AuthorizationCase cases[] = {
        {"squid 5.7's challenge, answered as it accepted",
         {{"realm", "proxyrealm"}, {"nonce", squid_nonce}, {"qop", "auth"}, {"stale", "false"}}, "alice",
         "Digest username=\"alice\", realm=\"proxyrealm\", nonce=\"87e057399135e1670671395503b7065a\", "
         "uri=\"127.0.0.1:2222\", response=\"c3c5917a7838c304d4a5ea0674f8afee\", qop=auth, nc=00000001, "
         "cnonce=\"ZTcwNGZhMDA2MDE4N2E5ZDI3ZTM3OGVkMjA3NjM1OGM=\""},
        {"algorithm echoed as spelled, opaque echoed",
         {{"realm", "proxyrealm"}, {"nonce", squid_nonce}, {"qop", "auth"}, {"algorithm", "md5"},
          {"opaque", "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS"}},
         "alice",
         "Digest username=\"alice\", realm=\"proxyrealm\", nonce=\"87e057399135e1670671395503b7065a\", "
         "uri=\"127.0.0.1:2222\", response=\"c3c5917a7838c304d4a5ea0674f8afee\", algorithm=md5, qop=auth, "
         "nc=00000001, cnonce=\"ZTcwNGZhMDA2MDE4N2E5ZDI3ZTM3OGVkMjA3NjM1OGM=\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""},
        {"no qop: RFC 2617's form, no qop, nc or cnonce",
         {{"realm", "proxyrealm"}, {"nonce", squid_nonce}}, "alice",
         "Digest username=\"alice\", realm=\"proxyrealm\", nonce=\"87e057399135e1670671395503b7065a\", "
         "uri=\"127.0.0.1:2222\", response=\"9d940e340108fd377e536f2a9fd85030\""},
        {"quotes and backslashes escaped, control bytes left out",
         {{"realm", "say \"hi\"\\"}, {"nonce", "n\r\nX-Injected: 1"}, {"qop", "auth"}}, "DOM\\al\"ice",
         "Digest username=\"DOM\\\\al\\\"ice\", realm=\"say \\\"hi\\\"\\\\\", nonce=\"nX-Injected: 1\", "
         "uri=\"127.0.0.1:2222\", response=\"3e5e6b66ecafb0cb78c3482250e0d65a\", qop=auth, nc=00000001, "
         "cnonce=\"ZTcwNGZhMDA2MDE4N2E5ZDI3ZTM3OGVkMjA3NjM1OGM=\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(digest_authorization(digest_challenge(c.params), c.user, "secret", "127.0.0.1:2222", cnonce),
                  c.expected);
    }
}

}  // namespace
