#include "auth/random.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// The same headers as the getentropy check in cmake/features.cmake: glibc and
// musl declare it in <unistd.h>, macOS in <sys/random.h> only.
#if TARNWICK_HAVE_GETENTROPY && __has_include(<sys/random.h>)
#include <sys/types.h>
#include <sys/random.h>
#endif

namespace {

#if TARNWICK_HAVE_GETENTROPY
// getentropy refuses longer requests (EIO on some systems, EINVAL on others).
constexpr std::size_t getentropy_limit = 256;

bool fill_from_getentropy(uint8_t *out, std::size_t n)
{
    while (n > 0) {
        const std::size_t chunk = n < getentropy_limit ? n : getentropy_limit;
        if (getentropy(out, chunk) != 0) {
            perror("getentropy");
            return false;
        }
        out += chunk;
        n -= chunk;
    }
    return true;
}
#else
int open_urandom()
{
    int fd;
    while ((fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (fd < 0)
        perror("open /dev/urandom");
    return fd;
}

bool read_fully(int fd, uint8_t *out, std::size_t n)
{
    while (n > 0) {
        const ssize_t got = read(fd, out, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;  // a device that ends gives no error of its own
            perror("read /dev/urandom");
            return false;
        }
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool fill_from_urandom(uint8_t *out, std::size_t n)
{
    const int fd = open_urandom();
    if (fd < 0)
        return false;
    const bool filled = read_fully(fd, out, n);
    close(fd);
    return filled;
}
#endif

}  // namespace

bool random_bytes(uint8_t *out, std::size_t n)
{
#if TARNWICK_HAVE_GETENTROPY
    return fill_from_getentropy(out, n);
#else
    return fill_from_urandom(out, n);
#endif
}
