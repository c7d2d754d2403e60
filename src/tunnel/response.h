// Reading a proxy's response header without consuming a byte past its end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest part of a header line that is kept (for the status line).
inline constexpr std::size_t max_header_line = 1023;

struct ResponseScan {
    std::string status_line;      // first line, its first bytes up to max_header_line
    std::size_t line_length = 0;  // bytes of the current line seen so far, LF excluded
    char line_first = 0;          // first byte of the current line
    bool in_status_line = true;
    bool done = false;            // the empty line that ends the header was seen
};

// Feeds bytes of the response to the scan. Returns how many of them belong to
// the header: all of them until the header ends, then the count up to and
// including the empty line's line feed.
std::size_t scan_response(ResponseScan &scan, std::string_view bytes);

// True when the status line grants the tunnel: "HTTP/d.d", one or more spaces,
// a code from 200 to 299 followed by a space or the line's end.
bool status_allows_tunnel(std::string_view status_line);
