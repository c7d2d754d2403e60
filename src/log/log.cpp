#include "log/log.h"

#include "process/state.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// Most lines fit here; a longer one is formatted again at its full length.
constexpr std::size_t usual_line = 512;

void append_prefix(std::string &line)
{
    char prefix[64];
    int n = 0;
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr)
        n = snprintf(prefix, sizeof prefix, "%4.4i.%2.2i.%2.2i %2.2i:%2.2i:%2.2i ",
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
    line.append(prefix, static_cast<std::size_t>(n));
    if (state.daemon_pid != 0 && getpid() == state.daemon_pid)
        line += "*** ";
    else
        line += std::to_string(getpid()) + ' ';
}

void append_message(std::string &line, const char *format, va_list args)
{
    char small[usual_line];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        line.append(small, static_cast<std::size_t>(n));
        return;
    }
    const std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(n) + 1);
    vsnprintf(line.data() + start, static_cast<std::size_t>(n) + 1, format, args);
    line.resize(start + static_cast<std::size_t>(n));
}

// One write per line: every process appends to the same file, and a line
// written in pieces could be split by another process's line.
void write_line(const std::string &line)
{
    fflush(stderr);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void log_msg(const char *format, ...)
{
    const int saved_errno = errno;
    std::string line;
    line.reserve(usual_line);
    append_prefix(line);
    va_list args;
    va_start(args, format);
    append_message(line, format, args);
    va_end(args);
    line += '\n';
    write_line(line);
    errno = saved_errno;
}
