#include "tunnel/response.h"

#include "auth/ascii.h"

#include <algorithm>

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The lines a login looks at; every other line of a refusal is passed over.
constexpr std::string_view kept_names[] = {
    "proxy-authenticate", "content-length", "transfer-encoding", "connection", "proxy-connection",
};

// A line that is empty once a trailing carriage return is removed.
bool line_is_empty(const ResponseScan &scan)
{
    return scan.line_length == 0 || (scan.line_length == 1 && scan.line_first == '\r');
}

void keep_field(ResponseScan &scan)
{
    const std::string_view line = scan.line;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view name = line.substr(0, colon);
    for (const std::string_view kept : kept_names) {
        if (!equal_ignoring_case(name, kept))
            continue;
        if (scan.line_length > max_kept_line)
            scan.too_large = true;
        else
            scan.fields.push_back({std::string(kept), std::string(trim_blanks(line.substr(colon + 1)))});
        return;
    }
}

void end_line(ResponseScan &scan)
{
    if (scan.in_status_line) {
        if (scan.line_length <= max_header_line && !scan.status_line.empty() &&
            scan.status_line.back() == '\r')
            scan.status_line.pop_back();
        scan.in_status_line = false;
        scan.refusal = !status_allows_tunnel(scan.status_line);
    } else if (line_is_empty(scan)) {
        scan.done = true;
    } else if (scan.refusal) {
        keep_field(scan);
    }
    scan.line_length = 0;
    scan.line.clear();
}

