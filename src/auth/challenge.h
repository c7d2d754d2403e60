// What a proxy's 407 offers: the challenges of its Proxy-Authenticate lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct Challenge {
    std::string scheme;   // as the proxy wrote it ("NTLM", "Digest", ...)
    std::string token68;  // the blob right after the scheme (NTLM, Negotiate); "" when none
    // Parameters in the proxy's order: names lower-cased, values unquoted
    // (backslash escapes resolved). A name given twice keeps its first value.
    std::vector<std::pair<std::string, std::string>> params;
};

// Every challenge of the given header values, in order. A header may repeat
// and one value may hold several challenges separated by commas. Elements
// that make no sense are skipped; nothing here fails.
std::vector<Challenge> parse_challenges(const std::vector<std::string> &values);

// True when the challenge's scheme is `name`, compared without regard to case.
bool scheme_is(const Challenge &challenge, std::string_view name);

// The value of parameter `name` (lower case), when the challenge has it.
std::optional<std::string_view> challenge_param(const Challenge &challenge, std::string_view name);
