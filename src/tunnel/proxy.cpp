#include "tunnel/proxy.h"

#include "config/settings.h"
#include "log/log.h"
#include "process/descriptors.h"
#include "tunnel/response.h"
#include "tunnel/sigpipe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How much of the proxy's answer is looked at per step. The bytes are only
// peeked at; exactly those that belong to the header are then consumed.
constexpr std::size_t peek_size = 4096;
constexpr int wait_milliseconds = 10000;

enum class Answer { header, none, client_gone };

// Once the client has stopped sending, the proxy gets this long to answer:
// longer than a proxy's own connect time-out, so only a proxy that never
// answers meets it, and such a proxy does not keep this process forever.
constexpr std::chrono::seconds stopped_client_wait{120};

#if TARNWICK_HAVE_POLLRDHUP
constexpr short client_watch = POLLRDHUP;
constexpr short client_stopped = POLLRDHUP;
#else
// Without an event of its own, the end of file shows as readability.
constexpr short client_watch = POLLIN;
constexpr short client_stopped = POLLIN;
#endif
// Reported whether asked for or not: the client has reset or failed.
constexpr short client_failed = POLLHUP | POLLERR;

// What the handshake still watches of the client, and how long it waits.
struct ClientWatch {
    bool socket = true;  // else a pipe (standard input under -W): no peeking, no reset
    bool ended = false;  // a pipe at its end: nothing left to learn from it
    short events = client_watch;
    bool bounded = false;
    std::chrono::steady_clock::time_point deadline{};
};

std::optional<in_addr> resolve_proxy(const std::string &host)
{
    in_addr address{};
    address.s_addr = inet_addr(host.c_str());
    if (address.s_addr != INADDR_NONE)
        return address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        log_msg("invalid host name %s", escape_for_log(host).c_str());
        return std::nullopt;
    }
    address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

int connect_to_proxy()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        return 0;
    }
    const std::optional<in_addr> address = resolve_proxy(settings.proxy_host.value_or(""));
    if (!address) {
        close(fd);
        return 0;
    }
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_addr = *address;
    proxy.sin_port = htons(static_cast<uint16_t>(settings.proxy_port));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&proxy), sizeof proxy) != 0) {
        perror("connect");
        close(fd);
        return 0;
    }
    const int no_delay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    keep_sigpipe_from(fd);
    return fd;
}

