// Value helpers: host:port splitting, port texts, Base64, and the
// completeness check.
#include "config_test_util.h"

#include <climits>
#include <vector>

using config_test::reference_base64;

namespace {

struct SplitCase {
    const char *value;
    std::optional<std::string> host;
    int32_t port;
};

TEST(SplitHostPort, Table) {
    const SplitCase cases[] = {
        {"1.2.3.4:80", "1.2.3.4", 80},
        {"proxy.example:3128", "proxy.example", 3128},
        {"nocolon", "nocolon", 0},
        {"", "", 0},
        {":80", "", 80},
        {"host:", "host", 0},
        {"host:80abc", "host", 80},
        {"host:1:2", "host", 1},
        {"host::2", "host", 0},
        {"host : 80", "host ", 80},
        {"host:\t\n\v\f\r 42", "host", 42},
        {"host:+8", "host", 8},
        {"host:70000", "host", 70000},
        {"host:-1", "host", -1},
        {"host:abc", "host", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        std::optional<std::string> host = "previous";
        int32_t port = 12345;
        split_host_port(c.value, host, port);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
}

TEST(ParsePort, FollowsAtoiAndKeepsLow32Bits) {
    const std::pair<const char *, int32_t> cases[] = {
        {"80", 80},
        {"  443", 443},
        {"\t+22x", 22},
        {"0080", 80},
        {"0x10", 0},
        {"", 0},
        {"   ", 0},
        {"-", 0},
        {"+", 0},
        {"- 1", 0},
        {"abc", 0},
        {"65535", 65535},
        {"65536", 65536},
        {"-1", -1},
        {"-65536", -65536},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MIN},         // low 32 bits of 2^31
        {"4294967295", -1},
        {"4294967296", 0},
        {"4294967297", 1},
        {"-4294967295", 1},
        {"99999999999999999999", -1},      // beyond long: clamped to LONG_MAX, low 32 bits all ones
        {"-99999999999999999999", 0},      // clamped to LONG_MIN, low 32 bits zero
    };
    for (const auto &[text, port] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse_port(text), port);
    }
}

TEST(Base64, RfcVectorsAndHighBytes) {
    const std::pair<std::string, const char *> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {"\x80", "gA=="},
        {"\xff", "/w=="},
        {"\xfb\xff", "+/8="},
        {"\xfb\xef\xbe", "++++"},
        {std::string("\0\xff\x80", 3), "AP+A"},
    };
    for (const auto &[text, want] : cases) {
        SCOPED_TRACE(want);
        EXPECT_EQ(base64_encode(text), want);
    }
}

// No fixed-size credential buffer: long values are encoded whole.
TEST(Base64, LongValues) {
    for (std::size_t length : {93u, 94u, 700u}) {
        std::string value;
        for (std::size_t i = 0; i < length; ++i)
            value += static_cast<char>((i * 37 + 11) % 256);
        SCOPED_TRACE(length);
        std::string encoded = base64_encode(value);
        EXPECT_EQ(encoded.size(), (length + 2) / 3 * 4);
        EXPECT_EQ(encoded, reference_base64(value));
    }
}

// Strict: a proxy's token with a stray byte, or padding out of place, is no token.
TEST(Base64, DecodeIsStrict) {
    const std::pair<const char *, std::optional<std::string>> cases[] = {
        {"", ""}, {"Zg==", "f"}, {"Zg", "f"}, {"Zm8=", "fo"}, {"Zm8", "fo"}, {"Zm9vYmFy", "foobar"},
        {"+/8=", "\xfb\xff"}, {"AP+A", std::string("\0\xff\x80", 3)},
        // Padding short, long, alone or inside; one character too many.
        {"Zg=", {}}, {"Zg===", {}}, {"Zm9v=", {}}, {"====", {}}, {"Zg==Zg==", {}}, {"=Zg=", {}}, {"Zm9vY", {}},
        {"Zh==", {}}, {"Zm9", {}},   // bits left over in the last character
        {"Zm 9v", {}}, {"Zm9v\n", {}}, {"-_8=", {}},
    };
    for (const auto &[text, want] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(base64_decode(text), want);
    }
}

TEST(ConfigComplete, NeedsEveryHostAndNonZeroPort) {
    auto complete = [] {
        Settings s;
        s.listen_host = "127.0.0.1", s.listen_port = 1;
        s.proxy_host = "127.0.0.1", s.proxy_port = 2;
        s.external_host = "e", s.external_port = 3;
        return s;
    };
    auto check = [](const Settings &s) {
        settings = s;
        return config_complete();
    };
    Settings s = complete();
    EXPECT_TRUE(check(s));
    s.auth_token = "";
    EXPECT_TRUE(check(s));
    s = complete(), s.listen_host = "", s.proxy_host = "", s.external_host = "";
    EXPECT_TRUE(check(s)) << "an empty host counts as set";
    s = complete(), s.listen_port = -1, s.proxy_port = 70000, s.external_port = INT32_MIN;
    EXPECT_TRUE(check(s)) << "any non-zero port counts as set";

    s = complete(), s.listen_host.reset();
    EXPECT_FALSE(check(s));
    s = complete(), s.proxy_host.reset();
    EXPECT_FALSE(check(s));
    s = complete(), s.external_host.reset();
    EXPECT_FALSE(check(s));
    s = complete(), s.listen_port = 0;
    EXPECT_FALSE(check(s));
    s = complete(), s.proxy_port = 0;
    EXPECT_FALSE(check(s));
    s = complete(), s.external_port = 0;
    EXPECT_FALSE(check(s));

    // Beside forward lines, the pair is optional but never half there.
    const Tunnel forward{"127.0.0.1", 4, "f", 5};
    s = complete(), s.listen_host.reset(), s.external_host.reset(), s.forwards = {forward};
    EXPECT_TRUE(check(s));
    s.external_host = "e";
    EXPECT_FALSE(check(s));
    s = complete(), s.forwards = {forward, forward}, s.forwards[1].external_port = 0;
    EXPECT_FALSE(check(s));
    clear_settings();
}

}  // namespace
