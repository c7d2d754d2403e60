#include "process/listener.h"

#include "config/settings.h"
#include "log/log.h"
#include "process/descriptors.h"
#include "process/peer_owner.h"
#include "process/shortage.h"
#include "process/signals.h"
#include "process/state.h"
#include "tunnel/relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <initializer_list>
#include <optional>
#include <string>
#include <sys/select.h>
#include <vector>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The system's usual queue: a burst of clients (parallel ssh sessions) waits
// there instead of being turned away, and so do connections that arrive while
// a shortage pauses the accepting.
constexpr int listen_backlog = SOMAXCONN;
constexpr time_t wait_seconds = 10;

ShortageReports fork_reports{"fork"};
ShortageReports accept_reports{"accept"};
ShortageReports select_reports{"select"};

// One listening socket and the tunnel its connections take.
struct Listener {
    int fd = -1;
    Tunnel tunnel;
};

// Every listener of the server, in the config's order.
std::vector<Listener> listeners;

enum class AcceptFailure { transient, shortage, broken };

// Failures that belong to the pending connection, not to the listener: it
// went away, or the call was interrupted. Linux also passes on the network
// errors of a connection still being set up; they mean the same.
AcceptFailure classify_accept_failure(int error)
{
    for (const int transient : {ECONNABORTED, EINTR, EAGAIN, EWOULDBLOCK, EPROTO, EPERM, ENETDOWN, ENOPROTOOPT,
                                EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH})
        if (error == transient)
            return AcceptFailure::transient;
#ifdef EHOSTDOWN
    if (error == EHOSTDOWN)
        return AcceptFailure::transient;
#endif
#ifdef ENONET
    if (error == ENONET)
        return AcceptFailure::transient;
#endif
    for (const int shortage : {EMFILE, ENFILE, ENOBUFS, ENOMEM})
        if (error == shortage)
            return AcceptFailure::shortage;
    return AcceptFailure::broken;
}

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

