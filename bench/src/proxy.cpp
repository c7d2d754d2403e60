// A minimal fast HTTP CONNECT proxy for the bench: one forked process per
// connection, and a relay that moves data with splice(2) through 1 MiB pipes
// (or, with --copy, read/write through 1 MiB buffers), so that the proxy is
// never the narrow part of the path. It understands only
// "CONNECT a.b.c.d:port HTTP/1.x" followed by header lines and an empty line,
// answers "HTTP/1.0 200 Connection established", and propagates half-closes.
//
// usage: twb-proxy [--copy] PORTFILE      (listens on 127.0.0.1, any free port)
#include "common.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

using namespace bench;

namespace {

constexpr int kPipeSize = 1 << 20;
constexpr size_t kHeaderMax = 8192;
bool use_copy = false;
constexpr int kRounds = 16;  // pump passes per direction before the other gets its turn

void reap_children(int) {
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

// One direction of the relay: bytes from `src` wait in a pipe (or buffer)
// until `dst` takes them.
struct Direction {
    int src, dst;
    int pipe_r = -1, pipe_w = -1;
    unsigned char *buf = nullptr;
    size_t start = 0;   // copy mode: first unsent byte in buf
    size_t queued = 0;  // bytes read from src not yet written to dst
    size_t cap = kPipeSize;
    bool eof = false;
    bool shut = false;
};

// Moves what can be moved without blocking. Returns -1 on a failure, else
// whether any byte or end of file moved.
int pump(Direction &d) {
    int moved = 0;
    for (int round = 0; round < kRounds; ++round) {
        bool progress = false;
        if (!d.eof && d.queued < d.cap) {
            ssize_t n;
            if (use_copy) {
                if (d.queued == 0) d.start = 0;
                size_t end = d.start + d.queued;
                n = end < d.cap ? recv(d.src, d.buf + end, d.cap - end, MSG_DONTWAIT) : -2;
            } else {
                n = splice(d.src, nullptr, d.pipe_w, nullptr, d.cap - d.queued,
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            }
            if (n == 0) {
                d.eof = true;
                progress = true;
            } else if (n > 0) {
                d.queued += size_t(n);
                progress = true;
            } else if (n == -1 && errno != EAGAIN && errno != EINTR) {
                return -1;
            }
        }
        if (d.queued > 0) {
            ssize_t n = use_copy
                ? send(d.dst, d.buf + d.start, d.queued, MSG_DONTWAIT | MSG_NOSIGNAL)
                : splice(d.pipe_r, nullptr, d.dst, nullptr, d.queued,
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                d.queued -= size_t(n);
                d.start += size_t(n);
                progress = true;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return -1;
            }
        }
        if (d.eof && d.queued == 0 && !d.shut) {
            shutdown(d.dst, SHUT_WR);
            d.shut = true;
        }
        if (!progress) return moved;
        moved = 1;
    }
    return moved;
}

bool setup_direction(Direction &d) {
    if (use_copy) {
        d.buf = (unsigned char *)malloc(d.cap);
        return d.buf != nullptr;
    }
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) < 0) return false;
    d.pipe_r = p[0];
    d.pipe_w = p[1];
    int got = fcntl(p[1], F_SETPIPE_SZ, kPipeSize);
    d.cap = got > 0 ? size_t(got) : 65536;
    return true;
}

void relay(int a, int b) {
    set_nodelay(a);
    set_nodelay(b);
    fcntl(a, F_SETFL, fcntl(a, F_GETFL) | O_NONBLOCK);
    fcntl(b, F_SETFL, fcntl(b, F_GETFL) | O_NONBLOCK);
    Direction up{a, b}, down{b, a};
    if (!setup_direction(up) || !setup_direction(down)) return;
    while (!(up.shut && down.shut)) {
        int r1 = pump(up);
        int r2 = pump(down);
        if (r1 < 0 || r2 < 0) return;
        if (r1 > 0 || r2 > 0) continue;
        pollfd fds[2] = {{a, 0, 0}, {b, 0, 0}};
        if (!up.eof && up.queued < up.cap) fds[0].events |= POLLIN;
        if (!down.eof && down.queued < down.cap) fds[1].events |= POLLIN;
        if (up.queued > 0) fds[1].events |= POLLOUT;
        if (down.queued > 0) fds[0].events |= POLLOUT;
        int ready = poll(fds, 2, 120000);
        if (ready == 0 || (ready < 0 && errno != EINTR)) return;
    }
}

// Reads the request header; bytes after it are kept in `extra`.
bool read_request(int fd, std::string &target, std::string &extra) {
    std::string head;
    char buf[4096];
    size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
        if (head.size() > kHeaderMax) return false;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        head.append(buf, size_t(n));
    }
    extra = head.substr(end + 4);
    if (head.compare(0, 8, "CONNECT ") != 0) return false;
    size_t sp = head.find(' ', 8);
    if (sp == std::string::npos) return false;
    target = head.substr(8, sp - 8);
    return true;
}

void serve(int client) {
    set_timeouts(client, 30);
    std::string target, extra;
    if (!read_request(client, target, extra)) return;
    sockaddr_in addr;
    int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!parse_ipv4_port(target, addr) || up < 0 || connect(up, (sockaddr *)&addr, sizeof addr) < 0) {
        static const char bad[] = "HTTP/1.0 502 Bad Gateway\r\n\r\n";
        send_all(client, bad, sizeof bad - 1);
        return;
    }
    static const char ok[] = "HTTP/1.0 200 Connection established\r\n\r\n";
    if (!send_all(client, ok, sizeof ok - 1)) return;
    if (!extra.empty() && !send_all(up, extra.data(), extra.size())) return;
    set_timeouts(client, 0);
    relay(client, up);
}

}  // namespace

int main(int argc, char **argv) {
    int argi = 1;
    if (argi < argc && strcmp(argv[argi], "--copy") == 0) {
        use_copy = true;
        ++argi;
    }
    if (argi + 1 != argc) {
        fprintf(stderr, "usage: twb-proxy [--copy] PORTFILE\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = reap_children;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    int port = 0;
    int lfd = listen_loopback(0, 1024, &port);
    if (lfd < 0) {
        perror("twb-proxy: listen");
        return 1;
    }
    FILE *pf = fopen(argv[argi], "w");
    if (!pf) {
        perror(argv[argi]);
        return 1;
    }
    fprintf(pf, "%d\n", port);
    fclose(pf);
    for (;;) {
        int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            perror("twb-proxy: accept");
            return 1;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(lfd);
            serve(c);
            _exit(0);
        }
        if (pid < 0) perror("twb-proxy: fork");
        close(c);
    }
}
