#include "log/hold.h"

#include "process/descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

int held_lines = -1;      // the pipe's read end
int original_error = -1;  // standard error as it was

void close_held()
{
    for (int *fd : {&held_lines, &original_error}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void write_out(int fd, const char *bytes, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void hold_standard_error()
{
    int ends[2];
    if (pipe(ends) != 0)
        return;
    // Non-blocking both: a full pipe loses the lines after it instead of
    // stalling the writer, and the release reads only what is there.
    original_error = dup(STDERR_FILENO);
    if (original_error < 0 || !set_nonblocking(ends[0]) || !set_nonblocking(ends[1]) ||
        dup2(ends[1], STDERR_FILENO) < 0) {
        close(ends[0]);
        close(ends[1]);
        close_held();
        return;
    }
    close(ends[1]);
    held_lines = ends[0];
}

void release_standard_error()
{
    if (original_error < 0)
        return;
    dup2(original_error, STDERR_FILENO);
    char bytes[4096];
    for (ssize_t n; (n = read(held_lines, bytes, sizeof bytes)) > 0;)
        write_out(STDERR_FILENO, bytes, static_cast<std::size_t>(n));
    close_held();
}

void silence_standard_error()
{
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0 && null_fd != STDERR_FILENO) {
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
    close_held();
}