// Tokens of a Connection-like value, compared without regard to case.
bool has_token(const std::string &value, std::string_view token)
{
    std::string_view rest = value;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        if (equal_ignoring_case(trim_blanks(rest.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

bool is_hex(char c, uint64_t &value)
{
    if (is_digit(c))
        value = static_cast<uint64_t>(c - '0');
    else if (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f')
        value = static_cast<uint64_t>(ascii_lower(c) - 'a' + 10);
    else
        return false;
    return true;
}

// One byte of a chunk-size line: hex digits, then an extension that is passed
// over, up to the line feed.
void chunk_size_byte(BodyScan &scan, char c)
{
    uint64_t digit = 0;
    if (c == '\n') {
        if (!scan.digits)
            scan.state = BodyScan::State::bad;
        else
            scan.state = scan.left == 0 ? BodyScan::State::trailers : BodyScan::State::chunk_data;
        scan.digits = scan.extension = false;
        return;
    }
    if (!scan.extension && is_hex(c, digit)) {
        scan.left = scan.left * 16 + digit;
        scan.digits = true;
        if (scan.left > max_refusal_body)  // also keeps the number from overflowing
            scan.state = BodyScan::State::bad;
        return;
    }
    scan.extension = true;
}

void chunk_end_byte(BodyScan &scan, char c)
{
    if (c == '\n')
        scan.state = BodyScan::State::size_line;
    else if (c != '\r')
        scan.state = BodyScan::State::bad;
}

void trailer_byte(BodyScan &scan, char c)
{
    if (c != '\n') {
        if (scan.trailer_line++ == 0)
            scan.trailer_first = c;
        return;
    }
    if (scan.trailer_line == 0 || (scan.trailer_line == 1 && scan.trailer_first == '\r'))
        scan.state = BodyScan::State::done;
    scan.trailer_line = 0;
}

}  // namespace

std::size_t scan_response(ResponseScan &scan, std::string_view bytes)
{
    std::size_t used = 0;
    while (used < bytes.size() && !scan.done) {
        const char c = bytes[used++];
        if (scan.refusal && ++scan.header_length > max_refusal_header) {
            scan.too_large = scan.done = true;
            break;
        }
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
        if (scan.refusal && scan.line.size() <= max_kept_line)
            scan.line += c;
        ++scan.line_length;
    }
    return used;
}

bool status_allows_tunnel(std::string_view line)
{
    const int code = status_code(line);
    return code >= 200 && code <= 299;
}

int status_code(std::string_view line)
{
    constexpr std::string_view prefix = "HTTP/";
    if (line.size() < prefix.size() + 3 || line.substr(0, prefix.size()) != prefix)
        return 0;
    std::size_t i = prefix.size();
    if (!is_digit(line[i]) || line[i + 1] != '.' || !is_digit(line[i + 2]))
        return 0;
    i += 3;
    const std::size_t spaces = i;
    while (i < line.size() && line[i] == ' ')
        ++i;
    if (i == spaces || line.size() - i < 3)
        return 0;
    const std::string_view code = line.substr(i, 3);
    if (!is_digit(code[0]) || !is_digit(code[1]) || !is_digit(code[2]))
        return 0;
    if (line.size() != i + 3 && line[i + 3] != ' ')
        return 0;
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

std::vector<std::string> field_values(const ResponseScan &scan, std::string_view name)
{
    std::vector<std::string> values;
    for (const HeaderField &field : scan.fields)
        if (field.name == name)
            values.push_back(field.value);
    return values;
}

bool answer_keeps_connection(const ResponseScan &scan)
{
    bool close = false;
    bool keep_alive = false;
    for (const HeaderField &field : scan.fields) {
        if (field.name != "connection" && field.name != "proxy-connection")
            continue;
        close = close || has_token(field.value, "close");
        keep_alive = keep_alive || has_token(field.value, "keep-alive");
    }
    if (close)
        return false;
    return scan.status_line.compare(0, 9, "HTTP/1.0 ") == 0 ? keep_alive : true;
}

BodyShape body_shape(const ResponseScan &scan)
{
    BodyShape shape;
    const std::vector<std::string> codings = field_values(scan, "transfer-encoding");
    if (!codings.empty()) {
        // Chunked must be the last coding; anything else ends at the close.
        std::string_view last = codings.back();
        last = trim_blanks(last.substr(last.rfind(',') == std::string_view::npos ? 0 : last.rfind(',') + 1));
        if (equal_ignoring_case(last, "chunked"))
            shape.framing = BodyFraming::chunked;
        return shape;
    }
    bool seen = false;
    for (const std::string &value : field_values(scan, "content-length")) {
        uint64_t length = 0;
        bool digits = !value.empty();
        for (const char c : value) {
            digits = digits && is_digit(c) && length <= max_refusal_body * 10;
            length = length * 10 + static_cast<uint64_t>(c - '0');
        }
        // Lengths that disagree or don't read leave the end unknown.
        if (!digits || (seen && length != shape.length))
            return BodyShape{};
        shape.framing = BodyFraming::length;
        shape.length = length;
        seen = true;
    }
    return shape;
}

BodyScan start_body(const BodyShape &shape)
{
    BodyScan scan;
    if (shape.framing == BodyFraming::chunked) {
        scan.state = BodyScan::State::size_line;
    } else if (shape.framing == BodyFraming::length && shape.length <= max_refusal_body) {
        scan.left = shape.length;
        scan.state = shape.length == 0 ? BodyScan::State::done : BodyScan::State::fixed;
    } else {
        scan.state = BodyScan::State::bad;
    }
    return scan;
}

std::size_t scan_body(BodyScan &scan, std::string_view bytes)
{
    using State = BodyScan::State;
    std::size_t used = 0;
    while (used < bytes.size() && scan.state != State::done && scan.state != State::bad) {
        if (scan.state == State::fixed || scan.state == State::chunk_data) {
            const uint64_t take = std::min<uint64_t>(scan.left, bytes.size() - used);
            used += static_cast<std::size_t>(take);
            scan.taken += take;
            scan.left -= take;
            if (scan.taken > max_refusal_body)
                scan.state = State::bad;
            else if (scan.left == 0)
                scan.state = scan.state == State::fixed ? State::done : State::chunk_end;
            continue;
        }
        const char c = bytes[used++];
        if (++scan.taken > max_refusal_body) {
            scan.state = State::bad;
            break;
        }
        if (scan.state == State::size_line)
            chunk_size_byte(scan, c);
        else if (scan.state == State::chunk_end)
            chunk_end_byte(scan, c);
        else
            trailer_byte(scan, c);
    }
    return used;
}
