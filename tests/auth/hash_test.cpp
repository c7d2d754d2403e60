// The hashes against their standards' vectors, padding boundaries included,
// and the random source.
#include "auth/digest.h"
#include "auth/hash.h"
#include "auth/random.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct HashCase {
    std::string input;
    const char *hex;
};

const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string alphanumeric = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string repeated(std::string_view piece, std::size_t n)
{
    std::string out;
    while (n-- > 0)
        out += piece;
    return out;
}

template <std::size_t N>
std::string hex(const std::array<uint8_t, N> &digest)
{
    return to_hex(digest.data(), digest.size());
}

// 55 bytes leave room for the length in the last block, 56 do not; 64 fill a
// block before any padding. Their digests are from OpenSSL.
TEST(Md4, Rfc1320AndPaddingBoundaries) {
    const HashCase cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {alphabet, "d79e1c308aa5bbcdeea8ed63df412da9"},
        {alphanumeric, "043f8582f241db351ce627e153e7f0e4"},
        {repeated("1234567890", 8), "e33b4ddc9c38f2199c3e7b164fcc0536"},
        {std::string(55, 'a'), "c889c81dd86c4d2e025778944ea02881"},
        {std::string(56, 'a'), "d5f9a9e9257077a5f08b0b92f348b0ad"},
        {std::string(64, 'a'), "52f5076fabd22680234a3fa9f9dc5732"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(hex(md4(c.input)), c.hex);
    }
}

TEST(Md5, Rfc1321AndPaddingBoundaries) {
    const HashCase cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {alphabet, "c3fcd3d76192e4007dfb496cca67e13b"},
        {alphanumeric, "d174ab98d277d9f5a5611c2c9f419d9f"},
        {repeated("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(hex(md5(c.input)), c.hex);
    }
}

TEST(Sha256, Fips180AndPaddingBoundaries) {
    const HashCase cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        // 448 bits: 56 bytes, the length needs a second block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input.size());
        EXPECT_EQ(hex(sha256(c.input)), c.hex);
    }
}

TEST(HmacMd5, Rfc2202) {
    std::string counting;
    for (char byte = 0x01; byte <= 0x19; ++byte)
        counting += byte;
    const std::string long_key(80, '\xaa');
    const std::tuple<std::string, std::string, const char *> cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {counting, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {long_key, "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {long_key, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    int number = 0;
    for (const auto &[key, data, expected] : cases) {
        SCOPED_TRACE(++number);
        EXPECT_EQ(hex(hmac_md5(key, data)), expected);
    }
}

// More than getentropy gives in one call, so that its loop runs.
TEST(RandomBytes, CallsDifferAndTheFallbackIsTheBuiltPath) {
    std::vector<uint8_t> first(300), second(300);
    ASSERT_TRUE(random_bytes(first.data(), first.size()));
    ASSERT_TRUE(random_bytes(second.data(), second.size()));
    EXPECT_NE(first, second);
    const std::optional<std::string> cnonce = digest_cnonce();
    ASSERT_TRUE(cnonce);
    EXPECT_EQ(cnonce->find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(cnonce->size(), 32u);

    // With no descriptor left, only /dev/urandom's way fails, and says where.
    support::StderrCapture capture;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit none = {0, 0};
        uint8_t byte;
        _exit(setrlimit(RLIMIT_NOFILE, &none) == 0 && random_bytes(&byte, 1) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (TARNWICK_HAVE_GETENTROPY) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(capture.text(), "");
    } else {
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(capture.text().rfind("open /dev/urandom: ", 0), 0u) << capture.text();
    }
}

}  // namespace
