// What the reliability tests share: a running server between a proxy and an
// external service, the descriptor check and the view of a process through
// /proc.
#pragma once

#include "support/support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace reliability {

using namespace support;

// ---- descriptors ----

// The server holds exactly /dev/null (0), the log (1, 2 and the log stream),
// the pid file's stream, its listening socket and the two ends of one pipe.
::testing::AssertionResult server_descriptors_clean(pid_t server, const Sandbox &box, uint16_t listen_port);

// A client process holds exactly /dev/null (0), the log (1, 2), its client's
// connection and its own connection to the proxy.
::testing::AssertionResult client_descriptors_clean(pid_t client, const Sandbox &box, uint16_t client_port,
                                                    uint16_t proxy_port);

// ---- processes ----

// A "VmRSS", "VmHWM", "VmData"... figure from /proc/<pid>/status, in kB (-1 when unreadable).
long status_kb(pid_t pid, const char *field);

// ---- external services ----

// An external service that sends `total` pattern bytes (seed 0) to each
// connection and then closes it (total 0: until the peer goes or a stop).
// sent() counts what the kernel took so far.
class Source {
public:
    explicit Source(uint64_t total = 0);
    uint16_t port() const { return server_.port(); }
    uint64_t sent() const { return sent_.load(); }

private:
    uint64_t total_;
    std::atomic<uint64_t> sent_{0};
    TcpServer server_;
};

// An external service that reads and drops everything; received() counts it.
class Sink {
public:
    Sink();
    uint16_t port() const { return server_.port(); }
    uint64_t received() const { return received_.load(); }

private:
    std::atomic<uint64_t> received_{0};
    TcpServer server_;
};

// ---- a running server ----

// A client process's tunnel line, any proxy port on 127.0.0.1 (a regex).
inline const std::string tunnel_open = "connection through proxy 127\\.0\\.0\\.1:\\d+ established";

// A server in a sandbox of its own, its proxy (the real tinyproxy unless a
// fake one's port is given) and its external port. Stops everything by pid
// when it goes away.
struct Session {
    // Members go away bottom up: the server and tinyproxy before the sandbox
    // kills whatever is left.
    Sandbox box;
    Tinyproxy tinyproxy;
    Server server;
    uint16_t listen_port = 0;
    uint16_t proxy_port = 0;

    ~Session();

    // Starts tinyproxy (when proxy_port is 0) and the server; config as
    // config_text gives, plus any extra lines.
    ::testing::AssertionResult start(uint16_t external_port, uint16_t fake_proxy_port = 0,
                                     std::string_view extra_config = "",
                                     const TinyproxyOptions &proxy_options = {});
    ::testing::AssertionResult stop();

    std::string log() const { return box.log_path(); }
    Fd connect() const { return connect_loopback(listen_port); }

    // The pid of the client process serving the connection from client_port; 0 when none shows in time.
    pid_t client_pid(uint16_t client_port) const { return support::client_pid(log(), client_port); }

    // The messages that client process logged, in order.
    std::vector<std::string> messages_of(pid_t client) const;

    // Waits for "child <pid> exited with status 0", then checks that the
    // process logged the given messages in order (ECMAScript regexes matched
    // whole, starting from its tunnel line), that it is gone with no process
    // of the server left, and that the server holds just its own descriptors.
    ::testing::AssertionResult ended_cleanly(pid_t client, const std::vector<std::string> &messages,
                                             milliseconds timeout = milliseconds(20000)) const;
};

}  // namespace reliability
