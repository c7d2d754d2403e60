// The relay, end to end: how a tunnel ends, what its totals say, bulk data
// both ways at once, and half-closes passed through.

#include "tunnel/e2e.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;
using support::AfterReply;
using support::Connection;

const std::string ok = "HTTP/1.0 200 OK\r\n\r\n";

// A server whose proxy runs `script`; the client is connected and its tunnel open.
struct Tunnel {
    support::FakeProxy proxy;
    Daemon d;
    Fd client;
    std::string pid;

    explicit Tunnel(support::ProxyScript script) : proxy(std::move(script)) {
        EXPECT_TRUE(d.start(support::config_text(d.port, proxy.port())));
        pid = d.connect(client);
        EXPECT_TRUE(support::wait_for_log(d.box.log_path(), pid + " " + established(proxy.port())));
    }
    ::testing::AssertionResult ends_with(std::vector<Expect> last) {
        last.insert(last.begin(), established(proxy.port()));
        return d.story(pid, last);
    }
};

// True while process pid is in a system call whose second argument is null
// and third is not: select's read and write sets.
bool waits_to_write(const std::string &pid) {
    std::istringstream call(support::read_file("/proc/" + pid + "/syscall"));
    std::string number, nfds, read_set, write_set;
    return static_cast<bool>(call >> number >> nfds >> read_set >> write_set) && read_set == "0x0" &&
           write_set != "0x0";
}

TEST(Relay, EchoRoundTripThenClientCloses) {
    Tunnel t(support::proxy_reply(ok, AfterReply::echo));
    ASSERT_TRUE(support::send_all(t.client.get(), "round trip"));
    EXPECT_EQ(support::read_n(t.client.get(), 10), "round trip");
    t.client.reset();
    EXPECT_TRUE(t.ends_with({"connection closed by client", totals(10, 10)}));
}

TEST(Relay, ProxyClosesAfterItsLastBytes) {
    support::ProxyScript script;
    script.then = AfterReply::custom;
    script.custom = [](Connection &c) {
        support::send_all(c.fd, ok + "first");
        support::read_n(c.fd, 6);
        support::send_all(c.fd, "last");
    };
    Tunnel t(script);
    EXPECT_EQ(support::read_n(t.client.get(), 5), "first");
    ASSERT_TRUE(support::send_all(t.client.get(), "client"));
    bool eof = false;
    EXPECT_EQ(support::read_all(t.client.get(), 5000ms, &eof), "last");
    EXPECT_TRUE(eof);
    t.client.reset();
    EXPECT_TRUE(t.ends_with({"connection closed by proxy", totals(9, 6)}));
}

TEST(Relay, TunnelThatCarriedNothing) {
    Tunnel t(support::proxy_reply(ok, AfterReply::hold));
    t.client.reset();
    EXPECT_TRUE(t.ends_with({"connection closed by client", totals(0, 0)}));
}

// Bytes the client sends while the proxy is still answering wait in its
// socket and reach the proxy first thing.
TEST(Relay, ClientBytesSentDuringTheHandshake) {
    std::atomic<bool> sent{false};
    support::ProxyScript script;
    script.then = AfterReply::custom;
    script.custom = [&](Connection &c) {
        support::wait_until([&] { return sent.load(); }, 5000ms);
        support::send_all(c.fd, ok);
        support::send_all(c.fd, "proxy got: " + support::read_n(c.fd, 5));
        support::hold_until_closed(c);
    };
    support::FakeProxy proxy(script);
    Daemon d;
    ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port())));
    Fd client = support::connect_loopback(d.port);
    ASSERT_TRUE(proxy.wait_for_requests(1));
    ASSERT_TRUE(support::send_all(client.get(), "early"));
    sent = true;
    EXPECT_EQ(support::read_n(client.get(), 16), "proxy got: early");
}

