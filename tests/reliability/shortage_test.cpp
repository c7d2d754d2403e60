// A shortage of processes or descriptors costs connections, never the
// server: forks that fail under a process limit, accept calls that fail
// (injected by a preloaded library), and the one accept failure that does
// end it, a broken listener.

#include "reliability/helpers.h"

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace reliability;
using namespace std::chrono_literals;

const std::string ok = "HTTP/1.0 200 OK\r\n\r\n";

// The lines the server itself wrote (its tag, or a system-call report) from
// byte `from` of the log on.
std::vector<std::string> server_lines(const Sandbox &box, std::size_t from)
{
    std::vector<std::string> lines;
    for (const std::string &line : log_lines(box.log_path(), from))
        if (const LogLine l = parse_log_line(line); !l.prefixed || l.tag == "***")
            lines.push_back(l.message);
    return lines;
}

bool round_trip(const Fd &client, const std::string &bytes)
{
    return send_all(client.get(), bytes) && read_n(client.get(), bytes.size(), 10000ms) == bytes;
}

// No other process of this uid may run: the process limit counts them all.
constexpr uid_t unprivileged_uid = 4243;
constexpr int process_limit = 6;

TEST(Shortage, ProcessLimitCostsConnectionsNotTheServer)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "runs the server as another, unprivileged user (a process limit does not bind root): "
                        "needs root";
    const std::string id = std::to_string(unprivileged_uid);
    const std::vector<std::string> as_user = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                              "--"};
    std::vector<std::string> can_run = as_user;
    can_run.insert(can_run.end(), {"/usr/bin/test", "-x", binary_path()});
    const pid_t probe = spawn(can_run, {"PATH=/usr/bin:/bin"}, "/", 2, 2);
    int probe_status = -1;
    if (probe < 0 || !wait_for_exit(probe, 5000ms, &probe_status) || probe_status != 0)
        GTEST_SKIP() << "uid " << id << " can't run " << binary_path() << " (setpriv missing, or a directory "
                     << "on the way is closed to other users)";

    FakeProxy proxy(proxy_reply(ok, AfterReply::echo));
    Sandbox box;
    const uint16_t port = free_port();
    // The clients are root's, not the server's user's.
    box.write_config(config_text(port, proxy.port()) + "allow any\n");
    ASSERT_EQ(chown(box.home.path().c_str(), unprivileged_uid, unprivileged_uid), 0);
    ASSERT_EQ(chmod(box.work.path().c_str(), 0755), 0);
    RunOptions options = box.options();
    options.wrapper = as_user;
    options.wrapper.insert(options.wrapper.end(),
                           {"/usr/bin/prlimit", "--nproc=" + std::to_string(process_limit), "--"});
    Server server;
    ASSERT_TRUE(start_server({}, options, server));

    // The server takes one process of the limit; the rest can't all be served.
    constexpr int clients = process_limit + 3;
    std::vector<Fd> held(clients);
    for (Fd &client : held) {
        client = connect_loopback(port);
        ASSERT_TRUE(client);
        ASSERT_TRUE(send_all(client.get(), "ping"));
    }
    int served = 0;
    for (Fd &client : held)
        served += read_n(client.get(), 4, 10000ms) == "ping";
    EXPECT_GE(served, 1);
    EXPECT_LT(served, process_limit);
    EXPECT_TRUE(wait_for_log_regex(box.log_path(), "^fork: " + error_pattern(EAGAIN) + "$"));

    // Once the tunnels have ended, a connection is served again.
    held.clear();
    EXPECT_TRUE(wait_for_log_regex(box.log_path(), "\\*\\*\\* child \\d+ exited with status 0", served, 10000ms));
    const Fd after = connect_loopback(port);
    ASSERT_TRUE(after);
    EXPECT_TRUE(round_trip(after, "after the shortage")) << read_file(box.log_path());
    EXPECT_TRUE(stop_server(server.pid));
}

// Starts the server with the accept faults preloaded. False in `loaded` when
// the binary took no preloaded library (a static build).
::testing::AssertionResult start_with_accept_faults(const Sandbox &box, uint16_t port, uint16_t proxy_port,
                                                    const std::string &faults, Server &server, bool &loaded)
{
    box.write_config(config_text(port, proxy_port));
    const std::string marker = box.work.file("preloaded");
    RunOptions options = box.options();
    options.env = {std::string("LD_PRELOAD=") + TARNWICK_ACCEPT_FAULTS_LIBRARY, "TARNWICK_ACCEPT_FAULTS=" + faults,
                   "TARNWICK_ACCEPT_FAULTS_LOADED=" + marker};
    // AddressSanitizer wants its runtime loaded first; here the faults come first.
    const char *asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    const ::testing::AssertionResult started = start_server({}, options, server);
    loaded = access(marker.c_str(), F_OK) == 0;
    return started;
}

TEST(Shortage, FailedAcceptsCostAPauseNotTheServer)
{
    FakeProxy proxy(proxy_reply(ok, AfterReply::echo));
    Sandbox box;
    const uint16_t port = free_port();
    // Short of descriptors twice (a pause each), the rest transient (retried at once).
    const std::string faults = std::to_string(EMFILE) + "," + std::to_string(ECONNABORTED) + "," +
                               std::to_string(EINTR) + "," + std::to_string(EPROTO) + "," + std::to_string(EPERM) +
                               "," + std::to_string(ENETDOWN) + "," + std::to_string(ENFILE) + "," +
                               std::to_string(EHOSTUNREACH);
    Server server;
    bool loaded = false;
    ASSERT_TRUE(start_with_accept_faults(box, port, proxy.port(), faults, server, loaded));
    if (!loaded)
        GTEST_SKIP() << "the binary under test takes no preloaded library (a static build)";
    const std::size_t from = file_size(box.log_path());
    const long cpu_before = cpu_ms(server.pid);
    const auto start = std::chrono::steady_clock::now();

    const Fd client = connect_loopback(port);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_all(client.get(), "ping"));
    EXPECT_EQ(read_n(client.get(), 4, 15000ms), "ping");
    const auto waited = std::chrono::steady_clock::now() - start;

    EXPECT_GE(waited, 1800ms) << "each shortage pauses the accepting for about a second";
    EXPECT_LT(cpu_ms(server.pid) - cpu_before, 300) << "the server spun";
    const std::vector<std::string> lines = server_lines(box, from);
    ASSERT_EQ(lines.size(), 2u) << read_file(box.log_path());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("accept: " + error_pattern(EMFILE)))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("accept: " + error_pattern(ENFILE)))) << lines[1];
    EXPECT_TRUE(stop_server(server.pid));
}

TEST(Shortage, BrokenListenerEndsTheServer)
{
    Sandbox box;
    const uint16_t port = free_port();
    Server server;
    bool loaded = false;
    ASSERT_TRUE(start_with_accept_faults(box, port, free_port(), std::to_string(EBADF), server, loaded));
    if (!loaded)
        GTEST_SKIP() << "the binary under test takes no preloaded library (a static build)";
    const Fd client = connect_loopback(port);
    int status = -1;
    ASSERT_TRUE(wait_for_exit(server.pid, 5000ms, &status)) << read_file(box.log_path());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::vector<std::string> lines = log_messages(box.log_path());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex("accept: " + error_pattern(EBADF)))) << lines.back();
}

}  // namespace
