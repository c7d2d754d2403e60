// NTLMv2: Microsoft's worked example, curl's answer to squid recomputed, and
// CHALLENGE messages as a hostile or odd proxy sends them.
#include "auth/ntlm.h"
#include "auth/utf16.h"
#include "config/settings.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Bytes8 = std::array<uint8_t, 8>;

std::string unhex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

std::string hex(std::string_view bytes) {
    return to_hex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

Bytes8 bytes8(std::string_view text) {
    Bytes8 out{};
    for (std::size_t i = 0; i < out.size() && i < text.size(); ++i)
        out[i] = static_cast<uint8_t>(text[i]);
    return out;
}

std::string le(uint64_t value, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

// The bytes a security buffer at `at` points to; fails the test when they
// are not inside the message.
std::string field(std::string_view message, std::size_t at) {
    const uint64_t length = static_cast<uint8_t>(message[at]) | static_cast<uint8_t>(message[at + 1]) << 8;
    uint64_t offset = 0;
    for (int i = 3; i >= 0; --i)
        offset = offset << 8 | static_cast<uint8_t>(message[at + 4 + i]);
    if (offset + length > message.size()) {
        ADD_FAILURE() << "field at " << at << " outside the message";
        return {};
    }
    return std::string(message.substr(offset, length));
}

std::string decoded(std::string_view base64) {
    return base64_decode(base64).value_or("(bad base64)");
}

constexpr uint32_t target_info_flag = 0x00800000;

// A CHALLENGE with the TargetInfo fields, Version left out, `payload` after it.
std::string type2(uint32_t flags, uint64_t info_length, uint64_t info_offset, std::string_view payload) {
    return std::string("NTLMSSP\0", 8) + le(2, 4) + le(0, 8) + le(flags, 4) + "\x01\x23\x45\x67\x89\xab\xcd\xef" +
           le(0, 8) + le(info_length, 2) + le(info_length, 2) + le(info_offset, 4) + std::string(payload);
}

// MS-NLMP 4.2.4: NbDomainName "Domain", NbComputerName "Server", MsvAvEOL.
const std::string example_info = unhex("02000c0044006f006d00610069006e00"
                                       "01000c00530065007200760065007200"
                                       "00000000");

TEST(Ntlmv2, MicrosoftExample) {
    const NtlmUser user{"Domain", "User", "Password"};
    const Digest16 key = ntowf_v2(user);
    const Bytes8 server = bytes8(unhex("0123456789abcdef"));
    const Bytes8 client = bytes8(std::string(8, '\xaa'));
    EXPECT_EQ(to_hex(key.data(), key.size()), "0c868a403bfd7a93a3001ef22ef02e3f");
    EXPECT_EQ(hex(lmv2_response(key, server, client)), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
    EXPECT_EQ(hex(ntlmv2_response(key, server, 0, client, example_info)),
              "68cd0ab851e51c96aabc927bebef6a1c"  // NTProofStr
              "01010000000000000000000000000000aaaaaaaaaaaaaaaa00000000"
              "02000c0044006f006d00610069006e0001000c00530065007200760065007200" "00000000" "00000000");
}

// Wire bytes from the lab: curl 7.88.1 and squid's ntlm_fake_auth, DOM\alice
// with "secret". The CHALLENGE names a TargetName offset far outside itself.
TEST(Ntlmv2, SameAnswerAsCurlToSquid) {
    EXPECT_EQ(base64_encode(ntlm_negotiate_message()), "TlRMTVNTUAABAAAAB4IIAAAAAAAgAAAAAAAAACAAAAA=");
    const auto challenge = decode_ntlm_challenge(
        decoded("TlRMTVNTUAACAAAACQAJAK6qqqoGgggAT2uUGwUdLiYAAAAAAAA6AFdPUktHUk9VUA=="));
    ASSERT_TRUE(challenge);
    EXPECT_EQ(challenge->flags, 0x00088206u);
    EXPECT_EQ(challenge->target_info, "");
    const std::string curl = decoded(
        "TlRMTVNTUAADAAAAGAAYAEAAAAAwADAAWAAAAAMAAwCIAAAABQAFAIsAAAALAAsAkAAAAAAAAAAAAAAABoIIAAfCDMFI5nPAP1r6"
        "uaqLB/ZaoNassmg+HkOotdrohlBTnJ04DF6hCCwBAQAAAAAAAAACadplid0BWqDWrLJoPh4AAAAAAAAAAERPTWFsaWNlV09SS1NU"
        "QVRJT04=");
    ASSERT_EQ(curl.size(), 155u);
    const std::string curl_nt = field(curl, 20);
    ASSERT_EQ(curl_nt.size(), 48u);
    uint64_t time = 0;
    for (int i = 7; i >= 0; --i)
        time = time << 8 | static_cast<uint8_t>(curl_nt[24 + i]);
    const Bytes8 client = bytes8(curl_nt.substr(32, 8));

    const std::string ours = ntlm_authenticate_message(*challenge, ntlm_user("DOM\\alice:secret"), time, client);
    ASSERT_GE(ours.size(), 64u);
    EXPECT_EQ(ours.substr(0, 12), std::string("NTLMSSP\0\3\0\0\0", 12));
    EXPECT_EQ(hex(field(ours, 12)), hex(field(curl, 12))) << "LMv2";
    EXPECT_EQ(hex(field(ours, 20)), hex(curl_nt)) << "NTLMv2";
    EXPECT_EQ(field(ours, 28), utf16le("DOM"));
    EXPECT_EQ(field(ours, 36), utf16le("alice"));
    EXPECT_EQ(field(ours, 44), "");
    EXPECT_EQ(field(ours, 52), "");
    EXPECT_EQ(ours.substr(60, 4), le(0x00088207, 4)) << "the agreed flags, UNICODE added";
    EXPECT_EQ(ours.size(), 64 + 24 + 48 + 6 + 10u) << "nothing but the payload after the fixed part";
}

TEST(Ntlmv2, TimestampedChallengeAndNonAsciiNames) {
    const std::string info = unhex("0700080000e1f50500000000") + example_info.substr(0, 16) + le(0, 4);
    const auto challenge = decode_ntlm_challenge(type2(0xe28a8233, info.size(), 48, info));
    ASSERT_TRUE(challenge);
    ASSERT_EQ(challenge->timestamp, std::optional<uint64_t>(100000000));
    // UTF-8 with a character beyond U+FFFF; the user upper-cased, the domain not.
    const NtlmUser user{"Dömäne", "jörg", "pässwörd€\xf0\x9f\x98\x80"};
    const Digest16 key = ntowf_v2(user);
    EXPECT_EQ(to_hex(key.data(), key.size()), "3a81c54ebaf0868fc512f55d4ce4c2a3");
    EXPECT_EQ(ntowf_v2({"Dömäne", "J\xd6rg", "pässwörd€\xf0\x9f\x98\x80"}), key) << "Latin-1 byte taken as itself";

    const Bytes8 client = bytes8("clientcc");
    const std::string m = ntlm_authenticate_message(*challenge, user, 999, client);
    ASSERT_GE(m.size(), 64u);
    EXPECT_EQ(field(m, 12), std::string(24, '\0'));
    EXPECT_EQ(hex(field(m, 20)), hex(ntlmv2_response(key, challenge->server_challenge, 100000000, client, info)));
    EXPECT_EQ(m.substr(60, 4), le(0x00088207 & 0xe28a8233, 4)) << "no KEY_EXCH, SEAL or VERSION claimed";

    const NtlmUser long_name{"", std::string(40000, 'u'), "x"};
    EXPECT_EQ(ntlm_authenticate_message(*challenge, long_name, 0, client), "") << "16-bit lengths";
}

struct ChallengeCase {
    const char *name;
    std::string message;
    bool accepted;
    std::string target_info = "";
    std::optional<uint64_t> timestamp = std::nullopt;
};

TEST(NtlmChallenge, HostileAndOddMessages) {
    const uint32_t ti = target_info_flag;
    const std::string stamp = unhex("07000800") + le(0x01d0000000000000, 8);
    const std::string no_end = example_info.substr(0, 32);
    const ChallengeCase cases[] = {
        {"target info", type2(ti, 36, 48, example_info), true, example_info},
        {"timestamp", type2(ti, 16, 48, stamp + le(0, 4)), true, stamp + le(0, 4), 0x01d0000000000000},
        {"payload after the list", type2(ti, 36, 52, "pad!" + example_info + "tail"), true, example_info},
        {"flagged, empty (real proxy)", decoded("TlRMTVNTUAACAAAAAAAAAAAAAAAFgomge0p1qcyBxogAAAAAAAAAAAAAAAAAAAAA"), true},
        {"fields not flagged", type2(0, 36, 9999, ""), true},
        {"32 bytes", type2(ti, 36, 48, example_info).substr(0, 32), true},
        {"flagged, 40 bytes", type2(ti, 36, 48, example_info).substr(0, 40), true},
        {"31 bytes", type2(0, 0, 0, "").substr(0, 31), false},
        {"wrong signature", "NTLMSSQ" + type2(0, 0, 0, "").substr(7), false},
        {"type 3", type2(0, 0, 0, "").replace(8, 1, "\x03"), false},
        {"list past the end", type2(ti, 37, 48, example_info), false},
        {"offset past the end", type2(ti, 36, 200, example_info), false},
        {"offset wraps 32 bits", type2(ti, 85, 0xffffffff, example_info), false},
        {"inside the header", type2(ti, 36, 8, example_info), false},
        {"no end marker", type2(ti, 32, 48, no_end), false},
        {"pair past the end", type2(ti, 8, 48, unhex("0100100041004200")), false},
        {"end marker with a value", type2(ti, 6, 48, unhex("00000200ffff")), false},
        {"timestamp of 4 bytes", type2(ti, 12, 48, unhex("0700040001020304") + le(0, 4)), false},
    };
    for (const ChallengeCase &c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = decode_ntlm_challenge(c.message);
        ASSERT_EQ(got.has_value(), c.accepted);
        if (got) {
            EXPECT_EQ(hex(got->target_info), hex(c.target_info));
            EXPECT_EQ(got->timestamp, c.timestamp);
        }
    }
}

TEST(NtlmUserNames, DomainForms) {
    const std::pair<const char *, NtlmUser> cases[] = {
        {"alice@corp.example:pa:ss", {"", "alice@corp.example", "pa:ss"}},
        {"a\\b\\c:x\\y", {"a", "b\\c", "x\\y"}},
        {"nopassword", {"", "nopassword", ""}},
    };
    for (const auto &[value, want] : cases) {
        const NtlmUser got = ntlm_user(value);
        EXPECT_EQ(std::tie(got.domain, got.user, got.password), std::tie(want.domain, want.user, want.password))
            << value;
    }
}

// Latin-1 around the division sign, Latin Extended-A's pairs and the letters
// between them without a capital, Greek with final sigma, Cyrillic.
TEST(Utf16, UpperCaseBeyondAscii) {
    EXPECT_EQ(upper_case("àöøþÿ ß÷µ āĭıĳĸĺňŉŋžſ αρςσϋ аяѐџ"), "ÀÖØÞŸ ß÷µ ĀĬıĲĸĹŇŉŊŽſ ΑΡΣΣΫ АЯЀЏ");
    EXPECT_EQ(upper_case("\xed\xa0\x80"), "Í\xc2\xa0\xc2\x80") << "an encoded surrogate is three Latin-1 bytes";
    EXPECT_EQ(hex(utf16le("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3")), "6100e900ac203dd800dec300");
}

}  // namespace
