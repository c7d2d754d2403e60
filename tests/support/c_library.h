// What the C library of the binary under test prints, as regular expressions.
// The tests run with this system's C library; the binary under test may be a
// static build against musl, which words some of the same things differently.
#pragma once

#include <string>
#include <string_view>

namespace support {

// text with every regex special character escaped.
std::string regex_literal(std::string_view text);

// strerror(errnum): this system's wording or musl's.
std::string error_pattern(int errnum);

// getopt's diagnostic line, newline included, for an option it does not know
// and for one left without its argument, as printed for `program`.
std::string unknown_option_pattern(std::string_view program, char option);
std::string missing_argument_pattern(std::string_view program, char option);

}  // namespace support
