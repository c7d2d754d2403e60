// Arbitrary bytes as a 407's Proxy-Authenticate lines (one per LF), checked
// for what the handshake relies on: every scheme and name a token, names in
// lower case and said once, no value carrying a control byte back out.
#include "auth/challenge.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool is_token(std::string_view text)
{
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr)))
            return false;
    return !text.empty();
}

bool has_control(std::string_view text)
{
    for (char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> values;
    for (std::size_t start = 0, end; start <= input.size(); start = end + 1) {
        end = input.find('\n', start);
        if (end == input.npos)
            end = input.size();
        values.push_back(input.substr(start, end - start));
    }
    for (const Challenge &c : parse_challenges(values)) {
        if (!is_token(c.scheme) || has_control(c.token68) || input.find(c.token68) == input.npos)
            abort();
        for (std::size_t i = 0; i < c.params.size(); ++i) {
            const auto &[name, value] = c.params[i];
            if (!is_token(name) || has_control(value))
                abort();
            for (char ch : name)
                if (ch >= 'A' && ch <= 'Z')
                    abort();
            for (std::size_t k = 0; k < i; ++k)
                if (c.params[k].first == name)
                    abort();
        }
        if (!c.token68.empty() && !c.params.empty())
            abort();
    }
    return 0;
}