// The client goes away (reset) while the relay is writing to it.
TEST(Relay, FailedWriteToTheClient) {
    support::ProxyScript script;
    script.then = AfterReply::custom;
    script.custom = [](Connection &c) {
        support::send_all(c.fd, ok);
        support::send_pattern(c.fd, 1, 64 << 20);  // far more than the sockets hold; fails once the client process is gone
    };
    Tunnel t(script);
    ASSERT_TRUE(support::wait_readable(t.client.get(), 5000ms));
    // The relay must be blocked in its write when the client goes, or it
    // could see the reset in a read first: wait until the process sits in a
    // wait for writability (a select or pselect with no read set and a write
    // set), which it leaves only when the client takes bytes or fails.
    ASSERT_TRUE(support::wait_until([&] { return waits_to_write(t.pid); }, 10000ms)) << t.d.log();
    const linger reset{1, 0};
    setsockopt(t.client.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    t.client.reset();
    EXPECT_TRUE(t.ends_with({re("write: (" + support::error_pattern(ECONNRESET) + "|" + support::error_pattern(EPIPE) + ")"), "incomplete write",
                             re("[0-9]+ bytes in, 0 bytes out, [0-9]+ seconds")}));
}

TEST(Relay, SixtyFourMiBEachWayAtOnce) {
    constexpr std::size_t size = 64 << 20;
    std::atomic<std::size_t> proxy_got{0};
    std::atomic<bool> proxy_sent{false};
    support::ProxyScript script;
    script.then = AfterReply::custom;
    script.custom = [&](Connection &c) {
        bound_io(c.fd);
        support::send_all(c.fd, ok);
        std::thread sender([&] { proxy_sent = support::send_pattern(c.fd, 1, size); });
        proxy_got = support::receive_pattern(c.fd, 2, size);
        sender.join();
        support::hold_until_closed(c);
    };
    Tunnel t(script);
    std::atomic<bool> client_sent{false};
    std::thread sender([&] { client_sent = support::send_pattern(t.client.get(), 2, size); });
    EXPECT_EQ(support::receive_pattern(t.client.get(), 1, size), size);
    sender.join();
    EXPECT_TRUE(client_sent);
    ASSERT_TRUE(support::wait_until([&] { return proxy_got.load() == size; }, 30000ms)) << proxy_got.load();
    EXPECT_TRUE(proxy_sent);
    t.client.reset();
    EXPECT_TRUE(t.ends_with({"connection closed by client", re(support::totals(size, size))}));
}


// Half-closes: an end of file passes through the tunnel and the other
// direction keeps flowing, as over a direct connection. Each exchange is far
// larger than the sockets on the way hold.
constexpr std::size_t request_size = 100000;  // fits the client's enlarged send buffer
constexpr std::size_t answer_size = 4 << 20;

// What the far end saw of the client's request.
struct Request {
    std::atomic<std::size_t> good{0};  // pattern bytes, in order
    std::atomic<bool> ended{false};    // an end of file right after them
};

// Reads the request (seed 1) to its end of file, then answers (seed 2) and
// closes, as a request/response server does.
void read_to_end_then_answer(Connection &c, Request &request) {
    bound_io(c.fd);
    request.good = support::receive_pattern(c.fd, 1, request_size);
    char extra;
    request.ended = recv(c.fd, &extra, 1, 0) == 0;
    support::send_pattern(c.fd, 2, answer_size);
}

// The client's side of that exchange once its request is out: it stops
// sending, then reads the answer to its end.
void expect_whole_answer(int client_fd) {
    ASSERT_EQ(shutdown(client_fd, SHUT_WR), 0);
    EXPECT_EQ(support::receive_pattern(client_fd, 2, answer_size), answer_size);
    bool eof = false;
    EXPECT_EQ(support::read_all(client_fd, 5000ms, &eof), "");
    EXPECT_TRUE(eof);
}

TEST(HalfClose, ClientEndsItsRequestOnceTheTunnelIsUp) {
    Request request;
    support::ProxyScript script = support::proxy_reply(ok, AfterReply::custom);
    script.custom = [&](Connection &c) { read_to_end_then_answer(c, request); };
    Tunnel t(script);
    ASSERT_TRUE(support::send_pattern(t.client.get(), 1, request_size));
    expect_whole_answer(t.client.get());
    EXPECT_EQ(request.good, request_size);
    EXPECT_TRUE(request.ended);
    t.client.reset();
    EXPECT_TRUE(t.ends_with({"connection closed by client", totals(answer_size, request_size)}));
}

// The request and its end wait in the client's socket while the proxy takes
// its time, and are passed on in order once the tunnel is up; the wait does
// not spin on the end meanwhile.
TEST(HalfClose, ClientEndsItsRequestBeforeTheProxyAnswers) {
    Request request;
    std::atomic<bool> client_ended{false};
    std::atomic<long> cpu_while_waiting{-1};
    std::string pid;
    support::ProxyScript script;
    script.then = AfterReply::custom;
    script.custom = [&](Connection &c) {
        support::wait_until([&] { return client_ended.load(); }, 5000ms);
        const long before = support::cpu_ms(std::atoi(pid.c_str()));
        std::this_thread::sleep_for(1000ms);
        cpu_while_waiting = support::cpu_ms(std::atoi(pid.c_str())) - before;
        support::send_all(c.fd, ok);
        read_to_end_then_answer(c, request);
    };
    support::FakeProxy proxy(script);
    Daemon d;
    ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port())));
    Fd client;
    const int room = 1 << 20;
    pid = d.connect(client);
    ASSERT_FALSE(pid.empty()) << d.log();
    setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ASSERT_TRUE(proxy.wait_for_requests(1));
    ASSERT_TRUE(support::send_pattern(client.get(), 1, request_size));
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    client_ended = true;
    expect_whole_answer(client.get());
    EXPECT_EQ(request.good, request_size);
    EXPECT_TRUE(request.ended);
    EXPECT_GE(cpu_while_waiting, 0);
    EXPECT_LT(cpu_while_waiting, 300);
    client.reset();
    EXPECT_TRUE(d.story(pid, {established(proxy.port()), "connection closed by client",
                              totals(answer_size, request_size)}));
}

// The far end says all it has and stops sending; the client's later bytes
// still reach it.
TEST(HalfClose, FarEndEndsFirstAndStillReads) {
    std::atomic<std::size_t> later{0};
    std::atomic<bool> later_ended{false};
    support::ProxyScript script = support::proxy_reply(ok, AfterReply::custom);
    script.custom = [&](Connection &c) {
        bound_io(c.fd);
        support::send_pattern(c.fd, 2, answer_size);
        shutdown(c.fd, SHUT_WR);
        later = support::receive_pattern(c.fd, 1, answer_size);
        char extra;
        later_ended = recv(c.fd, &extra, 1, 0) == 0;
    };
    Tunnel t(script);
    EXPECT_EQ(support::receive_pattern(t.client.get(), 2, answer_size), answer_size);
    bool eof = false;
    EXPECT_EQ(support::read_all(t.client.get(), 5000ms, &eof), "");
    EXPECT_TRUE(eof);
    ASSERT_TRUE(support::send_pattern(t.client.get(), 1, answer_size));
    t.client.reset();
    EXPECT_TRUE(support::wait_until([&] { return later_ended.load(); }, 10000ms));
    EXPECT_EQ(later, answer_size);
    EXPECT_TRUE(t.ends_with({"connection closed by proxy", totals(answer_size, answer_size)}));
}

}  // namespace
