// The running server, end to end through the real tinyproxy to an echo
// service: the road of a connection, many tunnels at once, signals, and a
// listener that can't serve.

#include "tunnel/e2e.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace e2e;

class Served : public ::testing::Test {
protected:
    support::EchoServer echo;
    Daemon d;  // its sandbox ends every process left, tinyproxy included
    support::Tinyproxy proxy;

    void SetUp() override {
        ASSERT_TRUE(proxy.start(d.box.work.path()));
        ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port(), "127.0.0.1:" + std::to_string(echo.port()))));
    }
    // A client whose tunnel is known to carry data; its process's pid.
    std::string open_tunnel(Fd &client) {
        const std::string pid = d.connect(client);
        EXPECT_TRUE(support::send_all(client.get(), "ping"));
        EXPECT_EQ(support::read_n(client.get(), 4), "ping");
        return pid;
    }
};

TEST_F(Served, RoadOfOneConnection) {
    Fd client;
    const std::string pid = open_tunnel(client);
    client.reset();
    const std::string ended = "*** child " + pid + " exited with status 0";
    EXPECT_TRUE(support::wait_for_log(d.box.log_path(), ended, 1, 1000ms));
    EXPECT_TRUE(d.story(pid, {established(proxy.port()), "connection closed by client", totals(4, 4)}));
    const std::vector<std::string> lines = support::log_lines(d.box.log_path());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.back().find(ended), std::string::npos);
    EXPECT_NE(lines[lines.size() - 2].find(pid + " 4 bytes in"), std::string::npos);
}

TEST_F(Served, TwentyTunnelsAtOnce) {
    constexpr int count = 20;
    constexpr std::size_t size = 3 << 20;
    std::vector<Fd> clients(count);
    std::vector<std::string> pids;
    for (auto &c : clients)  // one after another, each known to carry data
        pids.push_back(open_tunnel(c));
    std::vector<std::size_t> received(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] { EXPECT_TRUE(support::send_pattern(clients[i].get(), i, size)); });
        threads.emplace_back([&, i] { received[i] = support::receive_pattern(clients[i].get(), i, size); });
    }
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(received[i], size) << "tunnel " << i;
        clients[i].reset();
    }
    EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "exited with status 0", count));
    for (int i = 0; i < count; ++i)
        EXPECT_TRUE(support::wait_for_log(d.box.log_path(), pids[i] + " " + std::to_string(size + 4) + " bytes in, " +
                                                                std::to_string(size + 4) + " bytes out"));
    EXPECT_TRUE(support::wait_until([&] { return support::children_of(d.server.pid).empty(); }, 2000ms));
    for (const auto &line : support::log_lines(d.box.log_path()))  // one write per line: none split
        EXPECT_TRUE(support::parse_log_line(line).prefixed) << line;
}

TEST_F(Served, SignalsThatChangeNothing) {
    for (const int sig : {SIGHUP, SIGQUIT, SIGALRM, SIGPIPE}) {
        SCOPED_TRACE(strsignal(sig));
        const std::size_t from = support::file_size(d.box.log_path());
        ASSERT_EQ(kill(d.server.pid, sig), 0);
        Fd client;
        const std::string pid = open_tunnel(client);
        const std::vector<std::string> added = support::log_messages(d.box.log_path(), from);
        ASSERT_FALSE(added.empty());
        EXPECT_TRUE(added[0].starts_with("connection from ")) << added[0];
        EXPECT_EQ(waitpid(d.server.pid, nullptr, WNOHANG), 0);
        client.reset();
        ASSERT_TRUE(support::wait_for_log(d.box.log_path(), "*** child " + pid + " exited"));
    }
}

class Stopping : public Served, public ::testing::WithParamInterface<int> {};

