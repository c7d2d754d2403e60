// Faults in the middle of a connection's life. Each case breaks one thing and
// then expects the client process's exact log lines, its end with status 0,
// no process of the server left and the server holding only its own
// descriptors.
#include "reliability/helpers.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>

using namespace reliability;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t MiB = 1024 * 1024;
const std::string write_failed =
    "^write: (" + support::error_pattern(ECONNRESET) + "|" + support::error_pattern(EPIPE) + ")$";

// What one case leaves for the common checks. The services outlive the session.
struct FaultRun {
    std::unique_ptr<Source> source;
    std::unique_ptr<Sink> sink;
    std::unique_ptr<FakeProxy> fake;
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
    Session session;
    Fd client;
    pid_t client_pid = 0;
    std::vector<std::string> expected;
};

// Connects and finds the client process serving the connection.
void connect_client(FaultRun &run)
{
    run.client = run.session.connect();
    ASSERT_TRUE(run.client);
    run.client_pid = run.session.client_pid(local_port(run.client.get()));
    ASSERT_NE(run.client_pid, 0) << read_file(run.session.log());
}

// Reads the Source's stream from `offset` until the peer closes or `limit`
// bytes came, checking every byte; returns how many came.
uint64_t read_pattern(int fd, uint64_t offset, uint64_t limit, bool *eof, milliseconds bound = 20s)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::string buffer(MiB, '\0');
    uint64_t got = 0;
    *eof = false;
    while (got < limit && !*eof && std::chrono::steady_clock::now() < deadline) {
        if (!wait_readable(fd, 100ms))
            continue;
        const ssize_t n = recv(fd, buffer.data(), std::min<uint64_t>(limit - got, MiB), 0);
        *eof = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
        if (n <= 0)
            continue;
        const std::string_view data(buffer.data(), static_cast<std::size_t>(n));
        if (data != pattern(offset + got, data.size(), 0)) {
            ADD_FAILURE() << "stream bytes differ in the " << n << " bytes from offset " << offset + got;
            break;
        }
        got += data.size();
    }
    return got;
}

// Sends an RST instead of a FIN.
void reset(Fd &fd)
{
    const linger abort_on_close{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    fd.reset();
}

void proxy_dies_mid_transfer(FaultRun &run)
{
    run.source = std::make_unique<Source>();
    ASSERT_TRUE(run.session.start(run.source->port()));
    connect_client(run);
    bool eof = false;
    uint64_t received = read_pattern(run.client.get(), 0, MiB, &eof);
    ASSERT_EQ(received, MiB);
    ASSERT_EQ(kill(run.session.tinyproxy.pid(), SIGKILL), 0);
    // What the proxy had passed on still arrives whole, then its end; the
    // client, having read to the end, closes.
    received += read_pattern(run.client.get(), received, UINT64_MAX, &eof);
    EXPECT_TRUE(eof);
    run.client.reset();
    run.expected = {tunnel_open, "connection closed by proxy", totals(received, 0)};
}

void client_resets_while_sending(FaultRun &run)
{
    run.sink = std::make_unique<Sink>();
    ASSERT_TRUE(run.session.start(run.sink->port()));
    connect_client(run);
    ASSERT_TRUE(send_all(run.client.get(), pattern(0, 4 * MiB, 1)));
    ASSERT_TRUE(wait_until([&] { return run.sink->received() >= 2 * MiB; }, 10s));
    fcntl(run.client.get(), F_SETFL, O_NONBLOCK);
    (void)send(run.client.get(), pattern(0, MiB, 2).data(), MiB, MSG_NOSIGNAL);
    reset(run.client);
    run.expected = {tunnel_open, "connection closed by client", any_totals};
}

void client_resets_while_receiving(FaultRun &run)
{
    run.source = std::make_unique<Source>();
    ASSERT_TRUE(run.session.start(run.source->port()));
    connect_client(run);
    bool eof = false;
    ASSERT_EQ(read_pattern(run.client.get(), 0, MiB, &eof), MiB);
    // Once the source stops getting rid of bytes, the relay is stuck writing to us.
    uint64_t before = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            const uint64_t now = run.source->sent();
            return std::exchange(before, now) == now;
        },
        10s, 300ms));
    reset(run.client);
    EXPECT_TRUE(wait_for_log_regex(run.session.log(), write_failed));
    run.expected = {tunnel_open, "incomplete write", any_totals};
}

