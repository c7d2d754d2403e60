#include "tunnel/relay.h"

#include "log/log.h"
#include "process/descriptors.h"
#include "tunnel/proxy.h"
#include "tunnel/sigpipe.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Each read asks for at most this much; one chunk is written out completely
// before the next read, so the slower side paces the faster one.
constexpr std::size_t relay_chunk = 65535;
constexpr time_t wait_seconds = 10;

// Waits until fd can take more bytes. False when the wait itself failed.
bool wait_writable(int fd)
{
    for (;;) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        timeval timeout{wait_seconds, 0};
        const int ready = select(fd + 1, nullptr, &writable, nullptr, &timeout);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            perror("select");
            return false;
        }
    }
}

// One read from `from`, passed on whole to `to`. Returns the end message when
// the tunnel must end, nullptr while it goes on.
const char *move_chunk(int from, int to, char *buffer, uint64_t &moved, const char *closed_message)
{
    const ssize_t n = read(from, buffer, relay_chunk);
    if (n == 0)
        return closed_message;
    if (n < 0)
        return nullptr;  // nothing moved (a spurious readiness report, say)
    if (write_all(to, buffer, static_cast<int32_t>(n)) != 0)
        return "incomplete write";
    moved += static_cast<uint64_t>(n);
    return nullptr;
}

// Copies both ways until a side closes or a transfer fails. Returns the
// end message, or nullptr when the wait failed.
const char *relay(int client_fd, int proxy_fd, uint64_t &bytes_in, uint64_t &bytes_out)
{
    char buffer[relay_chunk];
    const int count = (client_fd > proxy_fd ? client_fd : proxy_fd) + 1;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(proxy_fd, &readable);
        FD_SET(client_fd, &readable);
        timeval timeout{wait_seconds, 0};
        const int ready = select(count, &readable, nullptr, nullptr, &timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            perror("select");
            return nullptr;
        }
        // The proxy side first; an end there leaves the client side unread.
        if (FD_ISSET(proxy_fd, &readable))
            if (const char *end = move_chunk(proxy_fd, client_fd, buffer, bytes_in, "connection closed by proxy"))
                return end;
        if (FD_ISSET(client_fd, &readable))
            if (const char *end = move_chunk(client_fd, proxy_fd, buffer, bytes_out, "connection closed by client"))
                return end;
    }
}

}  // namespace

int write_all(int fd, const char *data, int32_t len)
{
    if (len <= 0)
        return 0;
    const auto total = static_cast<std::size_t>(len);
    std::size_t done = 0;
    // Write first and wait only when the socket is full: the common case
    // costs one system call.
    while (done < total) {
        const ssize_t n = send(fd, data + done, total - done, send_flags);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            perror("write");
            return 1;
        }
        if (!wait_writable(fd))
            return 1;
    }
    return 0;
}

void handle_client(int client_fd)
{
    keep_sigpipe_from(client_fd);
    const int proxy_fd = open_proxy_connection(client_fd);
    if (proxy_fd == 0) {
        log_msg("handle_client() can't open proxy connection");
        return;
    }
    if (!set_nonblocking(proxy_fd))
        perror("fcntl");
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
    const time_t start = time(nullptr);
    const char *ending = relay(client_fd, proxy_fd, bytes_in, bytes_out);
    if (ending != nullptr)
        log_msg("%s", ending);
    // 64 bits also where long has 32: a tunnel can carry more than 4 GiB.
    log_msg("%llu bytes in, %llu bytes out, %u seconds", static_cast<unsigned long long>(bytes_in),
            static_cast<unsigned long long>(bytes_out), static_cast<unsigned>(time(nullptr) - start));
    close(proxy_fd);
}
