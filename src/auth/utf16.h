// The config's UTF-8 text as NTLM wants it: UTF-16LE, and upper-cased user names.
#pragma once

#include <string>
#include <string_view>

// The UTF-16LE bytes of UTF-8 text; code points above U+FFFF become surrogate
// pairs. A byte that does not start a well-formed UTF-8 sequence (overlong
// forms, surrogates and values above U+10FFFF included) is taken as a Latin-1
// character on its own, so a config file saved in Latin-1 hashes as meant.
std::string utf16le(std::string_view utf8);

// The text with lower-case letters made upper case, as NTLM's Upper(user) does,
// read the way utf16le reads it and written back as UTF-8. Covered: ASCII,
// Latin-1 Supplement (y with diaeresis becomes U+0178), Latin Extended-A, and
// the basic Greek and Cyrillic alphabets. Everything else is left as it is,
// among it letters without a one-letter upper case (sharp s) and accented Greek.
std::string upper_case(std::string_view utf8);
