#include "process/descriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#if !TARNWICK_HAVE_CLOSEFROM
// Where the descriptor limit is unknown or unlimited, the loop still ends:
// a million is more than any system hands out by default.
constexpr long loop_ceiling = 1L << 20;

// The portable way: one close per possible descriptor number.
void close_each_from(int lowest)
{
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > loop_ceiling)
        limit = loop_ceiling;
    for (long fd = lowest; fd < limit; ++fd)
        close(static_cast<int>(fd));
}
#endif

}  // namespace

// close_range can be missing from the kernel or refused by a seccomp filter
// even where the C library declares it. Inherited descriptors must never stay
// open silently, so any failure takes the next way.
void close_descriptors_from(int lowest)
{
#if TARNWICK_HAVE_CLOSE_RANGE
    if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0)
        return;
#endif
#if TARNWICK_HAVE_CLOSEFROM
    closefrom(lowest);
#else
    close_each_from(lowest);
#endif
}

bool set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool is_socket(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}
