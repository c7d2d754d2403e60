// Reading a proxy's response without consuming a byte past its end: the
// header, and the body of a refusal that a login answers on the same
// connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Longest part of the status line that is kept.
inline constexpr std::size_t max_header_line = 1023;
// A refusal's header lines that a login reads may be this long, and the
// whole header of a refusal this long; beyond that its challenge can't be used.
inline constexpr std::size_t max_kept_line = 64 * 1024;
inline constexpr std::size_t max_refusal_header = 256 * 1024;
// A refusal's body read so that its connection can carry the next round.
inline constexpr uint64_t max_refusal_body = 1024 * 1024;

// A header line kept for the login: its name in lower case, its value
// without the white space around it.
struct HeaderField {
    std::string name;
    std::string value;
};

struct ResponseScan {
    std::string status_line;      // first line, its first bytes up to max_header_line
    std::size_t line_length = 0;  // bytes of the current line seen so far, LF excluded
    char line_first = 0;          // first byte of the current line
    bool in_status_line = true;
    bool done = false;            // the empty line that ends the header was seen
    // A granted tunnel keeps today's rules: any length, nothing kept but the
    // status line. A refusal's lines are looked at for its login.
    bool refusal = false;
    std::string line;             // the current line of a refusal, up to max_kept_line + 1
    std::size_t header_length = 0;
    std::vector<HeaderField> fields;  // Proxy-Authenticate, framing and persistence lines
    bool too_large = false;       // a refusal past the bounds above; the scan stopped there
};

// Feeds bytes of the response to the scan. Returns how many of them belong to
// the header: all of them until the header ends, then the count up to and
// including the empty line's line feed.
std::size_t scan_response(ResponseScan &scan, std::string_view bytes);

// True when the status line grants the tunnel: "HTTP/d.d", one or more spaces,
// a code from 200 to 299 followed by a space or the line's end.
bool status_allows_tunnel(std::string_view status_line);

// The three-digit status code, or 0 when the line has none where it belongs.
int status_code(std::string_view status_line);

// The values of the kept lines named `name` (lower case), in order.
std::vector<std::string> field_values(const ResponseScan &scan, std::string_view name);

// Whether the proxy keeps the connection after this answer: HTTP/1.1 unless
// `close` is among the Connection or Proxy-Connection tokens; HTTP/1.0 only
// with `keep-alive` among them.
bool answer_keeps_connection(const ResponseScan &scan);

// How the body of a refusal ends.
enum class BodyFraming {
    length,       // after Content-Length bytes
    chunked,      // at the last chunk and its trailers
    until_close,  // only when the proxy closes: the connection can't be used again
};
struct BodyShape {
    BodyFraming framing = BodyFraming::until_close;
    uint64_t length = 0;
};
BodyShape body_shape(const ResponseScan &scan);

// Reads a body of a known shape without consuming a byte past its end.
struct BodyScan {
    enum class State { fixed, size_line, chunk_data, chunk_end, trailers, done, bad };
    State state = State::fixed;
    uint64_t left = 0;           // bytes still to come of the body or of the chunk
    uint64_t taken = 0;          // every byte of the body so far, framing included
    bool digits = false;         // the chunk-size line has its number
    bool extension = false;      // and has gone past it
    std::size_t trailer_line = 0;
    char trailer_first = 0;
};
BodyScan start_body(const BodyShape &shape);
// Feeds bytes to the body scan; returns how many belong to the body. A body
// that breaks its framing, or grows past max_refusal_body, ends in State::bad.
std::size_t scan_body(BodyScan &scan, std::string_view bytes);