int open_listener(const Tunnel &tunnel)
{
    const std::optional<in_addr_t> bind_address = listen_address(tunnel.listen_host);
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
    address.sin_port = htons(static_cast<uint16_t>(tunnel.listen_port));
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

void close_listeners()
{
    for (const Listener &listener : listeners)
        close(listener.fd);
    listeners.clear();
}

// All or nothing: a server that can't open one of its listeners opens none.
bool open_listeners()
{
    for (const Tunnel &tunnel : server_tunnels()) {
        const int fd = open_listener(tunnel);
        if (fd < 0) {
            close_listeners();
            return false;
        }
        listeners.push_back({fd, tunnel});
    }
    return true;
}

// A client process holds nothing of the server's but the log descriptors 1
// and 2. The streams' descriptors are closed under them: the streams are never
// used again here, and the process ends with _exit.
void drop_server_descriptors()
{
    close_listeners();
    close_wakeup_pipe();
    for (FILE **stream : {&state.log_file, &state.pid_file}) {
        if (*stream != nullptr)
            close(fileno(*stream));
        *stream = nullptr;
    }
}

// Where a server has several tunnels, the first line of a connection says
// which far end it is for.
void log_connection(const sockaddr_in &peer, const Tunnel &tunnel, bool several)
{
    if (!several) {
        log_msg("connection from %s:%i", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
        return;
    }
    log_msg("connection from %s:%i for %s:%u", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port),
            escape_for_log(tunnel.external_host).c_str(), static_cast<uint32_t>(tunnel.external_port));
}

// The client process: it serves its one connection and ends through _exit,
// so that nothing inherited from the server (stdio buffers, static
// destructors) runs a second time.
[[noreturn]] void serve_connection(Tunnel tunnel, int client_fd, const sockaddr_in &peer)
{
    const bool several = listeners.size() > 1;
    drop_server_descriptors();
    // The peer first, as early as the process can: once its client has
    // closed the socket, the kernel no longer knows whose it was.
    PeerOwner owner;
    const bool admitted = peer_admitted(client_fd, peer, owner);
    log_connection(peer, tunnel, several);
    if (admitted)
        handle_client(client_fd, tunnel.external_host, tunnel.external_port);
    else
        log_peer_refusal(owner);
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

// A failed accept costs at most a pause: only a broken listener stops the
// server. False when it must stop.
bool survive_accept_failure()
{
    switch (classify_accept_failure(errno)) {
    case AcceptFailure::transient:
        return true;
    case AcceptFailure::shortage:
        report_shortage(accept_reports);
        pause_accepting(false);
        return true;
    case AcceptFailure::broken:
        perror("accept");
        return false;
    }
    return false;
}

// The connection is closed at once, so its client knows; the server goes on.
// Short of processes, it waits for one to end (or a second) before the next
// accept, so a flood neither spins nor fills the log.
void survive_fork_failure(int client_fd)
{
    const bool short_of_processes = errno == EAGAIN || errno == ENOMEM;
    report_shortage(fork_reports);
    close(client_fd);
    if (short_of_processes)
        pause_accepting(true);
}

// Accepts one connection and gives it a process. False when the server must stop.
bool accept_connection(const Listener &listener)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int client_fd = accept_nonblocking(listener.fd, peer, length);
    if (client_fd < 0)
        return survive_accept_failure();
    // Not an IPv4 peer: nothing this listener can have accepted; that one
    // connection is dropped.
    if (length != sizeof peer) {
        close(client_fd);
        return true;
    }
    const pid_t child = fork();
    if (child < 0) {
        survive_fork_failure(client_fd);
        return true;
    }
    if (child == 0)
        serve_connection(listener.tunnel, client_fd, peer);
    close(client_fd);
    return true;
}

// A failed wait of the loop. False when the server must stop.
bool survive_select_failure()
{
    if (errno != ENOMEM) {
        perror("select");
        return false;
    }
    report_shortage(select_reports);
    // The pause's own wait would fail the same way.
    sleep_a_second();
    return true;
}

void reap_and_note()
{
    if (reap_children() > 0)
        note_child_ended();
}

// Adds every listener to the set; returns the highest descriptor.
int watch_listeners(fd_set &readable)
{
    int highest = -1;
    for (const Listener &listener : listeners) {
        FD_SET(listener.fd, &readable);
        highest = listener.fd > highest ? listener.fd : highest;
    }
    return highest;
}

// One accept on every listener with a connection waiting. A shortage met on
// one pauses them all at once: the next accept would only meet it again.
// False when the server must stop.
bool accept_waiting(const fd_set &readable)
{
    for (const Listener &listener : listeners) {
        timeval left{};
        if (accepting_paused(left))
            return true;
        if (FD_ISSET(listener.fd, &readable) && !accept_connection(listener))
            return false;
    }
    return true;
}

// One wait for a connection on any listener, or a signal. While accepting is
// paused the listeners are left out, and the wait lasts as long as the pause.
// False when the server must stop.
bool serve_once()
{
    timeval timeout{wait_seconds, 0};
    const bool accepting = !accepting_paused(timeout);
    fd_set readable;
    FD_ZERO(&readable);
    int highest = accepting ? watch_listeners(readable) : -1;
    const int wake_fd = wakeup_fd();
    if (wake_fd >= 0) {
        FD_SET(wake_fd, &readable);
        highest = wake_fd > highest ? wake_fd : highest;
    }
    const int ready = select(highest + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0 && errno != EINTR && !survive_select_failure())
        return false;
    if (ready > 0 && accepting && !accept_waiting(readable))
        return false;
    // Reap when a signal said so, and after a quiet wait too: a wake-up that
    // was lost must not leave a zombie for good. Without a wake-up pipe,
    // after every wait.
    if (wake_fd < 0 || ready <= 0 || FD_ISSET(wake_fd, &readable))
        reap_and_note();
    for (ShortageReports *reports : {&fork_reports, &accept_reports, &select_reports})
        report_unreported(*reports);
    return true;
}

}  // namespace

bool run_accept_loop()
{
    if (!open_listeners())
        return terminate_requested != 0;
    bool serving = true;
    while (serving && !terminate_requested)
        serving = serve_once();
    close_listeners();
    // The last endings are logged even when the server stops on a failure.
    reap_children();
    return serving;
}
