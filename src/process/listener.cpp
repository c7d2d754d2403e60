#include "process/listener.h"

#include "config/settings.h"
#include "log/log.h"
#include "process/descriptors.h"
#include "process/signals.h"
#include "process/state.h"
#include "tunnel/relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One pending connection: clients are meant to be accepted as they come.
constexpr int listen_backlog = 1;
constexpr time_t wait_seconds = 10;

// Reports the failed call and gives up the socket.
int fail_listener(int fd, const char *call)
{
    perror(call);
    close(fd);
    return -1;
}

// The listen host is never looked up by name: anything but an IPv4 address
// in dotted form would become the address 255.255.255.255, a listener that
// nobody can reach.
std::optional<in_addr_t> listen_address(const std::string &host)
{
    const in_addr_t address = inet_addr(host.c_str());
    if (address == INADDR_NONE && host != "255.255.255.255") {
        log_msg("invalid listen address %s", escape_for_log(host).c_str());
        return std::nullopt;
    }
    return address;
}

int open_listener()
{
    const std::optional<in_addr_t> bind_address = listen_address(settings.listen_host.value_or(""));
    if (!bind_address)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    if (!set_nonblocking(fd))
        return fail_listener(fd, "fcntl");
    const int reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0)
        return fail_listener(fd, "setsockopt");
    // Accepted sockets inherit this. Without it the tail of a relayed chunk can
    // wait for the peer's delayed acknowledgement.
    const int no_delay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = *bind_address;
    address.sin_port = htons(static_cast<uint16_t>(settings.listen_port));
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail_listener(fd, "bind");
    if (listen(fd, listen_backlog) != 0)
        return fail_listener(fd, "listen");
    if (terminate_requested) {
        close(fd);
        return -1;
    }
    return fd;
}

// A client process holds nothing of the server's but the log descriptors 1
// and 2. The streams' descriptors are closed under them: the streams are never
// used again here, and the process ends with _exit.
void drop_server_descriptors(int listen_fd)
{
    close(listen_fd);
    close_wakeup_pipe();
    for (FILE **stream : {&state.log_file, &state.pid_file}) {
        if (*stream != nullptr)
            close(fileno(*stream));
        *stream = nullptr;
    }
}

// The client process: it serves its one connection and ends through _exit,
// so that nothing inherited from the server (stdio buffers, static
// destructors) runs a second time.
[[noreturn]] void serve_connection(int listen_fd, int client_fd, const sockaddr_in &peer)
{
    drop_server_descriptors(listen_fd);
    log_msg("connection from %s:%i", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
    handle_client(client_fd);
    close(client_fd);
    _exit(0);
}

// Non-blocking from the start, whatever the system's inheritance rules. A
// failed fcntl counts as a failed accept (errno is fcntl's).
int accept_nonblocking(int listen_fd, sockaddr_in &peer, socklen_t &length)
{
    sockaddr *address = reinterpret_cast<sockaddr *>(&peer);
#if TARNWICK_HAVE_ACCEPT4
    return accept4(listen_fd, address, &length, SOCK_NONBLOCK);
#else
    const int fd = accept(listen_fd, address, &length);
    if (fd >= 0 && !set_nonblocking(fd)) {
        const int saved_errno = errno;
        close(fd);
        errno = saved_errno;
        return -1;
    }
    return fd;
#endif
}

// Accepts one connection and gives it a process. False when the server must stop.
bool accept_connection(int listen_fd)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int client_fd = accept_nonblocking(listen_fd, peer, length);
    if (client_fd < 0 || length != sizeof peer) {
        perror("accept");
        if (client_fd >= 0)
            close(client_fd);
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        close(client_fd);
        return false;
    }
    if (child == 0)
        serve_connection(listen_fd, client_fd, peer);
    close(client_fd);
    return true;
}

// One wait for a connection or a signal. False when the server must stop.
bool serve_once(int listen_fd)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listen_fd, &readable);
    const int wake_fd = wakeup_fd();
    if (wake_fd >= 0)
        FD_SET(wake_fd, &readable);
    timeval timeout{wait_seconds, 0};
    const int count = (wake_fd > listen_fd ? wake_fd : listen_fd) + 1;
    const int ready = select(count, &readable, nullptr, nullptr, &timeout);
    if (ready < 0 && errno != EINTR) {
        perror("select");
        return false;
    }
    if (ready > 0 && FD_ISSET(listen_fd, &readable) && !accept_connection(listen_fd))
        return false;
    // Reap when a signal said so, and after a quiet wait too: a wake-up that
    // was lost must not leave a zombie for good. Without a wake-up pipe,
    // after every wait.
    if (wake_fd < 0 || ready <= 0 || FD_ISSET(wake_fd, &readable))
        reap_children();
    return true;
}

}  // namespace

bool run_accept_loop()
{
    const int listen_fd = open_listener();
    if (listen_fd < 0)
        return terminate_requested != 0;
    bool serving = true;
    while (serving && !terminate_requested)
        serving = serve_once(listen_fd);
    close(listen_fd);
    // The last endings are logged even when the server stops on a failure.
    reap_children();
    return serving;
}
