// Whose program holds the other end of a connection: what `allow owner` asks
// the kernel in a connection's process before anything goes to the proxy.
#pragma once

#include <netinet/in.h>
#include <string_view>
#include <sys/types.h>

// The owner of a peer's socket, as the kernel named it.
struct PeerOwner {
    bool known = false;  // a socket of exactly that pair, still held by a program
    uid_t uid = 0;
};

// Once, at start-up: under `allow owner`, connections are checked where the
// kernel names the owner of a loopback connection the server makes to
// itself. Sets state.check_peer_owner.
void settle_peer_check();

// The banner's words for the setting in force.
const char *allow_in_force();

// In a connection's process: whether its peer may be served. When it may
// not, `owner` holds what the kernel said.
bool peer_admitted(int client_fd, const sockaddr_in &peer, PeerOwner &owner);

// The line of a connection that peer_admitted turned away.
void log_peer_refusal(const PeerOwner &owner);

// The owner of the TCP socket whose own address is `from` and whose peer is
// `to`; unknown where the system can't tell or no program holds that socket.
PeerOwner find_peer_owner(const sockaddr_in &from, const sockaddr_in &to);

#if TARNWICK_HAVE_SOCK_DIAG
// Reads the kernel's answer (a netlink message) to the query for that pair.
PeerOwner parse_owner_answer(std::string_view answer, const sockaddr_in &from, const sockaddr_in &to);
#endif
