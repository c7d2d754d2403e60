#include "support/c_library.h"

#include <cerrno>
#include <cstring>

namespace support {

namespace {

// musl's strerror where it differs from glibc's, for the errors the tests
// provoke; null where both say the same.
const char *musl_wording(int errnum) {
    return errnum == EADDRINUSE ? "Address in use" : nullptr;
}

std::string either(const std::string &first, const std::string &second) {
    return first == second ? first : "(?:" + first + "|" + second + ")";
}

}  // namespace

std::string regex_literal(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr)
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string error_pattern(int errnum) {
    const std::string own = regex_literal(std::strerror(errnum));
    const char *musl = musl_wording(errnum);
    return musl != nullptr ? either(own, regex_literal(musl)) : own;
}

// glibc: "prog: invalid option -- 'x'", musl: "prog: unrecognized option: x".
std::string unknown_option_pattern(std::string_view program, char option) {
    const std::string letter = regex_literal(std::string(1, option));
    return regex_literal(program) + ": " + either("invalid option -- '" + letter + "'", "unrecognized option: " + letter) +
           "\n";
}

// glibc: "prog: option requires an argument -- 'c'", musl: "prog: option requires an argument: c".
std::string missing_argument_pattern(std::string_view program, char option) {
    const std::string letter = regex_literal(std::string(1, option));
    return regex_literal(program) + ": option requires an argument" + either(" -- '" + letter + "'", ": " + letter) +
           "\n";
}

}  // namespace support
