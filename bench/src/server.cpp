// The bench's far end: an echo server and a bulk source/sink on one port.
//
// A connection whose first byte opens a bulk header (see common.h) is served
// by a thread of its own; every other connection is an echo connection, served
// by the one epoll loop without a thread or a fork, so that the set-up figures
// measure the path and not this end.
//
// usage: twb-server PORTFILE      (listens on 127.0.0.1, any free port)
#include "common.h"

#include <csignal>
#include <fcntl.h>
#include <sys/epoll.h>
#include <thread>
#include <unordered_map>

using namespace bench;

namespace {

struct EchoConn {
    bool first = true;
};

void serve_bulk(int fd, std::string head) {
    set_timeouts(fd, 120);
    unsigned char header[kHeaderSize];
    memcpy(header, head.data(), head.size());
    if (!recv_all(fd, header + head.size(), kHeaderSize - head.size())) {
        close(fd);
        return;
    }
    char dir = char(header[4]);
    bool verify = header[5] != 0;
    uint64_t size;
    memcpy(&size, header + 8, 8);
    unsigned char *out = alloc_chunk();
    unsigned char *in = alloc_chunk();
    unsigned char *scratch = alloc_chunk();
    bool ok = memcmp(header, kBulkMagic, 4) == 0 && (dir == 'u' || dir == 'd' || dir == 'b');
    bool bad = false;
    if (ok) ok = send_all(fd, &kReady, 1);
    if (ok) {
        bool sent = true;
        std::thread sender;
        if (dir == 'd') sent = send_stream(fd, size, verify, out);
        if (dir == 'b') sender = std::thread([&] { sent = send_stream(fd, size, verify, out); });
        bool got = true;
        if (dir == 'u' || dir == 'b') got = recv_stream(fd, size, verify, in, scratch, &bad);
        if (sender.joinable()) sender.join();
        ok = sent && got;
    }
    if (ok) {
        char status = bad ? kStatusBad : kStatusOk;
        if (bad) fprintf(stderr, "twb-server: content mismatch on a '%c' transfer\n", dir);
        if (send_all(fd, &status, 1)) {
            while (recv(fd, in, kChunk, 0) > 0) {
            }
        }
    }
    free(out);
    free(in);
    free(scratch);
    close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: twb-server PORTFILE\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = 0;
    int lfd = listen_loopback(0, 1024, &port);
    if (lfd < 0) {
        perror("twb-server: listen");
        return 1;
    }
    FILE *pf = fopen(argv[1], "w");
    if (!pf) {
        perror(argv[1]);
        return 1;
    }
    fprintf(pf, "%d\n", port);
    fclose(pf);

    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    std::unordered_map<int, EchoConn> conns;
    char buf[4096];
    epoll_event events[64];
    for (;;) {
        int n = epoll_wait(ep, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("twb-server: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == lfd) {
                int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c < 0) continue;
                set_nodelay(c);
                conns[c] = EchoConn{};
                epoll_event cev{};
                cev.events = EPOLLIN;
                cev.data.fd = c;
                epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                continue;
            }
            ssize_t got = recv(fd, buf, conns[fd].first ? 1 : sizeof buf, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got <= 0) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                conns.erase(fd);
                close(fd);
                continue;
            }
            if (conns[fd].first && buf[0] == kBulkMagic[0]) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                conns.erase(fd);
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                std::thread(serve_bulk, fd, std::string(buf, 1)).detach();
                continue;
            }
            conns[fd].first = false;
            // Echo bytes are few; a full socket buffer here means a broken peer.
            if (send(fd, buf, size_t(got), MSG_NOSIGNAL | MSG_DONTWAIT) != got) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                conns.erase(fd);
                close(fd);
            }
        }
    }
}
