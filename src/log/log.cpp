#include "log/log.h"

#include "process/state.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// Lines that fit here are built on the stack; a longer one is formatted
// again at its full length.
constexpr std::size_t usual_line = 1024;

// The timestamp and the tag; returns their length.
std::size_t format_prefix(char *out, std::size_t size)
{
    int n = 0;
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr)
        n = snprintf(out, size, "%4.4i.%2.2i.%2.2i %2.2i:%2.2i:%2.2i ", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const pid_t self = getpid();
    if (state.daemon_pid != 0 && self == state.daemon_pid)
        n += snprintf(out + n, size - static_cast<std::size_t>(n), "*** ");
    else
        n += snprintf(out + n, size - static_cast<std::size_t>(n), "%d ", static_cast<int>(self));
    return static_cast<std::size_t>(n);
}

// One write per line: every process appends to the same file, and a line
// written in pieces could be split by another process's line.
void write_line(const char *line, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(STDERR_FILENO, line + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void write_long_line(const char *prefix, std::size_t prefix_length, std::size_t message_length,
                     const char *format, va_list args)
{
    std::string line(prefix, prefix_length);
    line.resize(prefix_length + message_length + 1);
    vsnprintf(line.data() + prefix_length, message_length + 1, format, args);
    line.back() = '\n';
    write_line(line.data(), line.size());
}

}  // namespace

void log_msg(const char *format, ...)
{
    const int saved_errno = errno;
    char line[usual_line];
    const std::size_t prefix = format_prefix(line, sizeof line);
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(line + prefix, sizeof line - prefix, format, args);
    va_end(args);
    if (n >= 0 && prefix + static_cast<std::size_t>(n) + 1 < sizeof line) {
        line[prefix + static_cast<std::size_t>(n)] = '\n';
        write_line(line, prefix + static_cast<std::size_t>(n) + 1);
    } else if (n >= 0) {
        write_long_line(line, prefix, static_cast<std::size_t>(n), format, again);
    }
    va_end(again);
    errno = saved_errno;
}
