// NTLMv2 for a proxy login (MS-NLMP): the NEGOTIATE message, the reading of
// the proxy's CHALLENGE, and the AUTHENTICATE answer. Messages are raw bytes;
// the caller does the Base64.
#pragma once

#include "auth/hash.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct NtlmUser {
    std::string domain;
    std::string user;
    std::string password;
};

// The config's `auth user:password` value as written, split at the first ':'.
// `DOMAIN\user` gives the domain before the first backslash; `user@domain`
// (and a name with neither) is the user name whole, with an empty domain.
NtlmUser ntlm_user(std::string_view auth_value);

// The first message: UNICODE, OEM, REQUEST_TARGET, NTLM, ALWAYS_SIGN and
// EXTENDED_SESSIONSECURITY, empty domain and workstation (32 bytes).
std::string ntlm_negotiate_message();

struct NtlmChallenge {
    uint32_t flags;
    std::array<uint8_t, 8> server_challenge;
    std::string target_info;           // the AV pairs as sent, up to and with MsvAvEOL; may be ""
    std::optional<uint64_t> timestamp; // MsvAvTimestamp, a FILETIME
};

// The proxy's CHALLENGE message, or nullopt when it is not one or any length
// or offset it gives points outside it. TargetName is never read.
std::optional<NtlmChallenge> decode_ntlm_challenge(std::string_view message);

// NTOWFv2: HMAC_MD5(MD4(UTF16LE(password)), UTF16LE(Upper(user) || domain)).
Digest16 ntowf_v2(const NtlmUser &user);

// NTLMv2's NtChallengeResponse: NTProofStr followed by the client's blob
// (time, client challenge and the server's target info).
std::string ntlmv2_response(const Digest16 &ntowf, const std::array<uint8_t, 8> &server_challenge,
                            uint64_t time, const std::array<uint8_t, 8> &client_challenge,
                            std::string_view target_info);

// LMv2's LmChallengeResponse, 24 bytes.
std::string lmv2_response(const Digest16 &ntowf, const std::array<uint8_t, 8> &server_challenge,
                          const std::array<uint8_t, 8> &client_challenge);

// The AUTHENTICATE message answering `challenge` with an NTLMv2 response, at
// `filetime` unless the challenge carried its own time. Empty when the user's
// names or the response are longer than the message's 16-bit lengths can say.
std::string ntlm_authenticate_message(const NtlmChallenge &challenge, const NtlmUser &user,
                                      uint64_t filetime,
                                      const std::array<uint8_t, 8> &client_challenge);

// Now as a FILETIME: 100 ns units since 1601-01-01.
uint64_t filetime_now();
