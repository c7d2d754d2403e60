// Loopback sockets for tests: free ports, a client side, and a small threaded
// server that the fake proxy and the echo server are built on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace support {

using std::chrono::milliseconds;

// A loopback TCP port that was free a moment ago (bound to 127.0.0.1:0 and
// released).
uint16_t free_port();

// Owns one descriptor; closes it when it goes away.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd &operator=(Fd &&other) noexcept;
    ~Fd() { reset(); }
    void reset(int f = -1);
    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
};

// The local port of a socket (0 when it has none).
uint16_t local_port(int fd);

// A blocking TCP connection to 127.0.0.1:port; invalid Fd on failure.
Fd connect_loopback(uint16_t port);

// Sends every byte (MSG_NOSIGNAL: a gone peer is a false result, not SIGPIPE).
// Also writes to a pipe, where a gone reader raises SIGPIPE.
bool send_all(int fd, std::string_view bytes);

// Waits up to timeout for fd to be readable (or closed/failed).
bool wait_readable(int fd, milliseconds timeout);

// Reads until the peer closes or the bound passes. *eof tells which. This and
// read_n also read pipes.
std::string read_all(int fd, milliseconds timeout = milliseconds(5000), bool *eof = nullptr);

// Reads until n bytes arrived (never more), the peer closed, or the bound passed.
std::string read_n(int fd, std::size_t n, milliseconds timeout = milliseconds(5000));

// True when the peer has closed the connection (a read returns 0 or fails)
// within the bound; data that arrives first is discarded.
bool wait_closed(int fd, milliseconds timeout = milliseconds(5000));

// Bytes that can be recomputed at any offset, so a reader checks every byte
// without keeping a copy: no byte lost, added or moved. Each seed gives its
// own stream.
char pattern_byte(uint64_t offset, uint32_t seed);
std::string pattern(uint64_t offset, std::size_t length, uint32_t seed);

// Sends the first `total` bytes of the seed's stream.
bool send_pattern(int fd, uint32_t seed, std::size_t total);

// Receives (blocking recv) up to `total` bytes, checking them against the
// seed's stream; returns how many good bytes came before a difference, an end
// or a failed receive.
std::size_t receive_pattern(int fd, uint32_t seed, std::size_t total);

// FNV-1a, 64 bits.
uint64_t checksum(std::string_view bytes, uint64_t start = 14695981039346656037ull);

// One accepted connection as a handler sees it.
struct Connection {
    int fd = -1;
    std::size_t index = 0;  // 0 for the first connection accepted, and so on
    const std::atomic<bool> *stopping = nullptr;
    bool stop_requested() const { return stopping->load(); }
};

// Listens on 127.0.0.1:<free port> and runs handler(conn) in a thread of its
// own for every accepted connection; the connection is closed when the
// handler returns. stop() (also run by the destructor) ends accepting, shuts
// the open connections down and joins the threads: handlers must return soon
// after stop_requested() becomes true (the helpers below poll it).
class TcpServer {
public:
    using Handler = std::function<void(Connection &)>;
    explicit TcpServer(Handler handler);
    ~TcpServer();
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    uint16_t port() const { return port_; }
    bool listening() const { return listen_fd_ >= 0; }
    std::size_t accepted() const { return accepted_.load(); }
    bool wait_for_accepted(std::size_t n, milliseconds timeout = milliseconds(5000)) const;
    void stop();

private:
    void accept_loop();
    void serve(int fd, std::size_t index);

    Handler handler_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> accepted_{0};
    std::mutex mutex_;
    std::vector<int> open_fds_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// For handlers: receives what is available within the bound (stopping early
// when a stop is requested). *eof is set when the peer closed or failed.
std::string receive_some(Connection &conn, milliseconds timeout, bool *eof);

// Called with every chunk a handler receives.
using DataSink = std::function<void(std::string_view)>;

// For handlers: sends back every byte received until the peer closes or a
// stop is requested, passing each chunk to sink first when given.
void echo_until_closed(Connection &conn, const DataSink &sink = {});

// For handlers: reads (into sink) until the peer closes or a stop is requested.
void hold_until_closed(Connection &conn, const DataSink &sink = {});

// Sleeps, waking early when a stop is requested. False when stopped.
bool pause_unless_stopped(Connection &conn, milliseconds delay);

// Echoes every connection's bytes back; records what each one sent so far.
class EchoServer {
public:
    EchoServer();
    uint16_t port() const { return server_.port(); }
    std::size_t accepted() const { return server_.accepted(); }
    std::string received(std::size_t index) const;
    void stop() { server_.stop(); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    TcpServer server_;  // last: stopped before the records go away
};

}  // namespace support
