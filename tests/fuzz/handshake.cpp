// Arbitrary bytes as a proxy's answers, through every login's rounds. The
// first byte picks the auth-scheme and whether an auth line is set; the rest
// is all the proxy sends on its connection, followed by its end. A round that
// wants a new connection meets a port that refuses it.
#include "config/settings.h"
#include "tunnel/proxy.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

uint16_t refusing_port = 0;

// A bound socket that never listens: connections to its port are refused at once.
void bind_refusing_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        abort();
    refusing_port = ntohs(address.sin_port);
}

void configure(uint8_t mode)
{
    constexpr AuthScheme schemes[] = {AuthScheme::any, AuthScheme::basic, AuthScheme::digest, AuthScheme::ntlm};
    clear_settings();
    settings.proxy_host = "127.0.0.1";
    settings.proxy_port = refusing_port;
    settings.external_host = "ext.example";
    settings.external_port = 22;
    settings.auth_scheme = schemes[mode % 4];
    if ((mode & 4) != 0) {
        settings.auth = mode & 8 ? "alice@corp.example:s\xc3\xa9" "cret" : "CORP\\alice:secret";
        settings.auth_token = base64_encode(*settings.auth);
    }
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    signal(SIGPIPE, SIG_IGN);
    bind_refusing_port();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    // All of it must fit the socket pair's buffer, written before the handshake reads.
    if (size < 1 || size > 65536)
        return 0;
    configure(data[0]);
    int proxy[2], client[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, proxy) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, client) != 0)
        abort();
    if (write(proxy[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1))
        abort();
    shutdown(proxy[1], SHUT_WR);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    const int tunnel = proxy_handshake(proxy[0], client[0], loopback, "ext.example", 22);
    // The handshake owns the connection: it returns the one in use, or closes it.
    if (tunnel != proxy[0] && is_open(proxy[0]))
        abort();
    if (tunnel > 0)
        close(tunnel);
    close(proxy[1]);
    close(client[0]);
    close(client[1]);
    return 0;
}