TEST_P(Stopping, EndsTheServerNotTheOpenTunnel) {
    Fd client;
    const std::string pid = open_tunnel(client);
    ASSERT_EQ(kill(d.server.pid, GetParam()), 0);
    int status = -1;
    ASSERT_TRUE(support::wait_for_exit(d.server.pid, 1000ms, &status)) << d.log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const support::LogLine last = support::parse_log_line(support::log_lines(d.box.log_path()).back());
    EXPECT_EQ(last.tag, "***");
    EXPECT_EQ(last.message, "SIGINT/SIGTERM, terminating gracefully");
    EXPECT_FALSE(support::connect_loopback(d.port));

    ASSERT_TRUE(support::send_all(client.get(), "after"));
    EXPECT_EQ(support::read_n(client.get(), 5), "after");
    client.reset();
    EXPECT_TRUE(d.story(pid, {established(proxy.port()), "connection closed by client", totals(9, 9)}));
}

INSTANTIATE_TEST_SUITE_P(Signals, Stopping, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto &info) { return std::string(info.param == SIGTERM ? "Term" : "Int"); });

TEST_F(Served, KilledClientProcess) {
    Fd client;
    const std::string pid = open_tunnel(client);
    ASSERT_EQ(kill(std::stoi(pid), SIGKILL), 0);
    EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "*** child " + pid + " exited due to signal 9", 1, 1000ms));
    EXPECT_TRUE(support::wait_closed(client.get()));
}

// Starts the server with the config in place and waits, as its subreaper,
// until it ends by itself. True when the invoking process returned 0 and the
// server then ended with exit status 1, as a failed server must, so that a
// service manager can tell and start it again.
::testing::AssertionResult server_fails(Daemon &d) {
    const support::RunResult r = support::run_binary({}, d.box.options());
    if (!r.exited || r.exit_status != 0)
        return ::testing::AssertionFailure() << r.describe();
    // The detached server writes its pid file after the command has returned.
    pid_t pid = 0;
    support::wait_until([&] { return (pid = std::atoi(support::read_file(d.box.pid_path()).c_str())) > 0; },
                        10000ms);
    if (pid <= 0)
        return ::testing::AssertionFailure() << "no pid file\n" << d.log();
    int status = -1;
    // A bound, not a wait: a sanitizer build on a busy machine needs seconds to exit.
    if (!support::wait_for_exit(pid, 10000ms, &status))
        return ::testing::AssertionFailure() << "the server did not end\n" << d.log();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1)
        return ::testing::AssertionFailure() << "wait status " << status;
    return ::testing::AssertionSuccess();
}

// Fifty clients at once (parallel ssh sessions, say) wait in the listen queue
// and are all served; none times out for want of room there.
TEST(Listener, BurstIsQueuedNotTurnedAway) {
    constexpr int count = 50;
    support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", support::AfterReply::echo));
    Daemon d;
    ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port())));
    std::vector<Fd> clients(count);
    std::vector<std::string> answers(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            clients[i] = support::connect_loopback(d.port);
            const std::string hello = "client " + std::to_string(i);
            if (clients[i] && support::send_all(clients[i].get(), hello))
                answers[i] = support::read_n(clients[i].get(), hello.size(), 10000ms);
        });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(answers[i], "client " + std::to_string(i));
}

TEST(Listener, PortAlreadyTaken) {
    support::TcpServer taken([](support::Connection &) {});
    Daemon d;
    d.box.write_config(support::config_text(taken.port(), support::free_port()));
    ASSERT_TRUE(server_fails(d));
    const std::vector<std::string> messages = support::log_messages(d.box.log_path());
    // The banner, whole, then the one report.
    ASSERT_GE(messages.size(), 2u) << d.log();
    EXPECT_NE(std::ranges::find(messages, "  external 127.0.0.1:7"), messages.end()) << d.log();
    EXPECT_TRUE(messages[messages.size() - 2].starts_with("  allow    ")) << d.log();
    EXPECT_TRUE(std::regex_match(messages.back(), std::regex("bind: " + support::error_pattern(EADDRINUSE))))
        << d.log();
}

