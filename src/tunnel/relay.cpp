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

// One direction of the tunnel: the sender it reads, the receiver it writes
// and what it has carried.
struct Direction {
    int from;
    int to;
    bool to_socket;  // else a pipe (standard output under -W)
    uint64_t &moved;
    const char *closed_message;  // the end message when this sender ends first
    bool open;                   // its sender has not ended yet
};

// A pipe has no sending side of its own to shut down: its end is its close.
bool end_sending(const Direction &d)
{
    return d.to_socket ? shutdown(d.to, SHUT_WR) == 0 : close(d.to) == 0;
}

// One read from the sender, passed on whole; an end of file is passed on as
// the end of the receiver's sending side, after everything read before it
// (each chunk is written whole before the next read). False when the whole
// tunnel must end at once; `ending` then says why.
bool serve_direction(Direction &d, char *buffer, const char *&ending)
{
    const ssize_t n = read(d.from, buffer, relay_chunk);
    if (n > 0) {
        if (write_all(d.to, buffer, static_cast<int32_t>(n), d.to_socket) != 0) {
            ending = "incomplete write";
            return false;
        }
        d.moved += static_cast<uint64_t>(n);
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return true;  // nothing moved (a spurious readiness report, say)
    d.open = false;
    if (ending == nullptr)
        ending = d.closed_message;
    // A reset sender, or a receiver that can no longer take the end (reset
    // itself), leaves nothing that the other direction could still carry.
    return n == 0 && end_sending(d);
}

// Copies both ways, passing each side's end on to the other, until both
// sides have ended or a transfer fails. The client reads from client_in and
// writes to client_out. Returns the end message, naming the side that ended
// first, or nullptr when the wait failed.
const char *relay(int client_in, int client_out, int proxy_fd, uint64_t &bytes_in, uint64_t &bytes_out)
{
    char buffer[relay_chunk];
    const int count = (client_in > proxy_fd ? client_in : proxy_fd) + 1;
    Direction in{proxy_fd, client_out, is_socket(client_out), bytes_in, "connection closed by proxy", true};
    Direction out{client_in, proxy_fd, true, bytes_out, "connection closed by client", true};
    const char *ending = nullptr;
    bool going = true;
    while (going && (in.open || out.open)) {
        fd_set readable;
        FD_ZERO(&readable);
        if (in.open)
            FD_SET(proxy_fd, &readable);
        if (out.open)
            FD_SET(client_in, &readable);
        timeval timeout{wait_seconds, 0};
        const int ready = select(count, &readable, nullptr, nullptr, &timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            perror("select");
            return nullptr;
        }
        // The proxy side first, then the client side from the same report.
        if (in.open && FD_ISSET(proxy_fd, &readable))
            going = serve_direction(in, buffer, ending);
        if (going && out.open && FD_ISSET(client_in, &readable))
            going = serve_direction(out, buffer, ending);
    }
    return ending;
}

}  // namespace

int write_all(int fd, const char *data, int32_t len, bool socket)
{
    if (len <= 0)
        return 0;
    const auto total = static_cast<std::size_t>(len);
    std::size_t done = 0;
    // Write first and wait only when the socket is full: the common case
    // costs one system call.
    while (done < total) {
        const ssize_t n = socket ? send(fd, data + done, total - done, send_flags)
                                 : write(fd, data + done, total - done);
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

int open_tunnel(int client_in, const std::string &host, int32_t port)
{
    const int proxy_fd = open_proxy_connection(client_in, host, port);
    if (proxy_fd == 0) {
        log_msg("handle_client() can't open proxy connection");
        return 0;
    }
    if (!set_nonblocking(proxy_fd))
        perror("fcntl");
    return proxy_fd;
}

void handle_client(int client_fd, const std::string &host, int32_t port)
{
    keep_sigpipe_from(client_fd);
    const int proxy_fd = open_tunnel(client_fd, host, port);
    if (proxy_fd != 0)
        relay_tunnel(client_fd, client_fd, proxy_fd);
}

void relay_tunnel(int client_in, int client_out, int proxy_fd)
{
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
    const time_t start = time(nullptr);
    const char *ending = relay(client_in, client_out, proxy_fd, bytes_in, bytes_out);
    if (ending != nullptr)
        log_msg("%s", ending);
    // 64 bits also where long has 32: a tunnel can carry more than 4 GiB.
    log_msg("%llu bytes in, %llu bytes out, %u seconds", static_cast<unsigned long long>(bytes_in),
            static_cast<unsigned long long>(bytes_out), static_cast<unsigned>(time(nullptr) - start));
    close(proxy_fd);
}
