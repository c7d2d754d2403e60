#include "tunnel/response.h"

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A line that is empty once a trailing carriage return is removed.
bool line_is_empty(const ResponseScan &scan)
{
    return scan.line_length == 0 || (scan.line_length == 1 && scan.line_first == '\r');
}

void end_line(ResponseScan &scan)
{
    if (scan.in_status_line) {
        if (scan.line_length <= max_header_line && !scan.status_line.empty() &&
            scan.status_line.back() == '\r')
            scan.status_line.pop_back();
        scan.in_status_line = false;
    } else if (line_is_empty(scan)) {
        scan.done = true;
    }
    scan.line_length = 0;
}

}  // namespace

std::size_t scan_response(ResponseScan &scan, std::string_view bytes)
{
    std::size_t used = 0;
    while (used < bytes.size() && !scan.done) {
        const char c = bytes[used++];
        if (c == '\n') {
            // An empty first line both is the status line and ends the header.
            if (scan.in_status_line && line_is_empty(scan))
                scan.done = true;
            end_line(scan);
            continue;
        }
        if (scan.line_length == 0)
            scan.line_first = c;
        if (scan.in_status_line && scan.status_line.size() < max_header_line)
            scan.status_line += c;
        ++scan.line_length;
    }
    return used;
}

bool status_allows_tunnel(std::string_view line)
{
    constexpr std::string_view prefix = "HTTP/";
    if (line.size() < prefix.size() + 3 || line.substr(0, prefix.size()) != prefix)
        return false;
    std::size_t i = prefix.size();
    if (!is_digit(line[i]) || line[i + 1] != '.' || !is_digit(line[i + 2]))
        return false;
    i += 3;
    const std::size_t spaces = i;
    while (i < line.size() && line[i] == ' ')
        ++i;
    if (i == spaces || line.size() - i < 3)
        return false;
    const std::string_view code = line.substr(i, 3);
    if (code[0] != '2' || !is_digit(code[1]) || !is_digit(code[2]))
        return false;
    return line.size() == i + 3 || line[i + 3] == ' ';
}
