// Arbitrary bytes as the proxy's NTLM CHALLENGE. What is accepted must have
// come from inside the input, and must make an AUTHENTICATE message whose
// every field lies inside it.
#include "auth/ntlm.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

uint64_t le(const std::string &m, std::size_t at, std::size_t n)
{
    uint64_t value = 0;
    for (std::size_t i = n; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(m[at + i]);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const auto challenge = decode_ntlm_challenge(input);
    if (!challenge)
        return 0;
    const std::string &info = challenge->target_info;
    if (size < 32 || info.size() > size || input.find(info) == input.npos ||
        (!info.empty() && info.compare(info.size() - 4, 4, std::string(4, '\0')) != 0))
        abort();
    const std::array<uint8_t, 8> client{1, 2, 3, 4, 5, 6, 7, 8};
    const std::string m =
        ntlm_authenticate_message(*challenge, ntlm_user("CORP\\alice:secret"), 1, client);
    // Fixed part, LMv2, the response (proof, blob, AV pairs), "CORP", "alice".
    if (m.size() != 64 + 24 + 48 + info.size() + 8 + 10)
        abort();
    for (std::size_t at = 12; at < 60; at += 8)
        if (le(m, at + 4, 4) + le(m, at, 2) > m.size())
            abort();
    if (m.compare(64 + 24 + 44, info.size(), info) != 0)
        abort();
    return 0;
}
