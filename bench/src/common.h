// Small helpers shared by the bench programs: sockets, clocks, the test
// pattern and the bulk protocol spoken between the bench client and server.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace bench {

// Bulk protocol. The client opens with a 16-byte header whose first byte is
// kBulkMagic[0]; any other first byte makes the connection an echo connection.
//   header: "TWB1", direction ('u' client->server, 'd' server->client,
//           'b' both at once), verify flag (0/1), 2 spare bytes, size (LE u64)
//   server: one byte kReady once the header is in (the client's clock starts)
//   then:   the client sends `size` bytes for 'u'/'b', the server sends `size`
//           bytes for 'd'/'b', both at once for 'b'
//   server: one status byte (kStatusOk or kStatusBad) after it has sent its
//           data and received (and, with verify, checked) the client's.
//   Then the client closes; the server reads to end of file and closes.
constexpr char kBulkMagic[4] = {'T', 'W', 'B', '1'};
constexpr size_t kHeaderSize = 16;
constexpr char kReady = 'R';
constexpr char kStatusOk = 'K';
constexpr char kStatusBad = 'X';
constexpr size_t kChunk = 1 << 20;  // bytes per read/write call of the endpoints

inline double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

inline uint64_t splitmix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The stream's byte at position p is byte (p % 8) of splitmix64(p / 8): every
// 8-byte word differs, so a lost, repeated or reordered chunk is caught.
inline void fill_pattern(unsigned char *buf, uint64_t offset, size_t len) {
    size_t i = 0;
    while (i < len && ((offset + i) & 7) != 0) {
        uint64_t p = offset + i;
        buf[i++] = (unsigned char)(splitmix64(p >> 3) >> (8 * (p & 7)));
    }
    while (len - i >= 8) {
        uint64_t w = splitmix64((offset + i) >> 3);
        memcpy(buf + i, &w, 8);  // little-endian machine: byte k is bits 8k..8k+7
        i += 8;
    }
    while (i < len) {
        uint64_t p = offset + i;
        buf[i++] = (unsigned char)(splitmix64(p >> 3) >> (8 * (p & 7)));
    }
}

inline bool parse_ipv4_port(const std::string &text, sockaddr_in &addr) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    int port = atoi(text.c_str() + colon + 1);
    if (port <= 0 || port > 65535) return false;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    return inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1;
}

inline int listen_loopback(int port, int backlog, int *bound_port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (sockaddr *)&addr, sizeof addr) < 0 || listen(fd, backlog) < 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, (sockaddr *)&addr, &len);
    if (bound_port) *bound_port = ntohs(addr.sin_port);
    return fd;
}

// Every endpoint and the bench proxy send at once: Nagle's algorithm would hold
// a transfer's last partial segment until the peer's (possibly delayed) ACK,
// a stall of up to 40 ms that belongs to no path under test.
inline void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

inline void set_timeouts(int fd, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Blocking full write; false on error or time-out.
inline bool send_all(int fd, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= size_t(n);
    }
    return true;
}

// Blocking full read; false on error, time-out or early end of file.
inline bool recv_all(int fd, void *data, size_t len) {
    char *p = (char *)data;
    while (len > 0) {
        ssize_t n = recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

// Sends `size` bytes of the pattern. With verify the whole stream is generated
// from its positions; without, a pre-filled cyclic buffer is sent so the sender
// spends no CPU on content while the clock runs.
inline bool send_stream(int fd, uint64_t size, bool verify, unsigned char *buf) {
    for (uint64_t off = 0; off < size;) {
        size_t n = size_t(size - off < kChunk ? size - off : kChunk);
        if (verify) fill_pattern(buf, off, n);
        if (!send_all(fd, buf, n)) return false;
        off += n;
    }
    return true;
}

// Receives exactly `size` bytes; with verify, compares them with the pattern.
// `buf` and `scratch` hold kChunk bytes each. Sets *bad on a mismatch.
inline bool recv_stream(int fd, uint64_t size, bool verify, unsigned char *buf,
                        unsigned char *scratch, bool *bad) {
    for (uint64_t off = 0; off < size;) {
        size_t want = size_t(size - off < kChunk ? size - off : kChunk);
        ssize_t n = recv(fd, buf, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (verify) {
            fill_pattern(scratch, off, size_t(n));
            if (memcmp(buf, scratch, size_t(n)) != 0) *bad = true;
        }
        off += uint64_t(n);
    }
    return true;
}

inline unsigned char *alloc_chunk() {
    auto *p = (unsigned char *)malloc(kChunk);
    if (!p) {
        perror("malloc");
        exit(2);
    }
    fill_pattern(p, 0, kChunk);
    return p;
}

}  // namespace bench
