// Helpers shared by the end-to-end tests of the tunnel and of the server:
// one server in a sandbox, what its client processes log, and deterministic
// byte streams for bulk transfers.
#pragma once

#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
inline Expect totals(uint64_t in, uint64_t out) {
    return re(std::to_string(in) + " bytes in, " + std::to_string(out) + " bytes out, [01] seconds");
}
inline std::string established(uint16_t proxy_port, const std::string &host = "127.0.0.1") {
    return "connection through proxy " + host + ":" + std::to_string(proxy_port) + " established";
}

inline uint16_t local_port(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.sin_port);
}

// Bounds every blocking send and receive on fd: a stuck tunnel fails the test
// instead of hanging it.
inline void bound_io(int fd) {
    const timeval t{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

// Waits until a socket listens on address:port (the address in the hex form
// of /proc/net/tcp). The server binds only after writing its banner.
inline bool wait_listening(uint16_t port, const char *address = "0100007F") {
    char entry[48];
    snprintf(entry, sizeof entry, "%s:%04X 00000000:0000 0A", address, port);
    return support::wait_until([&] { return support::read_file("/proc/net/tcp").find(entry) != std::string::npos; },
                               5000ms);
}

// Runs path with the words and environment given, its output into out and err.
inline pid_t spawn(std::vector<std::string> words, std::vector<std::string> env, const std::string &cwd, int out,
                   int err) {
    std::vector<char *> argv, envp;
    for (auto &w : words)
        argv.push_back(w.data());
    for (auto &e : env)
        envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const Fd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    support::become_subreaper();  // a detached server becomes our child
    return support::spawn_process(argv[0], argv.data(), envp.data(), cwd.c_str(), null.get(), out, err);
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
        client = wait_listening(port) ? support::connect_loopback(port) : Fd();
        if (!client)
            return "";
        bound_io(client.get());
        const std::string from = "connection from 127.0.0.1:" + std::to_string(local_port(client.get()));
        support::wait_for_log(box.log_path(), from);
        for (const auto &line : support::log_lines(box.log_path()))
            if (auto l = support::parse_log_line(line); l.message == from)
                return l.tag;
        return "";
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

// Deterministic bytes: the same seed yields the same stream at both ends, so
// the receiver checks every byte without keeping a copy.
struct Stream {
    uint64_t state;
    explicit Stream(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    void fill(char *out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            out[i] = static_cast<char>(state >> 24);
        }
    }
};

inline bool send_stream(int fd, uint64_t seed, std::size_t total) {
    Stream s(seed);
    std::vector<char> chunk(100000);
    for (std::size_t n = 0; total > 0; total -= n) {
        n = std::min(chunk.size(), total);
        s.fill(chunk.data(), n);
        if (!support::send_all(fd, std::string_view(chunk.data(), n)))
            return false;
    }
    return true;
}

// Receives `total` bytes, checking them against the stream; returns how many
// good bytes came before a difference, an end or a time-out.
inline std::size_t receive_stream(int fd, uint64_t seed, std::size_t total) {
    Stream s(seed);
    std::vector<char> got(65536), want(65536);
    std::size_t good = 0;
    for (ssize_t n; good < total; good += static_cast<std::size_t>(n)) {
        n = recv(fd, got.data(), std::min(got.size(), total - good), 0);
        if (n <= 0)
            return good;
        s.fill(want.data(), static_cast<std::size_t>(n));
        if (!std::equal(got.begin(), got.begin() + n, want.begin()))
            return good;
    }
    return good;
}

}  // namespace e2e
