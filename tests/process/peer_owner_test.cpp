// Reading the kernel's answer about a peer's socket: only a socket of exactly
// the pair asked for, still held by a program, names an owner.
#include "process/peer_owner.h"

#include <gtest/gtest.h>

#if TARNWICK_HAVE_SOCK_DIAG
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <string>

namespace {

sockaddr_in address(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

const sockaddr_in client = address(51324);
const sockaddr_in listener = address(2222);

// An answer as the kernel gives it: the message, then attributes.
struct Answer {
    nlmsghdr header;
    inet_diag_msg message;
    char attributes[16];
};

// What the kernel says of the client's socket, held by a program of uid 1000.
std::string answer(const std::function<void(Answer &)> &change = {}, std::size_t cut = 0)
{
    Answer a;
    memset(&a, 0, sizeof a);
    a.header = {sizeof a, SOCK_DIAG_BY_FAMILY, 0, 0, 0};
    a.message.idiag_family = AF_INET;
    a.message.idiag_state = 1;  // established
    a.message.id.idiag_sport = client.sin_port;
    a.message.id.idiag_dport = listener.sin_port;
    a.message.id.idiag_src[0] = client.sin_addr.s_addr;
    a.message.id.idiag_dst[0] = listener.sin_addr.s_addr;
    a.message.idiag_uid = 1000;
    a.message.idiag_inode = 4711;
    if (change)
        change(a);
    return std::string(reinterpret_cast<const char *>(&a), sizeof a - cut);
}

TEST(PeerOwner, OnlyAHeldSocketOfThePairNamesItsOwner)
{
    const PeerOwner held = parse_owner_answer(answer(), client, listener);
    EXPECT_TRUE(held.known);
    EXPECT_EQ(held.uid, 1000u);

    const std::pair<const char *, std::string> unknown[] = {
        // No such socket: an error, with the query echoed, as long as an answer.
        {"error", answer([](Answer &a) { a.header.nlmsg_type = NLMSG_ERROR; })},
        {"cut inside the message", answer({}, sizeof(Answer::attributes) + 1)},
        {"message longer than its header says", answer([](Answer &a) { a.header.nlmsg_len = NLMSG_HDRLEN + 8; })},
        // Where the pair has no socket the kernel falls back to a listener on the client's port.
        {"a listener", answer([](Answer &a) { a.message.id.idiag_dport = 0, a.message.id.idiag_dst[0] = 0; })},
        {"another client port", answer([](Answer &a) { a.message.id.idiag_sport = htons(51325); })},
        // Closed by its program: TIME_WAIT names uid 0, which is root's.
        {"closed", answer([](Answer &a) { a.message.idiag_inode = 0, a.message.idiag_uid = 0; })},
    };
    for (const auto &[name, bytes] : unknown)
        EXPECT_FALSE(parse_owner_answer(bytes, client, listener).known) << name;
}

}  // namespace
#endif