// The socket is still blocking here; a failure shows when the answer is read.
void send_request(int fd, const std::string &request)
{
    std::size_t done = 0;
    while (done < request.size()) {
        const ssize_t n = send(fd, request.data() + done, request.size() - done, send_flags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Takes exactly `count` bytes that an earlier peek has shown to be there.
bool consume(int fd, std::size_t count)
{
    char sink[peek_size];
    while (count > 0) {
        const ssize_t n = read(fd, sink, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                perror("read");
            return false;
        }
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// The client's end of file is not its leaving: what it sent, end included,
// waits in its socket for the tunnel. It is no longer watched for reading, so
// that poll does not report the same end over and over; poll's own reports of
// a reset or failure still end the wait, and the bound starts.
void stop_reading_client(ClientWatch &watch)
{
    watch.events = 0;
    if (!watch.bounded)
        watch.deadline = std::chrono::steady_clock::now() + stopped_client_wait;
    watch.bounded = true;
}

// A pipe's POLLHUP is its end of file, not a failure, and poll reports it on
// every call from then on: the pipe is left out of the wait altogether.
void stop_watching_pipe(ClientWatch &watch)
{
    stop_reading_client(watch);
    watch.ended = true;
}

#if !TARNWICK_HAVE_POLLRDHUP
// A readable client, where that is all poll can say: a failing peek is a
// failure. An end of file (nothing to peek at) and bytes waiting (an end may
// follow them unseen, as nothing is consumed) both stop the reading watch.
bool client_failed_on_peek(int client_fd, ClientWatch &watch)
{
    // A pipe can't be peeked at, nor fail: readable is all it can say.
    if (!watch.socket) {
        stop_reading_client(watch);
        return false;
    }
    char byte;
    const ssize_t n = recv(client_fd, &byte, 1, MSG_PEEK);
    if (n < 0)
        return errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK;
    stop_reading_client(watch);
    return false;
}
#endif

int poll_milliseconds(const ClientWatch &watch)
{
    if (!watch.bounded)
        return wait_milliseconds;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          watch.deadline - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : left < wait_milliseconds ? static_cast<int>(left) : wait_milliseconds;
}

// Waits until the proxy has something to say. False when the client resets
// or fails first, or when the proxy stays silent past the bound that started
// with the client's end. Bytes the client sent are not touched.
bool wait_for_proxy(int proxy_fd, int client_fd, ClientWatch &watch)
{
    for (;;) {
        // poll skips a negative descriptor.
        pollfd watched[] = {{proxy_fd, POLLIN, 0}, {watch.ended ? -1 : client_fd, watch.events, 0}};
        const int ready = poll(watched, 2, poll_milliseconds(watch));
        if (ready < 0 && errno != EINTR) {
            perror("poll");
            return true;  // the read that follows reports what is wrong
        }
        if (ready > 0 && watched[0].revents != 0)
            return true;
        if (ready > 0 && !watch.socket && (watched[1].revents & POLLHUP) != 0)
            stop_watching_pipe(watch);
        else if (ready > 0 && (watched[1].revents & client_failed) != 0)
            return false;
        if (ready > 0 && (watched[1].revents & client_stopped) != 0) {
#if TARNWICK_HAVE_POLLRDHUP
            stop_reading_client(watch);
#else
            if (client_failed_on_peek(client_fd, watch))
                return false;
#endif
        }
        if (watch.bounded && std::chrono::steady_clock::now() >= watch.deadline)
            return false;
    }
}

// Reads the response header up to its empty line and not one byte further:
// whatever follows is the remote side's first tunnel data.
Answer read_response_header(int fd, int client_fd, ResponseScan &scan)
{
    char bytes[peek_size];
    ClientWatch watch;
    watch.socket = is_socket(client_fd);
    while (!scan.done) {
        if (!wait_for_proxy(fd, client_fd, watch))
            return Answer::client_gone;
        const ssize_t n = recv(fd, bytes, sizeof bytes, MSG_PEEK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            perror("read");
        if (n <= 0)
            return Answer::none;
        const std::size_t used = scan_response(scan, std::string_view(bytes, static_cast<std::size_t>(n)));
        if (!consume(fd, used))
            return Answer::none;
    }
    return Answer::header;
}

}  // namespace

std::string build_connect_request(const std::string &host, int32_t port)
{
    std::string request = "CONNECT " + host + ":" + std::to_string(static_cast<uint32_t>(port)) +
                          " HTTP/1.0\r\nHost: " + host + "\r\n";
    if (settings.auth_token)
        request += "Proxy-Authorization: Basic " + *settings.auth_token + "\r\n";
    request += "\r\n";
    return request;
}

int open_proxy_connection(int client_fd, const std::string &host, int32_t port)
{
    const int fd = connect_to_proxy();
    if (fd == 0)
        return 0;
    send_request(fd, build_connect_request(host, port));
    ResponseScan scan;
    const Answer answer = read_response_header(fd, client_fd, scan);
    if (answer != Answer::header) {
        log_msg(answer == Answer::none ? "didn't detect proxy response"
                                       : "client left before proxy response");
        close(fd);
        return 0;
    }
    if (!status_allows_tunnel(scan.status_line)) {
        log_msg("proxy refused tunnel: %s", escape_for_log(scan.status_line).c_str());
        close(fd);
        return 0;
    }
    log_msg("connection through proxy %s:%u established",
            escape_for_log(settings.proxy_host.value_or("")).c_str(),
            static_cast<uint32_t>(settings.proxy_port));
    return fd;
}
