// Checks of the harness itself, so the tunnel and process tests can trust it.
#include "support/support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace support;
using namespace std::chrono_literals;

namespace {

const std::string connect_request = "CONNECT 127.0.0.1:7 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

TEST(FakeProxyHarness, RecordsRequestSendsPiecesThenEchoes) {
    ProxyScript script;
    script.reply = {{"HTTP/1.0 200 ", 0ms}, {"OK\r\n\r\n", 100ms}};
    script.then = AfterReply::echo;
    FakeProxy proxy(script);
    Fd client = connect_loopback(proxy.port());
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_all(client.get(), connect_request + "early bytes"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_n(client.get(), 19), "HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_EQ(read_n(client.get(), 11), "early bytes");
    ASSERT_TRUE(proxy.wait_for_requests(1));
    EXPECT_EQ(proxy.request(0), connect_request);
    EXPECT_EQ(proxy.tunnel_bytes(0), "early bytes");
}

TEST(FakeProxyHarness, ScriptPerConnectionAndClose) {
    FakeProxy proxy([](std::size_t index) {
        if (index == 0)
            return proxy_reply("HTTP/1.0 403 Forbidden\r\n\r\n", AfterReply::close);
        ProxyScript custom = proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::custom);
        custom.custom = [](Connection &conn) { send_all(conn.fd, "custom " + std::to_string(conn.index)); };
        return custom;
    });
    for (std::string want : {"HTTP/1.0 403 Forbidden\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\ncustom 1"}) {
        Fd client = connect_loopback(proxy.port());
        ASSERT_TRUE(send_all(client.get(), connect_request));
        bool eof = false;
        EXPECT_EQ(read_all(client.get(), 5s, &eof), want);
        EXPECT_TRUE(eof);
    }
    EXPECT_EQ(proxy.connections(), 2u);
}

TEST(FakeProxyHarness, HoldStopsCleanlyWithClientStillConnected) {
    auto proxy = std::make_unique<FakeProxy>(proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::hold));
    Fd client = connect_loopback(proxy->port());
    ASSERT_TRUE(send_all(client.get(), connect_request + "kept"));
    ASSERT_TRUE(proxy->wait_for_tunnel_bytes(0, 4));
    auto start = std::chrono::steady_clock::now();
    proxy.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(wait_closed(client.get(), 2s));
}

// Reads a reply's head, byte by byte, up to the blank line (never past it).
std::string read_head(int fd) {
    std::string head;
    for (std::string byte = "-"; !byte.empty() && !head.ends_with("\r\n\r\n");)
        head += byte = read_n(fd, 1);
    return head;
}

