#include "auth/ntlm.h"

#include "auth/utf16.h"

#include <ctime>

namespace {

constexpr std::string_view signature{"NTLMSSP\0", 8};
constexpr uint32_t type_negotiate = 1;
constexpr uint32_t type_challenge = 2;
constexpr uint32_t type_authenticate = 3;

constexpr uint32_t flag_unicode = 0x00000001;
constexpr uint32_t flag_target_info = 0x00800000;
// UNICODE, OEM, REQUEST_TARGET, NTLM, ALWAYS_SIGN, EXTENDED_SESSIONSECURITY.
constexpr uint32_t our_flags = 0x00088207;

// A CHALLENGE's fixed part is 32 bytes up to its ServerChallenge, 48 with
// the Reserved and TargetInfo fields that older servers leave out.
constexpr std::size_t challenge_with_target_info = 48;
constexpr std::size_t negotiate_size = 32;
// Signature, type, six buffer fields and the flags; no Version, no MIC.
constexpr std::size_t authenticate_header = 64;

constexpr uint16_t av_eol = 0;
constexpr uint16_t av_timestamp = 7;
constexpr std::size_t timestamp_size = 8;

// Every length in a message is 16 bits.
constexpr std::size_t field_maximum = 0xffff;
// What an NtChallengeResponse adds to the target info: NTProofStr, the blob's
// 28 bytes before the AV pairs and its 4 after them.
constexpr std::size_t response_overhead = 16 + 28 + 4;
constexpr std::size_t lmv2_size = 24;

// A view of a stranger's bytes that only moves forward: each take checks
// that the bytes are there before it looks.
struct Reader {
    std::string_view rest;
};

bool take(Reader &r, uint64_t n, std::string_view &out)
{
    if (n > r.rest.size())
        return false;
    out = r.rest.substr(0, n);
    r.rest.remove_prefix(n);
    return true;
}

bool take_le(Reader &r, std::size_t n, uint64_t &value)
{
    std::string_view bytes;
    if (!take(r, n, bytes))
        return false;
    value = 0;
    for (std::size_t i = n; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return true;
}

// A security buffer's length and offset; its MaxLen is never used.
struct Field {
    uint64_t length;
    uint64_t offset;
};

bool take_field(Reader &r, Field &field)
{
    uint64_t max_length;
    return take_le(r, 2, field.length) && take_le(r, 2, max_length) && take_le(r, 4, field.offset);
}

// The AV pairs at the front of `info` up to MsvAvEOL, which must be there and
// hold nothing; the timestamp is kept when there is one. A pair that claims
// more bytes than are left, or a timestamp of another size, refuses the list.
bool walk_av_pairs(std::string_view info, NtlmChallenge &c)
{
    Reader r{info};
    for (;;) {
        uint64_t id, length;
        std::string_view value;
        if (!take_le(r, 2, id) || !take_le(r, 2, length) || !take(r, length, value))
            return false;
        if (id == av_eol) {
            c.target_info = std::string(info.substr(0, info.size() - r.rest.size()));
            return length == 0;
        }
        if (id == av_timestamp) {
            Reader time{value};
            uint64_t filetime;
            if (length != timestamp_size || !take_le(time, timestamp_size, filetime))
                return false;
            c.timestamp = filetime;
        }
    }
}

// TargetInfo when flagged and the message is long enough to have its fields:
// it must then lie inside the message, after the fixed part.
bool read_target_info(std::string_view message, Reader &after_challenge, NtlmChallenge &c)
{
    if (!(c.flags & flag_target_info) || message.size() < challenge_with_target_info)
        return true;
    std::string_view reserved;
    Field field;
    if (!take(after_challenge, 8, reserved) || !take_field(after_challenge, field))
        return false;
    if (field.length == 0)
        return true;
    if (field.offset < challenge_with_target_info || field.offset > message.size() ||
        field.length > message.size() - field.offset)
        return false;
    // The answer carries the list again, in a field as short as this one.
    if (field.length > field_maximum - response_overhead)
        return false;
    return walk_av_pairs(message.substr(field.offset, field.length), c);
}

void put_le(std::string &out, uint64_t value, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        out += static_cast<char>(value >> (8 * i) & 0xff);
}

void put_bytes(std::string &out, const std::array<uint8_t, 8> &bytes)
{
    out.append(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

void put_field(std::string &out, std::size_t length, std::size_t offset)
{
    put_le(out, length, 2);
    put_le(out, length, 2);
    put_le(out, offset, 4);
}

std::string concat(const std::array<uint8_t, 8> &a, const std::array<uint8_t, 8> &b)
{
    std::string out;
    put_bytes(out, a);
    put_bytes(out, b);
    return out;
}

}  // namespace

NtlmUser ntlm_user(std::string_view auth_value)
{
    NtlmUser u;
    const std::size_t colon = auth_value.find(':');
    std::string_view name = auth_value.substr(0, colon);
    if (colon != auth_value.npos)
        u.password = std::string(auth_value.substr(colon + 1));
    const std::size_t backslash = name.find('\\');
    if (backslash != name.npos) {
        u.domain = std::string(name.substr(0, backslash));
        name.remove_prefix(backslash + 1);
    }
    u.user = std::string(name);
    return u;
}

std::string ntlm_negotiate_message()
{
    std::string m(signature);
    put_le(m, type_negotiate, 4);
    put_le(m, our_flags, 4);
    put_field(m, 0, negotiate_size);  // DomainName
    put_field(m, 0, negotiate_size);  // Workstation
    return m;
}

std::optional<NtlmChallenge> decode_ntlm_challenge(std::string_view message)
{
    Reader r{message};
    std::string_view sig, server_challenge;
    uint64_t type, flags;
    Field target_name;
    // TargetName is skipped unread: squid's fake helper fills it with garbage.
    if (!take(r, signature.size(), sig) || sig != signature || !take_le(r, 4, type) ||
        type != type_challenge || !take_field(r, target_name) || !take_le(r, 4, flags) ||
        !take(r, 8, server_challenge))
        return std::nullopt;
    NtlmChallenge c{};
    c.flags = static_cast<uint32_t>(flags);
    for (std::size_t i = 0; i < c.server_challenge.size(); ++i)
        c.server_challenge[i] = static_cast<uint8_t>(server_challenge[i]);
    if (!read_target_info(message, r, c))
        return std::nullopt;
    return c;
}

Digest16 ntowf_v2(const NtlmUser &u)
{
    const Digest16 nt_hash = md4(utf16le(u.password));
    return hmac_md5(bytes_of(nt_hash), utf16le(upper_case(u.user) + u.domain));
}

std::string ntlmv2_response(const Digest16 &ntowf, const std::array<uint8_t, 8> &server_challenge,
                            uint64_t time, const std::array<uint8_t, 8> &client_challenge,
                            std::string_view target_info)
{
    // NTLMv2_CLIENT_CHALLENGE: versions 1 and 1, six reserved bytes, the time,
    // the client's challenge, four reserved, the AV pairs, four reserved.
    std::string blob("\x01\x01\0\0\0\0\0\0", 8);
    put_le(blob, time, 8);
    put_bytes(blob, client_challenge);
    put_le(blob, 0, 4);
    blob += target_info;
    put_le(blob, 0, 4);
    std::string proof_input;
    put_bytes(proof_input, server_challenge);
    proof_input += blob;
    return std::string(bytes_of(hmac_md5(bytes_of(ntowf), proof_input))) + blob;
}

std::string lmv2_response(const Digest16 &ntowf, const std::array<uint8_t, 8> &server_challenge,
                          const std::array<uint8_t, 8> &client_challenge)
{
    const Digest16 proof = hmac_md5(bytes_of(ntowf), concat(server_challenge, client_challenge));
    std::string out(bytes_of(proof));
    put_bytes(out, client_challenge);
    return out;
}

std::string ntlm_authenticate_message(const NtlmChallenge &c, const NtlmUser &u, uint64_t filetime,
                                      const std::array<uint8_t, 8> &client_challenge)
{
    const Digest16 key = ntowf_v2(u);
    const std::string nt = ntlmv2_response(key, c.server_challenge, c.timestamp.value_or(filetime),
                                           client_challenge, c.target_info);
    // With the server's own time in the blob, LMv2 adds nothing a server
    // checks, and MS-NLMP has the client send zeros in its place.
    const std::string lm = c.timestamp ? std::string(lmv2_size, '\0')
                                       : lmv2_response(key, c.server_challenge, client_challenge);
    const std::string domain = utf16le(u.domain);
    const std::string user = utf16le(u.user);
    if (nt.size() > field_maximum || domain.size() > field_maximum || user.size() > field_maximum)
        return {};
    // The flags are those both sides agreed on, as the message's NegotiateFlags
    // are meant to be: what we asked for and the proxy granted. A flag only the
    // proxy set (KEY_EXCH, SEAL, VERSION ...) would promise a session key or a
    // field this message does not carry. UNICODE is always set, as the strings
    // are UTF-16LE whatever the proxy chose: OEM would need the proxy's code
    // page for anything beyond ASCII.
    const uint32_t flags = (c.flags & our_flags) | flag_unicode;
    std::string m(signature);
    put_le(m, type_authenticate, 4);
    std::size_t offset = authenticate_header;
    for (const std::string *payload : {&lm, &nt, &domain, &user}) {
        put_field(m, payload->size(), offset);
        offset += payload->size();
    }
    put_field(m, 0, offset);  // Workstation
    put_field(m, 0, offset);  // EncryptedRandomSessionKey
    put_le(m, flags, 4);
    m += lm;
    m += nt;
    m += domain;
    m += user;
    return m;
}

uint64_t filetime_now()
{
    // Seconds from 1601-01-01 to 1970-01-01, and 100 ns ticks in a second.
    constexpr uint64_t epoch_difference = 11644473600;
    constexpr uint64_t ticks_per_second = 10000000;
    return (static_cast<uint64_t>(std::time(nullptr)) + epoch_difference) * ticks_per_second;
}
