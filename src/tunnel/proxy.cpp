#include "tunnel/proxy.h"

#include "config/settings.h"
#include "log/log.h"
#include "tunnel/response.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How much of the proxy's answer is looked at per step. The bytes are only
// peeked at; exactly those that belong to the header are then consumed.
constexpr std::size_t peek_size = 4096;

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
    return fd;
}

// The socket is still blocking here; a failure shows when the answer is read.
void send_request(int fd, const std::string &request)
{
    std::size_t done = 0;
    while (done < request.size()) {
        const ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
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

// Reads the response header up to its empty line and not one byte further:
// whatever follows is the remote side's first tunnel data.
bool read_response_header(int fd, ResponseScan &scan)
{
    char bytes[peek_size];
    while (!scan.done) {
        const ssize_t n = recv(fd, bytes, sizeof bytes, MSG_PEEK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            perror("read");
        if (n <= 0)
            return false;
        const std::size_t used = scan_response(scan, std::string_view(bytes, static_cast<std::size_t>(n)));
        if (!consume(fd, used))
            return false;
    }
    return true;
}

}  // namespace

std::string build_connect_request()
{
    const std::string &host = settings.external_host.value_or("");
    const std::string port = std::to_string(static_cast<uint32_t>(settings.external_port));
    std::string request = "CONNECT " + host + ":" + port + " HTTP/1.0\r\nHost: " + host + "\r\n";
    if (settings.auth_token)
        request += "Proxy-Authorization: Basic " + *settings.auth_token + "\r\n";
    request += "\r\n";
    return request;
}

int open_proxy_connection()
{
    const int fd = connect_to_proxy();
    if (fd == 0)
        return 0;
    send_request(fd, build_connect_request());
    ResponseScan scan;
    if (!read_response_header(fd, scan)) {
        log_msg("didn't detect proxy response");
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
