// Reading the server's log: lines, their parts, and bounded waits for a line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace support {

// One log line taken apart: "YYYY.MM.DD HH:MM:SS " timestamp, tag ("***" for
// the server, a pid for a client process), message. `prefixed` is false for a
// line without that prefix (a perror report); then message is the whole line.
struct LogLine {
    bool prefixed = false;
    std::string timestamp;  // "YYYY.MM.DD HH:MM:SS"
    std::string tag;        // "***" or the decimal pid
    std::string message;
};

LogLine parse_log_line(std::string_view line);

// The message of a prefixed line, the line itself otherwise.
std::string strip_log_prefix(std::string_view line);

// The complete (line-feed ended) lines of text, without their line feeds; a
// last line still being written is left out.
std::vector<std::string> complete_lines(std::string_view text);

// complete_lines of the file from byte `from` on.
std::vector<std::string> log_lines(const std::string &path, std::size_t from = 0);

// The stripped messages of log_lines.
std::vector<std::string> log_messages(const std::string &path, std::size_t from = 0);

// Waits (polling, bounded) until at least `count` complete lines of the file,
// from byte `from` on, contain `needle` (or match `pattern`, std::regex_search
// on the whole line). The failure message shows the log.
::testing::AssertionResult wait_for_log(const std::string &path, std::string_view needle, int count = 1,
                                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                                        std::size_t from = 0);
::testing::AssertionResult wait_for_log_regex(const std::string &path, const std::string &pattern,
                                              int count = 1,
                                              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                                              std::size_t from = 0);

// How many complete lines contain needle right now.
int count_log_lines(const std::string &path, std::string_view needle, std::size_t from = 0);

// The pid of the client process serving the connection from
// 127.0.0.1:client_port, read from its "connection from" line (the last one
// when there are several); 0 when none shows within the bound.
pid_t client_pid(const std::string &path, uint16_t client_port,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// A client process's totals message "<in> bytes in, <out> bytes out, <s>
// seconds" as a whole-message regex, the seconds matching `seconds`.
std::string totals(uint64_t in, uint64_t out, std::string_view seconds = "\\d+");

// Any totals message.
extern const char *const any_totals;

}  // namespace support
