// Looking things up in a parsed challenge.
#include "auth/ascii.h"
#include "auth/challenge.h"

bool scheme_is(const Challenge &challenge, std::string_view name)
{
    return equal_ignoring_case(challenge.scheme, name);
}

std::optional<std::string_view> challenge_param(const Challenge &challenge, std::string_view name)
{
    for (const auto &[key, value] : challenge.params) {
        if (key == name)
            return std::string_view(value);
    }
    return std::nullopt;
}
