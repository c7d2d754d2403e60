// The log line writer shared by the server and its client processes.
#pragma once

#include <string>
#include <string_view>

// Writes one line to standard error: local timestamp, the process tag ("*** "
// for the server, the pid otherwise), the formatted message and a line feed.
void log_msg(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Makes a text from outside (a proxy's status line, a configured host) safe
// to put in a log line: every byte outside printable ASCII, and the backslash
// itself, becomes \xHH, so that an escaped text reads back one way only.
std::string escape_for_log(std::string_view text);
