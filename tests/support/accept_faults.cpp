// Preloaded into the server (LD_PRELOAD), this makes its first accept calls
// fail: TARNWICK_ACCEPT_FAULTS lists the errno values, in order, as decimal
// numbers separated by commas. A failing call leaves the pending connection
// in the queue, as a real EMFILE does. Once the list is used up, accept works.
//
// Loading it creates the file TARNWICK_ACCEPT_FAULTS_LOADED names, so that a
// test can tell a binary that takes no preloaded library (a static one).

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *next_fault = nullptr;

__attribute__((constructor)) void announce_loading()
{
    next_fault = std::getenv("TARNWICK_ACCEPT_FAULTS");
    if (const char *path = std::getenv("TARNWICK_ACCEPT_FAULTS_LOADED")) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    }
}

// The next errno of the list, or 0 once it is used up.
int take_fault()
{
    if (next_fault == nullptr || *next_fault == '\0')
        return 0;
    char *end = nullptr;
    const long error = std::strtol(next_fault, &end, 10);
    next_fault = *end == ',' ? end + 1 : end;
    return static_cast<int>(error);
}

}  // namespace

extern "C" int accept(int fd, sockaddr *address, socklen_t *length)
{
    if (const int error = take_fault()) {
        errno = error;
        return -1;
    }
    using Accept = int (*)(int, sockaddr *, socklen_t *);
    static const auto real = reinterpret_cast<Accept>(dlsym(RTLD_NEXT, "accept"));
    return real(fd, address, length);
}

extern "C" int accept4(int fd, sockaddr *address, socklen_t *length, int flags)
{
    if (const int error = take_fault()) {
        errno = error;
        return -1;
    }
    using Accept4 = int (*)(int, sockaddr *, socklen_t *, int);
    static const auto real = reinterpret_cast<Accept4>(dlsym(RTLD_NEXT, "accept4"));
    return real(fd, address, length, flags);
}
