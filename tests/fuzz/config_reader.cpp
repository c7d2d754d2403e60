// Arbitrary bytes as a config file, then the completeness check.
#include "config/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::size_t max_line = 1023;

// A text taken from a line holds no line feed, no zero byte and at most a line's bytes.
void check_text(const std::optional<std::string> &text, bool is_host)
{
    if (!text)
        return;
    const std::string_view view = *text;
    if (view.find('\n') != view.npos || view.find('\0') != view.npos || view.size() > max_line ||
        (is_host && view.find(':') != view.npos))
        abort();
}

// The token is Base64 of at most one line's bytes: whole groups, alphabet only,
// padding only at the end.
void check_token(const std::optional<std::string> &token)
{
    if (!token)
        return;
    const std::string_view view = *token;
    const std::size_t data = std::min(view.find('='), view.size());
    if (view.size() % 4 != 0 || view.size() > (max_line + 2) / 3 * 4 || view.size() - data > 2 ||
        view.find_first_not_of('=', data) != view.npos ||
        view.substr(0, data).find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") != view.npos)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Every unknown key is reported on stderr: thousands a second of noise. The
    // reader is given another stream; libFuzzer and the sanitizers keep theirs.
    stderr = fopen("/dev/null", "w");
    if (stderr == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (stream == nullptr)
        abort();
    clear_settings();
    read_config(stream);
    fclose(stream);
    check_text(settings.listen_host, true);
    check_text(settings.proxy_host, true);
    check_text(settings.external_host, true);
    check_token(settings.auth_token);
    [[maybe_unused]] const bool complete = config_complete();
    return 0;
}
