// -W host:port end to end: one tunnel over the binary's standard input and
// output, pipes as ssh's ProxyCommand gives them.

#include "tunnel/e2e.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;
using support::AfterReply;

std::string proxy_only(uint16_t port) { return "proxy 127.0.0.1:" + std::to_string(port) + "\n"; }

// tarnwick -c CONFIG -W TARGET, reading `input` and writing `output` and
// `error`, the test's ends of three pipes.
struct StreamTunnel {
    support::Sandbox box;
    pid_t pid = -1;
    Fd input, output, error;

    StreamTunnel(const std::string &config, const std::string &target) {
        signal(SIGPIPE, SIG_IGN);  // a tarnwick gone early fails a write, not the test
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        std::vector<std::string> env = {"HOME=" + box.home.path(), "PATH=/usr/bin:/bin"};
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char *value = std::getenv(name))
                env.push_back(std::string(name) + "=" + value);
        pid = support::spawn({support::binary_path(), "-c", box.write_config(config), "-W", target}, env,
                             box.work.path(), out[1], err[1], nullptr, in[0]);
        for (const int fd : {in[0], out[1], err[1]})
            close(fd);
        input.reset(in[1]), output.reset(out[0]), error.reset(err[0]);
    }
    // Waits for its end: its exit status (-1 when it didn't exit in time)
    // and what it wrote to standard error.
    int finish(std::string &said) {
        int status = -1;
        const bool ended = support::wait_for_exit(pid, 10000ms, &status);
        said = support::read_all(error.get(), 1000ms);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Byte-exact both ways through a real proxy, with ssh's pipes left as they
// were given, nothing written to standard error and no run directory made.
TEST(StandardStreams, BytesBothWaysThroughTinyproxySilently) {
    constexpr std::size_t size = 1 << 20;
    support::EchoServer echo;
    support::TempDir dir;
    support::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(dir.path()));
    // forward lines, whole or not, are no concern of -W.
    StreamTunnel t(proxy_only(proxy.port()) + "forward 127.0.0.1:1\n", "127.0.0.1:" + std::to_string(echo.port()));
    std::thread writer([&] { EXPECT_TRUE(support::send_pattern(t.input.get(), 1, size)); });
    const std::string echoed = support::read_n(t.output.get(), size, 10000ms);
    writer.join();
    EXPECT_TRUE(echoed == support::pattern(0, size, 1)) << echoed.size() << " bytes";
    for (const int fd : {0, 1})
        EXPECT_EQ(support::descriptor_flags(t.pid, fd) & O_NONBLOCK, 0) << "descriptor " << fd;
    t.input.reset();  // tinyproxy then closes the whole tunnel
    bool eof = false;
    EXPECT_EQ(support::read_all(t.output.get(), 5000ms, &eof), "");
    EXPECT_TRUE(eof);
    std::string said;
    EXPECT_EQ(t.finish(said), 0);
    EXPECT_EQ(said, "");
    EXPECT_FALSE(std::filesystem::exists(t.box.run_dir()));
}

// Standard input ends while the proxy has not answered yet: a pipe's end is
// no client leaving, the wait does not spin on it, and the request with its
// end reaches the far end, whose whole answer then comes out.
TEST(StandardStreams, EndOfInputBeforeTheProxyAnswers) {
    constexpr std::size_t request_size = 30000;  // less than a pipe holds
    constexpr std::size_t answer_size = 4 << 20;
    std::atomic<bool> input_ended{false}, request_ended{false};
    std::atomic<long> cpu_while_waiting{-1};
    std::atomic<std::size_t> request_good{0};
    std::atomic<pid_t> pid{0};
    support::ProxyScript script;
    script.then = AfterReply::custom;
    script.custom = [&](support::Connection &c) {
        support::wait_until([&] { return input_ended.load(); }, 5000ms);
        const long before = support::cpu_ms(pid);
        std::this_thread::sleep_for(1000ms);
        cpu_while_waiting = support::cpu_ms(pid) - before;
        bound_io(c.fd);
        support::send_all(c.fd, "HTTP/1.0 200 OK\r\n\r\n");
        request_good = support::receive_pattern(c.fd, 1, request_size);
        char extra;
        request_ended = recv(c.fd, &extra, 1, 0) == 0;
        support::send_pattern(c.fd, 2, answer_size);
    };
    support::FakeProxy proxy(script);
    StreamTunnel t(proxy_only(proxy.port()), "far.example:22");
    pid = t.pid;
    ASSERT_TRUE(proxy.wait_for_requests(1));
    EXPECT_EQ(proxy.request(0), "CONNECT far.example:22 HTTP/1.0\r\nHost: far.example\r\n\r\n");
    ASSERT_TRUE(support::send_pattern(t.input.get(), 1, request_size));
    t.input.reset();
    input_ended = true;
    bool eof = false;
    const std::string answer = support::read_all(t.output.get(), 10000ms, &eof);
    EXPECT_TRUE(eof);
    EXPECT_TRUE(answer == support::pattern(0, answer_size, 2)) << answer.size() << " bytes";
    EXPECT_EQ(request_good, request_size);
    EXPECT_TRUE(request_ended);
    EXPECT_GE(cpu_while_waiting, 0);
    EXPECT_LT(cpu_while_waiting, 300);
    std::string said;
    EXPECT_EQ(t.finish(said), 0);
    EXPECT_EQ(said, "");
}

// No tunnel: status 1, not a byte on standard output, and on standard error
// the lines that say why, system error reports among them in their places.
TEST(StandardStreams, NoTunnelSaysWhyOnStandardError) {
    support::FakeProxy refusing(support::proxy_reply("HTTP/1.0 403 Forbidden\r\n\r\n", AfterReply::close));
    const std::vector<std::pair<uint16_t, std::vector<std::string>>> cases = {
        {refusing.port(), {"proxy refused tunnel: HTTP/1\\.0 403 Forbidden"}},
        {support::free_port(), {"connect: " + support::error_pattern(ECONNREFUSED)}},
    };
    for (auto [port, expected] : cases) {
        SCOPED_TRACE(expected[0]);
        StreamTunnel t(proxy_only(port), "127.0.0.1:22");
        bool eof = false;
        EXPECT_EQ(support::read_all(t.output.get(), 5000ms, &eof), "");
        EXPECT_TRUE(eof);
        std::string said;
        EXPECT_EQ(t.finish(said), 1);
        expected.push_back("handle_client\\(\\) can't open proxy connection");
        const std::vector<std::string> lines = support::complete_lines(said);
        ASSERT_EQ(lines.size(), expected.size()) << said;
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(std::regex_match(support::parse_log_line(lines[i]).message, std::regex(expected[i]))) << said;
    }
}

}  // namespace