// The listen host is an address, never looked up: a name, or the "= 127.0.0.1"
// of a "listen = ..." line, is refused instead of becoming 255.255.255.255.
TEST(Listener, NameIsRefused) {
    for (const std::string host : {"localhost", "= 127.0.0.1"}) {
        SCOPED_TRACE(host);
        Daemon d;
        d.box.write_config("listen " + host + ":" + std::to_string(d.port) + "\nproxy 127.0.0.1:" +
                           std::to_string(support::free_port()) + "\nexternal 127.0.0.1:7\n");
        ASSERT_TRUE(server_fails(d));
        const std::vector<std::string> messages = support::log_messages(d.box.log_path());
        ASSERT_GE(messages.size(), 2u) << d.log();
        EXPECT_TRUE(messages[messages.size() - 2].starts_with("  allow    ")) << d.log();
        EXPECT_EQ(messages.back(), "invalid listen address " + host);
    }
}

// Three tunnels, each to its own echo service through tinyproxy: every
// listener reaches its own far end, and the log names them.
TEST(Forward, EachListenerReachesItsOwnFarEnd) {
    support::EchoServer echoes[3];
    Daemon d;
    support::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(d.box.work.path()));
    const uint16_t ports[3] = {d.port, support::free_port(), support::free_port()};
    auto at = [](uint16_t port) { return "127.0.0.1:" + std::to_string(port); };
    ASSERT_TRUE(d.start(support::config_text(ports[0], proxy.port(), at(echoes[0].port())) + "forward " + at(ports[1]) +
                        " " + at(echoes[1].port()) + "\nforward\t" + at(ports[2]) + " \t" + at(echoes[2].port()) + "\n"));
    const auto listeners = [&] {
        return std::ranges::count_if(support::open_descriptors(d.server.pid),
                                     [](const std::string &s) { return s.starts_with("listen "); });
    };
    ASSERT_TRUE(support::wait_until([&] { return listeners() == 3; }, 5000ms)) << d.log();
    // The first tunnel's lines, then one per forward line, in order.
    const std::vector<std::string> banner = support::log_messages(d.box.log_path());
    const auto line = [&](const std::string &text) { return std::ranges::find(banner, text) - banner.begin(); };
    const auto external = line("  external " + at(echoes[0].port()));
    const auto first = line("  forward  " + at(ports[1]) + " " + at(echoes[1].port()));
    const auto second = line("  forward  " + at(ports[2]) + " " + at(echoes[2].port()));
    EXPECT_TRUE(external < first && first < second && second < std::ssize(banner)) << d.log();
    for (int i = 0; i < 3; ++i) {
        Fd client = support::connect_loopback(ports[i]);
        const std::string hello = "for far end " + std::to_string(i);
        ASSERT_TRUE(support::send_all(client.get(), hello));
        EXPECT_EQ(support::read_n(client.get(), hello.size()), hello);
        EXPECT_EQ(echoes[i].received(0), hello);
        EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "connection from " + at(support::local_port(client.get())) +
                                                                " for " + at(echoes[i].port())));
    }
}

// All or nothing: a taken port on the last forward line leaves no server
// running with the listeners it did open.
TEST(Forward, TakenPortOnTheSecondForwardLine) {
    support::TcpServer taken([](support::Connection &) {});
    Daemon d;
    d.box.write_config(support::config_text(d.port, support::free_port()) + "forward 127.0.0.1:" +
                       std::to_string(support::free_port()) + " e:1\nforward 127.0.0.1:" + std::to_string(taken.port()) +
                       " e:2\n");
    ASSERT_TRUE(server_fails(d));
    const std::vector<std::string> messages = support::log_messages(d.box.log_path());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(std::ranges::count_if(messages, [](const std::string &m) { return m.starts_with("  forward  "); }), 2)
        << d.log();
    EXPECT_TRUE(std::regex_match(messages.back(), std::regex("bind: " + support::error_pattern(EADDRINUSE))))
        << d.log();
    EXPECT_TRUE(support::live_descendants().empty());
}

}  // namespace
