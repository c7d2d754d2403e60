// Helpers shared by the end-to-end tests of the tunnel and of the server:
// one server in a sandbox and what its client processes log.
#pragma once

#include "support/support.h"

#include <regex>
#include <sys/socket.h>

namespace e2e {

using namespace std::chrono_literals;
using support::Fd;

// One expected log message: exact text, or a regex when made with re().
struct Expect {
    std::string text;
    bool regex = false;
    Expect(const char *t) : text(t) {}
    Expect(std::string t, bool r = false) : text(std::move(t)), regex(r) {}
};
inline Expect re(std::string pattern) { return {std::move(pattern), true}; }
// The totals line; the duration of these short tunnels is 0 or 1 second.
inline Expect totals(uint64_t in, uint64_t out) { return re(support::totals(in, out, "[01]")); }
inline std::string established(uint16_t proxy_port, const std::string &host = "127.0.0.1") {
    return "connection through proxy " + host + ":" + std::to_string(proxy_port) + " established";
}

// Bounds every blocking send and receive on fd: a stuck tunnel fails the test
// instead of hanging it.
inline void bound_io(int fd) {
    const timeval t{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

// How many CONNECT requests one connection to the proxy carried.
inline std::size_t requests_in(const std::string &sent) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = sent.find("CONNECT ", at)) != std::string::npos; at += 8)
        ++n;
    return n;
}

// Sends a line through the tunnel and reads it back.
inline ::testing::AssertionResult echoes(Fd &client) {
    const std::string line = "through the tunnel\n";
    if (!support::send_all(client.get(), line))
        return ::testing::AssertionFailure() << "send failed";
    const std::string back = support::read_n(client.get(), line.size());
    if (back != line)
        return ::testing::AssertionFailure() << "echoed " << ::testing::PrintToString(back);
    return ::testing::AssertionSuccess();
}

// A tarnwick server in a sandbox of its own, listening on a free port.
struct Daemon {
    support::Sandbox box;
    support::Server server;
    uint16_t port = support::free_port();

    ::testing::AssertionResult start(const std::string &config) {
        box.write_config(config);
        return support::start_server({}, box.options(), server);
    }
    std::string log() const { return support::read_file(box.log_path()); }

    // Connects a client and waits until its process logs the connection with
    // the client's port; returns that process's pid ("" when it never did).
    std::string connect(Fd &client) {
        client = support::connect_loopback(port);
        if (!client)
            return "";
        bound_io(client.get());
        const pid_t pid = support::client_pid(box.log_path(), support::local_port(client.get()), 5000ms);
        return pid == 0 ? "" : std::to_string(pid);
    }

    // A connection's process ended with status 0, and the server takes the
    // next client.
    ::testing::AssertionResult ended_and_serves_on(const std::string &pid) {
        if (!support::wait_for_log(box.log_path(), "*** child " + pid + " exited with status 0"))
            return ::testing::AssertionFailure() << "client " << pid << " did not end with status 0";
        Fd next;
        if (connect(next).empty())
            return ::testing::AssertionFailure() << "the server does not serve the next client:\n" << log();
        return ::testing::AssertionSuccess();
    }

    // Waits until client process pid has logged the expected last line, then
    // compares everything it logged after its connection line, with the
    // system-call reports (lines without a prefix) in their places.
    ::testing::AssertionResult story(const std::string &pid, const std::vector<Expect> &expected) {
        auto matches = [](const Expect &e, const std::string &m) {
            return e.regex ? std::regex_match(m, std::regex(e.text)) : e.text == m;
        };
        std::vector<std::string> got;
        support::wait_until(
            [&] {
                got.clear();
                for (const auto &line : support::log_lines(box.log_path()))
                    if (auto l = support::parse_log_line(line); (!l.prefixed || l.tag == pid) &&
                                                                !l.message.starts_with("connection from "))
                        got.push_back(l.message);
                return !got.empty() && matches(expected.back(), got.back());
            },
            5000ms);
        bool same = got.size() == expected.size();
        for (std::size_t i = 0; same && i < got.size(); ++i)
            same = matches(expected[i], got[i]);
        if (same)
            return ::testing::AssertionSuccess();
        auto failure = ::testing::AssertionFailure() << "expected of client " << pid << ":\n";
        for (const auto &e : expected)
            failure << "  " << (e.regex ? "~ " : "") << e.text << "\n";
        return failure << "log:\n" << log();
    }
};

}  // namespace e2e
