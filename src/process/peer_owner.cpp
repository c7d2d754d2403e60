#include "process/peer_owner.h"

#include "config/settings.h"
#include "log/log.h"
#include "process/state.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#if TARNWICK_HAVE_SOCK_DIAG
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#endif

namespace {

bool local_address(int fd, sockaddr_in &address)
{
    socklen_t length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0 && length == sizeof address;
}

// A probe that asks exactly what a connection's process will ask: the owner
// of a connecting socket on loopback, here one of the server's own. It fails
// without sock_diag, where a seccomp filter refuses the netlink socket, and
// where the kernel lacks inet_diag.
bool own_connection_owner_seen()
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in from{};
    const int listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    const int client_fd = socket(AF_INET, SOCK_STREAM, 0);
    // A blocking connect to a listening loopback socket completes without an accept.
    const bool connected =
        listen_fd >= 0 && client_fd >= 0 &&
        bind(listen_fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 && listen(listen_fd, 1) == 0 &&
        local_address(listen_fd, to) &&
        connect(client_fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 && local_address(client_fd, from);
    const PeerOwner owner = connected ? find_peer_owner(from, to) : PeerOwner{};
    for (const int fd : {listen_fd, client_fd})
        if (fd >= 0)
            close(fd);
    return owner.known && owner.uid == getuid();
}

}  // namespace

void settle_peer_check()
{
    state.check_peer_owner = settings.allow == Allow::owner && own_connection_owner_seen();
}

const char *allow_in_force()
{
    if (settings.allow == Allow::any)
        return "any";
    return state.check_peer_owner ? "owner" : "any (this system can't tell users apart: other local users can connect)";
}

bool peer_admitted(int client_fd, const sockaddr_in &peer, PeerOwner &owner)
{
    if (!state.check_peer_owner)
        return true;
    sockaddr_in local{};
    owner = local_address(client_fd, local) ? find_peer_owner(peer, local) : PeerOwner{};
    return owner.known && owner.uid == getuid();
}

void log_peer_refusal(const PeerOwner &owner)
{
    if (owner.known)
        log_msg("connection refused: not the owner's (uid %lu)", static_cast<unsigned long>(owner.uid));
    else
        log_msg("connection refused: owner unknown");
}

#if TARNWICK_HAVE_SOCK_DIAG

namespace {

// The answer is one inet_diag_msg and a few attributes; only its start is
// read, so a longer one may be cut here.
constexpr std::size_t answer_size = 4096;

struct OwnerQuery {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// A lookup of exactly one socket (no dump): the one whose own address and
// port are `from` and whose peer is `to`.
OwnerQuery owner_query(const sockaddr_in &from, const sockaddr_in &to)
{
    OwnerQuery query;
    memset(&query, 0, sizeof query);
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0U;
    query.request.id.idiag_sport = from.sin_port;
    query.request.id.idiag_dport = to.sin_port;
    query.request.id.idiag_src[0] = from.sin_addr.s_addr;
    query.request.id.idiag_dst[0] = to.sin_addr.s_addr;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return query;
}

}  // namespace

PeerOwner find_peer_owner(const sockaddr_in &from, const sockaddr_in &to)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return {};
    const OwnerQuery query = owner_query(from, to);
    char answer[answer_size];
    ssize_t n = -1;
    // The kernel answers within the send, so the answer is read without a
    // wait; a system that answered later would fail the start-up probe too.
    if (send(fd, &query, sizeof query, 0) == static_cast<ssize_t>(sizeof query)) {
        do
            n = recv(fd, answer, sizeof answer, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
    }
    close(fd);
    if (n <= 0)
        return {};
    return parse_owner_answer(std::string_view(answer, static_cast<std::size_t>(n)), from, to);
}

PeerOwner parse_owner_answer(std::string_view answer, const sockaddr_in &from, const sockaddr_in &to)
{
    constexpr uint64_t message_end = uint64_t{NLMSG_HDRLEN} + sizeof(inet_diag_msg);
    // An error answer (no such socket, a refused query) is shorter than this.
    if (answer.size() < message_end)
        return {};
    nlmsghdr header;
    inet_diag_msg message;
    memcpy(&header, answer.data(), sizeof header);
    memcpy(&message, answer.data() + NLMSG_HDRLEN, sizeof message);
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len < message_end)
        return {};
    // Where the pair has no socket the kernel may answer for a listener on
    // `from` instead.
    const bool same_pair = message.idiag_family == AF_INET && message.id.idiag_sport == from.sin_port &&
                           message.id.idiag_dport == to.sin_port &&
                           message.id.idiag_src[0] == from.sin_addr.s_addr &&
                           message.id.idiag_dst[0] == to.sin_addr.s_addr;
    // A socket its program has closed has no inode, and the kernel names
    // uid 0 for what is left of it (TIME_WAIT): its owner is no longer known.
    if (!same_pair || message.idiag_inode == 0)
        return {};
    return {true, static_cast<uid_t>(message.idiag_uid)};
}

#else

// No system call here names the owner of a socket at the other end.
PeerOwner find_peer_owner(const sockaddr_in &, const sockaddr_in &)
{
    return {};
}

#endif
