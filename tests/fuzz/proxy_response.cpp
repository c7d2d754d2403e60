// Arbitrary bytes as the proxy's answer, offered to the scan in pieces the way
// the proxy handshake peeks at them. The first four bytes seed the piece sizes,
// so that a mutation of the answer keeps its split points.
#include "tunnel/response.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// Length of the header up to and including the LF of its first empty line
// (one holding nothing or a lone CR); npos when the answer has no such line.
std::size_t header_length(std::string_view answer)
{
    for (std::size_t start = 0, end; (end = answer.find('\n', start)) != answer.npos; start = end + 1) {
        const std::string_view line = answer.substr(start, end - start);
        if (line.empty() || line == "\r")
            return end + 1;
    }
    return answer.npos;
}

// The status line as the scan keeps it: the first line without its CR, cut to max_header_line.
std::string_view status_line(std::string_view answer)
{
    std::string_view line = answer.substr(0, answer.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line.substr(0, max_header_line);
}

bool grants(std::string_view line)
{
    const auto digit = [&](std::size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
    if (!line.starts_with("HTTP/") || !digit(5) || line.substr(6, 1) != "." || !digit(7))
        return false;
    const std::size_t code = line.find_first_not_of(' ', 8);
    return code > 8 && code != line.npos && line[code] == '2' && digit(code + 1) && digit(code + 2) &&
           (code + 3 == line.size() || line[code + 3] == ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    uint32_t seed = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    const std::string_view answer(reinterpret_cast<const char *>(data + 4), size - 4);
    ResponseScan scan;
    std::size_t consumed = 0;
    while (!scan.done && consumed < answer.size()) {
        seed = seed * 1103515245 + 12345;
        const std::size_t offered = 1 + (seed >> 16) % 1500;
        const std::size_t used = scan_response(scan, answer.substr(consumed, offered));
        if (used > offered || used == 0)
            abort();
        consumed += used;
    }
    const std::size_t expected = header_length(answer);
    if (!scan.done) {
        // No response: every byte was taken and no empty line was among them.
        if (expected != answer.npos || consumed != answer.size())
            abort();
        return 0;
    }
    // Tunnel open or refused: the header is taken and not one byte after it.
    if (consumed != expected || scan_response(scan, answer.substr(consumed)) != 0 ||
        scan.status_line != status_line(answer) ||
        status_allows_tunnel(scan.status_line) != grants(status_line(answer)))
        abort();
    return 0;
}
