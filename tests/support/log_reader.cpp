#include "support/log_reader.h"

#include "support/files.h"
#include "support/process.h"

#include <cstdlib>
#include <functional>

namespace support {

static bool is_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// "YYYY.MM.DD HH:MM:SS" with at least the padded widths (a wider field is
// written whole).
static std::size_t timestamp_length(std::string_view line) {
    static const std::regex stamp(R"(^\d{4,}\.\d{2,}\.\d{2,} \d{2,}:\d{2,}:\d{2,} )");
    std::match_results<std::string_view::const_iterator> m;
    if (!std::regex_search(line.begin(), line.end(), m, stamp))
        return 0;
    return static_cast<std::size_t>(m.length(0));
}

LogLine parse_log_line(std::string_view line) {
    LogLine parsed;
    parsed.message = std::string(line);
    std::size_t stamp = timestamp_length(line);
    std::string_view rest = line.substr(stamp);
    std::size_t space = rest.find(' ');
    if (stamp == 0 || space == std::string_view::npos)
        return parsed;
    std::string_view tag = rest.substr(0, space);
    if (tag != "***" && !is_digits(tag))
        return parsed;
    parsed.prefixed = true;
    parsed.timestamp = std::string(line.substr(0, stamp - 1));
    parsed.tag = std::string(tag);
    parsed.message = std::string(rest.substr(space + 1));
    return parsed;
}

std::string strip_log_prefix(std::string_view line) { return parse_log_line(line).message; }

std::vector<std::string> complete_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string_view::npos) {
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> log_lines(const std::string &path, std::size_t from) {
    std::string text = read_file(path);
    return complete_lines(std::string_view(text).substr(std::min(from, text.size())));
}

std::vector<std::string> log_messages(const std::string &path, std::size_t from) {
    std::vector<std::string> messages;
    for (const auto &line : log_lines(path, from))
        messages.push_back(strip_log_prefix(line));
    return messages;
}

static int count_matching(const std::string &path, std::size_t from,
                          const std::function<bool(const std::string &)> &matches) {
    int n = 0;
    for (const auto &line : log_lines(path, from))
        n += matches(line) ? 1 : 0;
    return n;
}

static ::testing::AssertionResult wait_for_matches(const std::string &path, const std::string &what, int count,
                                                   std::chrono::milliseconds timeout, std::size_t from,
                                                   const std::function<bool(const std::string &)> &matches) {
    int seen = 0;
    bool ok = wait_until([&] { return (seen = count_matching(path, from, matches)) >= count; }, timeout);
    if (ok)
        return ::testing::AssertionSuccess();
    std::string text = read_file(path);
    return ::testing::AssertionFailure()
           << "waited " << timeout.count() << " ms for " << count << " line(s) with " << what << " in " << path
           << ", saw " << seen << "; the log:\n"
           << text;
}

::testing::AssertionResult wait_for_log(const std::string &path, std::string_view needle, int count,
                                        std::chrono::milliseconds timeout, std::size_t from) {
    std::string n(needle);
    return wait_for_matches(path, "\"" + n + "\"", count, timeout, from,
                            [&](const std::string &line) { return line.find(n) != std::string::npos; });
}

::testing::AssertionResult wait_for_log_regex(const std::string &path, const std::string &pattern, int count,
                                              std::chrono::milliseconds timeout, std::size_t from) {
    std::regex re(pattern);
    return wait_for_matches(path, "/" + pattern + "/", count, timeout, from,
                            [&](const std::string &line) { return std::regex_search(line, re); });
}

int count_log_lines(const std::string &path, std::string_view needle, std::size_t from) {
    return count_matching(path, from, [&](const std::string &line) { return line.find(needle) != std::string::npos; });
}

pid_t client_pid(const std::string &path, uint16_t client_port, std::chrono::milliseconds timeout) {
    const std::string from = "connection from 127.0.0.1:" + std::to_string(client_port);
    pid_t pid = 0;
    wait_until(
        [&] {
            for (const auto &line : log_lines(path))
                if (const LogLine l = parse_log_line(line); l.prefixed && l.tag != "***" && l.message == from)
                    pid = static_cast<pid_t>(std::atoi(l.tag.c_str()));
            return pid != 0;
        },
        timeout);
    return pid;
}

std::string totals(uint64_t in, uint64_t out, std::string_view seconds) {
    return std::to_string(in) + " bytes in, " + std::to_string(out) + " bytes out, " + std::string(seconds) +
           " seconds";
}

const char *const any_totals = "\\d+ bytes in, \\d+ bytes out, \\d+ seconds";

}  // namespace support
