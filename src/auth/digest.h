// Digest logins to a proxy (RFC 7616, and RFC 2617's form when the
// challenge has no qop), answering one Digest challenge of a 407.
#pragma once

#include "auth/challenge.h"

#include <optional>
#include <string>
#include <string_view>

enum class DigestAlgorithm { md5, md5_sess, sha256, sha256_sess };

// The algorithm a Digest challenge asks for (MD5 when it names none, names
// compared without regard to case), or nothing when tarnwick cannot answer
// it: another scheme, no nonce, another algorithm (SHA-512-256, ...), a qop
// list without "auth", or a -sess algorithm without qop (its HA1 takes a
// cnonce that RFC 2617's form may not send).
std::optional<DigestAlgorithm> digest_algorithm(const Challenge &challenge);

// The response parameter in hex: H(HA1:nonce:nc:cnonce:qop:HA2), or
// H(HA1:nonce:HA2) when qop is "".
std::string digest_response(DigestAlgorithm algorithm, std::string_view user, std::string_view realm,
                            std::string_view password, std::string_view method, std::string_view uri,
                            std::string_view nonce, std::string_view nc, std::string_view cnonce,
                            std::string_view qop);

// The whole Proxy-Authorization value answering the challenge for a CONNECT
// to `uri` (host:port): "Digest username=..., ...". opaque is echoed when the
// challenge has one, algorithm only when the challenge named one. Requires
// digest_algorithm(challenge) to have a value.
std::string digest_authorization(const Challenge &challenge, std::string_view user, std::string_view password,
                                 std::string_view uri, std::string_view cnonce);

// True when the challenge says stale=true: the nonce expired, the
// credentials were right.
bool digest_stale(const Challenge &challenge);

// A fresh client nonce: 16 random bytes in hex. Nothing when the system's
// random source failed (already reported).
std::optional<std::string> digest_cnonce();
