#include "support/net.h"

#include "support/process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace support {

using Clock = std::chrono::steady_clock;
static constexpr milliseconds poll_step{20};

static sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

static int listen_loopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t free_port() {
    int fd = listen_loopback(0);
    if (fd < 0)
        return 0;
    uint16_t port = local_port(fd);
    close(fd);
    return port;
}

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) {
        reset(other.fd);
        other.fd = -1;
    }
    return *this;
}

void Fd::reset(int f) {
    if (fd >= 0)
        close(fd);
    fd = f;
}

Fd connect_loopback(uint16_t port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = loopback(port);
    if (fd && connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fd.reset();
    return fd;
}

bool send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool wait_readable(int fd, milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, static_cast<int>(timeout.count()));
    while (r < 0 && errno == EINTR);
    return r > 0;
}

// One read of what is there (at most max bytes); 0 bytes and eof on close or failure.
static std::string read_once(int fd, bool &eof, std::size_t max = 65536) {
    char buffer[65536];
    ssize_t n = read(fd, buffer, std::min(max, sizeof buffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return {};
    eof = n <= 0;
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

static std::string read_until(int fd, std::size_t n, milliseconds timeout, bool *eof_out) {
    std::string data;
    bool eof = false;
    auto deadline = Clock::now() + timeout;
    while (!eof && data.size() < n) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !wait_readable(fd, left))
            break;
        data += read_once(fd, eof, n - data.size());
    }
    if (eof_out != nullptr)
        *eof_out = eof;
    return data;
}

std::string read_all(int fd, milliseconds timeout, bool *eof) {
    return read_until(fd, std::string::npos, timeout, eof);
}

std::string read_n(int fd, std::size_t n, milliseconds timeout) { return read_until(fd, n, timeout, nullptr); }

bool wait_closed(int fd, milliseconds timeout) {
    bool eof = false;
    read_all(fd, timeout, &eof);
    return eof;
}

char pattern_byte(uint64_t offset, uint32_t seed) {
    const uint64_t mixed = (offset + seed) * 0x9E3779B97F4A7C15ull;
    return static_cast<char>(mixed >> 56 ^ offset >> 16);
}

std::string pattern(uint64_t offset, std::size_t length, uint32_t seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = pattern_byte(offset + i, seed);
    return bytes;
}

bool send_pattern(int fd, uint32_t seed, std::size_t total) {
    constexpr std::size_t chunk = 100000;
    for (std::size_t offset = 0; offset < total; offset += chunk)
        if (!send_all(fd, pattern(offset, std::min(chunk, total - offset), seed)))
            return false;
    return true;
}

std::size_t receive_pattern(int fd, uint32_t seed, std::size_t total) {
    std::string got(65536, '\0');
    std::size_t good = 0;
    for (ssize_t n; good < total; good += static_cast<std::size_t>(n)) {
        n = recv(fd, got.data(), std::min(got.size(), total - good), 0);
        if (n <= 0 || std::string_view(got.data(), static_cast<std::size_t>(n)) !=
                          pattern(good, static_cast<std::size_t>(n), seed))
            return good;
    }
    return good;
}

uint64_t checksum(std::string_view bytes, uint64_t start) {
    uint64_t hash = start;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return hash;
}

TcpServer::TcpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = listen_loopback(0);
    if (listen_fd_ < 0)
        return;
    port_ = local_port(listen_fd_);
    acceptor_ = std::thread([this] { accept_loop(); });
}

TcpServer::~TcpServer() { stop(); }

bool TcpServer::wait_for_accepted(std::size_t n, milliseconds timeout) const {
    return wait_until([&] { return accepted_.load() >= n; }, timeout);
}

void TcpServer::accept_loop() {
    while (!stopping_) {
        if (!wait_readable(listen_fd_, poll_step))
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            close(fd);
            break;
        }
        open_fds_.push_back(fd);
        // Counted before its handler runs: whoever sees the handler's work
        // sees the connection counted.
        const std::size_t index = accepted_++;
        workers_.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void TcpServer::serve(int fd, std::size_t index) {
    Connection conn{fd, index, &stopping_};
    handler_(conn);
    std::lock_guard lock(mutex_);
    std::erase(open_fds_, fd);
    close(fd);
}

void TcpServer::stop() {
    stopping_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        for (int fd : open_fds_)
            shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (auto &t : workers)
        t.join();
}

std::string receive_some(Connection &conn, milliseconds timeout, bool *eof) {
    auto deadline = Clock::now() + timeout;
    *eof = false;
    while (!conn.stop_requested() && Clock::now() < deadline) {
        if (wait_readable(conn.fd, poll_step))
            return read_once(conn.fd, *eof);
    }
    return {};
}

static void relay_back(Connection &conn, const DataSink &sink, bool echo) {
    bool eof = false;
    while (!eof && !conn.stop_requested()) {
        std::string data = receive_some(conn, poll_step, &eof);
        if (data.empty())
            continue;
        if (sink)
            sink(data);
        if (echo && !send_all(conn.fd, data))
            return;
    }
}

void echo_until_closed(Connection &conn, const DataSink &sink) { relay_back(conn, sink, true); }

void hold_until_closed(Connection &conn, const DataSink &sink) { relay_back(conn, sink, false); }

bool pause_unless_stopped(Connection &conn, milliseconds delay) {
    auto deadline = Clock::now() + delay;
    while (!conn.stop_requested() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::min(poll_step, delay));
    return !conn.stop_requested();
}

EchoServer::EchoServer()
    : server_([this](Connection &conn) {
          echo_until_closed(conn, [&](std::string_view data) {
              std::lock_guard lock(mutex_);
              if (received_.size() <= conn.index)
                  received_.resize(conn.index + 1);
              received_[conn.index] += data;
          });
      }) {}

std::string EchoServer::received(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < received_.size() ? received_[index] : std::string();
}

}  // namespace support