// Login rounds: each reply only after its request, a reply made from the
// request it answers, every request recorded, and a last round that repeats.
TEST(FakeProxyHarness, RoundsAnswerEachRequestInTurn) {
    const ReplyMaker seen = [](const std::string &request) {
        return "HTTP/1.1 407 Again\r\nX-Seen: " + request.substr(0, request.find('\r')) + "\r\n\r\n";
    };
    FakeProxy proxy([&](std::size_t index) {
        ProxyScript script;
        script.rounds = {proxy_round("HTTP/1.1 407 Login\r\nContent-Length: 0\r\n\r\n"), {{}, seen}};
        if (index == 0)
            script.rounds.push_back(proxy_round("HTTP/1.1 200 OK\r\n\r\n"));
        script.then = AfterReply::echo;
        script.repeat_last = index == 1;
        return script;
    });
    const std::vector<std::string> asked = {"CONNECT a:1 HTTP/1.1\r\n\r\n", "CONNECT b:2 HTTP/1.1\r\n\r\n",
                                            "CONNECT c:3 HTTP/1.1\r\n\r\n"};
    Fd client = connect_loopback(proxy.port());
    ASSERT_TRUE(send_all(client.get(), asked[0]));
    EXPECT_EQ(read_head(client.get()), "HTTP/1.1 407 Login\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(wait_readable(client.get(), 200ms)) << "a round was sent before its request";
    ASSERT_TRUE(send_all(client.get(), asked[1]));
    EXPECT_EQ(read_head(client.get()), "HTTP/1.1 407 Again\r\nX-Seen: CONNECT b:2 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(send_all(client.get(), asked[2] + "tunnel"));
    EXPECT_EQ(read_head(client.get()), "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(read_n(client.get(), 6), "tunnel");
    EXPECT_EQ(proxy.requests(0), asked);
    EXPECT_EQ(proxy.request(0), asked[0]);

    Fd again = connect_loopback(proxy.port());
    for (const auto &request : asked) {
        ASSERT_TRUE(send_all(again.get(), request));
        const std::string head = read_head(again.get());
        EXPECT_TRUE(head.starts_with(request == asked[0] ? "HTTP/1.1 407 Login" : "HTTP/1.1 407 Again")) << head;
    }
    EXPECT_TRUE(proxy.wait_for_requests(6));
}

TEST(EchoServerHarness, EchoesEachConnection) {
    EchoServer echo;
    Fd a = connect_loopback(echo.port()), b = connect_loopback(echo.port());
    ASSERT_TRUE(send_all(a.get(), "first") && send_all(b.get(), "second"));
    EXPECT_EQ(read_n(a.get(), 5), "first");
    EXPECT_EQ(read_n(b.get(), 6), "second");
    EXPECT_EQ(echo.accepted(), 2u);
}

// The generated tinyproxy config works as the current user, with and
// without Basic credentials.
TEST(TinyproxyHarness, ConnectsThroughToEchoServer) {
    TempDir dir;
    EchoServer echo;
    Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(dir.path(), {.user = "alice", .password = "secret", .extra_lines = {}}));
    std::string target = "127.0.0.1:" + std::to_string(echo.port());
    std::string request = "CONNECT " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";

    Fd refused = connect_loopback(proxy.port());
    ASSERT_TRUE(send_all(refused.get(), request + "\r\n"));
    EXPECT_TRUE(read_all(refused.get(), 5s).starts_with("HTTP/1.0 407")) << read_file(proxy.log_path());

    Fd client = connect_loopback(proxy.port());
    ASSERT_TRUE(send_all(client.get(), request + "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n"));
    EXPECT_EQ(read_n(client.get(), 12), "HTTP/1.0 200") << read_file(proxy.log_path());
    std::string header;
    for (std::string byte = "-"; !byte.empty() && !header.ends_with("\r\n\r\n");)
        header += byte = read_n(client.get(), 1);
    ASSERT_TRUE(send_all(client.get(), "ping"));
    EXPECT_EQ(read_n(client.get(), 4), "ping");
    EXPECT_TRUE(proxy.stop());
}

// The 407's challenge lines, in order, each cut after its scheme's name
// (with the Digest and Basic realm).
std::vector<std::string> offered_schemes(const std::string &head) {
    const std::string field = "\r\nProxy-Authenticate: ";
    std::vector<std::string> schemes;
    for (std::size_t at = head.find(field); at != std::string::npos; at = head.find(field, at + 1)) {
        const std::string line = head.substr(at + field.size(), head.find("\r\n", at + 2) - at - field.size());
        const std::size_t cut = line.find(line.starts_with("Digest") ? ", nonce=" : " ");
        schemes.push_back(line.substr(0, line.starts_with("Basic") ? std::string::npos : cut));
    }
    return schemes;
}

// The generated configs for all four schemes, two squids at once (their
// shared memory apart), the htpasswd file readable by the user squid runs
// as, and CONNECT allowed to the given port only. Through a tap, which
// records the exact bytes.
TEST(SquidHarness, TwoAtOnceOfferTheirSchemesAndLetBasicThrough) {
    EchoServer echo;
    TempDir dir_a, dir_b;
    Squid a, b;
    const std::vector<SquidUser> users = {{"bob", "other"}, {"alice", "secret"}};
    ASSERT_TRUE(a.start(dir_a.path(), {.schemes = {SquidScheme::digest, SquidScheme::basic},
                                       .connect_ports = {echo.port()}, .users = users}));
    ASSERT_TRUE(b.start(dir_b.path(), {.schemes = {SquidScheme::negotiate, SquidScheme::ntlm},
                                       .connect_ports = {echo.port()}}));
    const std::string target = "127.0.0.1:" + std::to_string(echo.port());
    const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    for (auto [squid, want] : {std::pair{&a, std::vector<std::string>{R"(Digest realm="proxyrealm")",
                                                                        R"(Basic realm="proxyrealm")"}},
                               std::pair{&b, std::vector<std::string>{"Negotiate", "NTLM"}}}) {
        Fd client = connect_loopback(squid->port());
        ASSERT_TRUE(send_all(client.get(), request + "\r\n"));
        const std::string head = read_head(client.get());
        EXPECT_TRUE(head.starts_with("HTTP/1.1 407 ")) << head << read_file(squid->cache_log_path());
        EXPECT_EQ(offered_schemes(head), want) << head;
    }

    Tap tap(a.port());
    const std::string login = request + "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n";
    Fd client = connect_loopback(tap.port());
    ASSERT_TRUE(send_all(client.get(), login));
    const std::string head = read_head(client.get());
    EXPECT_TRUE(head.starts_with("HTTP/1.1 200 ")) << head << read_file(a.cache_log_path());
    ASSERT_TRUE(send_all(client.get(), "ping"));
    EXPECT_EQ(read_n(client.get(), 4), "ping");
    client.reset();
    ASSERT_TRUE(tap.wait_for_ended(1));
    // Compared, not shown: the request holds a password.
    EXPECT_TRUE(tap.sent(0) == login + "ping") << tap.sent(0).size() << " bytes recorded, not " << login.size() + 4;
    EXPECT_TRUE(tap.received(0).starts_with(head + "ping")) << tap.received(0);

    Fd elsewhere = connect_loopback(a.port());
    ASSERT_TRUE(send_all(elsewhere.get(), "CONNECT 127.0.0.1:9 HTTP/1.1\r\nHost: 127.0.0.1:9\r\n"
                                          "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n"));
    EXPECT_TRUE(read_head(elsewhere.get()).starts_with("HTTP/1.1 403 "));
    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(b.stop());
}

// start_server, the log helpers and stop_server against the real binary,
// with one connection through the fake proxy.
// The checkable stream notices a changed byte.
TEST(DataHarness, PatternReceiverStopsAtTheFirstWrongByte) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const Fd a(ends[0]), b(ends[1]);
    ASSERT_TRUE(send_pattern(a.get(), 7, 1000));
    EXPECT_EQ(receive_pattern(b.get(), 7, 1000), 1000u);
    std::string bytes = pattern(0, 1000, 7);
    bytes[600] ^= 1;
    ASSERT_TRUE(send_all(a.get(), bytes));
    EXPECT_LE(receive_pattern(b.get(), 7, 1000), 600u);
    EXPECT_NE(pattern(0, 64, 7), pattern(0, 64, 8));
}

// The descriptor listing names a listener and connections by their addresses.
TEST(DataHarness, OpenDescriptorsNameSocketsByAddress) {
    EchoServer echo;
    const Fd client = connect_loopback(echo.port());
    ASSERT_TRUE(client);
    ASSERT_TRUE(wait_until([&] { return echo.accepted() == 1; }, 5000ms));
    const std::vector<std::string> mine = open_descriptors(getpid());
    const auto holds = [&](const std::string &text) { return std::ranges::count(mine, text) > 0; };
    EXPECT_TRUE(holds("listen 127.0.0.1:" + std::to_string(echo.port())));
    EXPECT_TRUE(holds("tcp to 127.0.0.1:" + std::to_string(echo.port())));
    EXPECT_TRUE(holds("tcp to 127.0.0.1:" + std::to_string(local_port(client.get()))));
}

TEST(ServerHarness, StartTunnelStop) {
    Sandbox box;
    FakeProxy proxy(proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::echo));
    uint16_t port = free_port();
    box.write_config(config_text(port, proxy.port()));
    Server server;
    ASSERT_TRUE(start_server({}, box.options(), server));
    EXPECT_TRUE(descendants().size() == 1 && descendants()[0].pid == server.pid) << "intermediate not reaped";

    {
        Fd client = connect_loopback(port);
        ASSERT_TRUE(send_all(client.get(), "round trip"));
        EXPECT_EQ(read_n(client.get(), 10), "round trip");
    }
    ASSERT_TRUE(wait_for_log_regex(box.log_path(), R"(^\S+ \S+ \d+ 10 bytes in, 10 bytes out, \d+ seconds$)"));
    ASSERT_TRUE(wait_for_log(box.log_path(), "exited with status 0"));
    EXPECT_EQ(proxy.request(0), connect_request);
    EXPECT_EQ(count_log_lines(box.log_path(), "STARTED as"), 1);
    std::vector<std::string> messages = log_messages(box.log_path());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "connection closed by client"), messages.end());

    EXPECT_TRUE(stop_server(server.pid));
    EXPECT_TRUE(descendants().empty());
}