void proxy_answers_one_byte_a_second(FaultRun &run)
{
    ProxyScript script;
    for (const char c : std::string_view("HTTP/1.0 200\n\n"))
        script.reply.push_back({std::string(1, c), 1000ms});
    script.then = AfterReply::echo;
    run.fake = std::make_unique<FakeProxy>(script);
    ASSERT_TRUE(run.session.start(9, run.fake->port()));
    const auto start = std::chrono::steady_clock::now();
    connect_client(run);
    // Sent while the handshake is going on: it waits in the socket, and the
    // wait for the proxy does not turn into a busy loop over it.
    ASSERT_TRUE(send_all(run.client.get(), "early"));
    const long cpu_before = cpu_ms(run.client_pid);
    EXPECT_EQ(read_n(run.client.get(), 5, 30s), "early");
    EXPECT_LT(cpu_ms(run.client_pid) - cpu_before, 1000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 13s);
    ASSERT_TRUE(send_all(run.client.get(), "later"));
    EXPECT_EQ(read_n(run.client.get(), 5), "later");
    EXPECT_EQ(run.fake->request(0), "CONNECT 127.0.0.1:9 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    run.client.reset();
    run.expected = {tunnel_open, "connection closed by client", totals(10, 10)};
}

void header_and_data_in_one_segment(FaultRun &run)
{
    run.fake = std::make_unique<FakeProxy>(
        proxy_reply("HTTP/1.0 200 Connection established\r\n\r\nfirst bytes from afar", AfterReply::echo));
    ASSERT_TRUE(run.session.start(9, run.fake->port()));
    connect_client(run);
    EXPECT_EQ(read_n(run.client.get(), 21), "first bytes from afar");
    ASSERT_TRUE(send_all(run.client.get(), "ping"));
    EXPECT_EQ(read_n(run.client.get(), 4), "ping");
    run.client.reset();
    run.expected = {tunnel_open, "connection closed by client", totals(25, 4)};
}

void hundred_mib_to_a_slow_reader(FaultRun &run)
{
    constexpr uint64_t total = 100 * MiB;
    run.source = std::make_unique<Source>(total);
    ASSERT_TRUE(run.session.start(run.source->port()));
    connect_client(run);
    uint64_t received = 0;
    bool eof = false;
    for (int i = 0; i < 100; ++i) {
        received += read_pattern(run.client.get(), received, 64 * 1024, &eof);
        std::this_thread::sleep_for(20ms);
    }
    // A relay that buffered would have taken the whole 100 MiB by now; a
    // pacing one holds no more than the sockets on the way do.
    const long rss = status_kb(run.client_pid, "VmRSS"), server_rss = status_kb(run.session.server.pid, "VmRSS");
    EXPECT_LT(run.source->sent(), received + 48 * MiB) << "received " << received;
    EXPECT_LT(rss, server_rss + 8 * 1024) << "kB, the server has " << server_rss << " kB";
    received += read_pattern(run.client.get(), received, UINT64_MAX, &eof, 60s);
    EXPECT_EQ(received, total);
    EXPECT_TRUE(eof);
    run.client.reset();
    run.expected = {tunnel_open, "connection closed by proxy", totals(total, 0)};
}

void client_sends_while_proxy_not_reading(FaultRun &run)
{
    ProxyScript script = proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::custom);
    script.custom = [release = run.release](Connection &conn) {
        // Reads nothing; returning closes the connection with the bytes unread (an RST).
        while (!release->load() && pause_unless_stopped(conn, 20ms)) {
        }
    };
    run.fake = std::make_unique<FakeProxy>(script);
    ASSERT_TRUE(run.session.start(9, run.fake->port()));
    connect_client(run);
    fcntl(run.client.get(), F_SETFL, O_NONBLOCK);
    const std::string chunk = pattern(0, 64 * 1024, 3);
    uint64_t sent = 0;
    // Fill every buffer on the way until nothing more is taken for half a
    // second; a relay that kept taking bytes in would be stopped by the bounds.
    const auto start = std::chrono::steady_clock::now();
    for (auto last = start; std::chrono::steady_clock::now() - last < 500ms && sent < 256 * MiB &&
                            std::chrono::steady_clock::now() - start < 20s;) {
        const ssize_t n = send(run.client.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<uint64_t>(n);
            last = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(5ms);
        }
    }
    // Blocked, the relay waits: it neither spins nor takes the bytes in.
    const long cpu_before = cpu_ms(run.client_pid);
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(cpu_ms(run.client_pid) - cpu_before, 200);
    EXPECT_LT(status_kb(run.client_pid, "VmRSS"), status_kb(run.session.server.pid, "VmRSS") + 8 * 1024);
    EXPECT_GT(sent, MiB);
    EXPECT_LT(sent, 64 * MiB);
    run.release->store(true);
    EXPECT_TRUE(wait_for_log_regex(run.session.log(), write_failed));
    run.expected = {tunnel_open, "incomplete write", any_totals};
}

void client_leaves_before_proxy_answers(FaultRun &run)
{
    // A proxy that takes the request and never says a word.
    run.fake = std::make_unique<FakeProxy>(proxy_reply("", AfterReply::hold));
    ASSERT_TRUE(run.session.start(9, run.fake->port()));
    connect_client(run);
    ASSERT_TRUE(wait_until([&] { return !run.fake->request(0).empty(); }, 10s));
    // A reset, not an end of file: a client that only stopped sending may
    // still want the answer, so the wait goes on after that.
    reset(run.client);
    run.expected = {"client left before proxy response", R"(handle_client\(\) can't open proxy connection)"};
}

struct FaultCase {
    const char *name;
    void (*inject)(FaultRun &);
};

// Tests are shown by their case name.
void PrintTo(const FaultCase &c, std::ostream *out)
{
    *out << c.name;
}

class Fault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Fault, EndsWithItsLinesAndLeavesNothingBehind)
{
    FaultRun run;
    GetParam().inject(run);
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(run.session.ended_cleanly(run.client_pid, run.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Connection, Fault,
    ::testing::Values(FaultCase{"ProxyDiesMidTransfer", proxy_dies_mid_transfer},
                      FaultCase{"ClientResetsWhileSending", client_resets_while_sending},
                      FaultCase{"ClientResetsWhileReceiving", client_resets_while_receiving},
                      FaultCase{"ProxyAnswersOneByteASecond", proxy_answers_one_byte_a_second},
                      FaultCase{"HeaderAndDataInOneSegment", header_and_data_in_one_segment},
                      FaultCase{"HundredMiBToASlowReader", hundred_mib_to_a_slow_reader},
                      FaultCase{"ClientSendsWhileProxyNotReading", client_sends_while_proxy_not_reading},
                      FaultCase{"ClientLeavesBeforeProxyAnswers", client_leaves_before_proxy_answers}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