TEST(ServerHarness, CleanupKillsLeftovers) {
    Sandbox box;
    box.write_config(config_text(free_port(), 9));
    Server server;
    ASSERT_TRUE(start_server({}, box.options(), server));
    EXPECT_EQ(cleanup_descendants(), std::vector<pid_t>{server.pid});
    EXPECT_TRUE(descendants().empty());
    EXPECT_FALSE(stop_server(server.pid, 100ms));
}

TEST(LogReaderHarness, ParsesPrefixes) {
    LogLine server = parse_log_line("2024.01.02 03:04:05 *** STARTED as tarnwick");
    EXPECT_TRUE(server.prefixed);
    EXPECT_EQ(server.timestamp, "2024.01.02 03:04:05");
    EXPECT_EQ(server.tag, "***");
    EXPECT_EQ(server.message, "STARTED as tarnwick");
    LogLine client = parse_log_line("2024.01.02 03:04:05 4242   spaced message");
    EXPECT_EQ(client.tag, "4242");
    EXPECT_EQ(client.message, "  spaced message");
    LogLine report = parse_log_line("write: Broken pipe");
    EXPECT_FALSE(report.prefixed);
    EXPECT_EQ(report.message, "write: Broken pipe");
    EXPECT_EQ(complete_lines("a\nb\npartial"), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
