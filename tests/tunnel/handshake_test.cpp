// Opening a tunnel, end to end: the CONNECT request the proxy receives, how
// each kind of answer is taken, and what the client and the log see.

#include "tunnel/e2e.h"

namespace {

using namespace e2e;
using support::AfterReply;
using support::ReplyPiece;

std::string times(std::string_view piece, int n) {
    std::string s;
    while (n-- > 0)
        s += piece;
    return s;
}

const std::string long_host(900, 'h');

struct RequestCase {
    std::string external;
    std::optional<std::string> auth;
    std::string expected;
};

TEST(Request, ExactBytesReachTheProxy) {
    const std::vector<RequestCase> cases = {
        {"ext.example:4433", {}, "CONNECT ext.example:4433 HTTP/1.0\r\nHost: ext.example\r\n\r\n"},
        {"ext.example:443", "user:pass",
         "CONNECT ext.example:443 HTTP/1.0\r\nHost: ext.example\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n"},
        {"ext.example:443", "",
         "CONNECT ext.example:443 HTTP/1.0\r\nHost: ext.example\r\nProxy-Authorization: Basic \r\n\r\n"},
        {"ext.example:70000", {}, "CONNECT ext.example:70000 HTTP/1.0\r\nHost: ext.example\r\n\r\n"},
        // 300 credential bytes ("abc" is "YWJj" in Base64): a request of 1.3 KB, sent whole.
        {long_host + ":22", times("abc", 100),
         "CONNECT " + long_host + ":22 HTTP/1.0\r\nHost: " + long_host +
             "\r\nProxy-Authorization: Basic " + times("YWJj", 100) + "\r\n\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::hold));
        Daemon d;
        ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port(), c.external, c.auth)));
        Fd client;
        const std::string pid = d.connect(client);
        ASSERT_TRUE(proxy.wait_for_requests(1));
        EXPECT_EQ(proxy.request(0), c.expected);
        EXPECT_TRUE(d.story(pid, {"connection from 127.0.0.1:" + std::to_string(local_port(client.get())),
                                  "connection through proxy 127.0.0.1:" + std::to_string(proxy.port()) +
                                      " established"}));
    }
}

enum class Outcome { open, refused, no_response };

struct Answer {
    const char *name;
    std::vector<ReplyPiece> reply;
    Outcome outcome;
    std::string after_header;  // open: what the client must see first
    std::string refusal;       // refused: the status line as logged
};

Answer open(const char *name, std::string reply, std::string after = "hello") {
    return {name, {{reply + after}}, Outcome::open, after, ""};
}
Answer refused(const char *name, std::string reply, std::string logged) {
    return {name, {{reply + "<html>go away</html>"}}, Outcome::refused, "", logged};
}
Answer silent(const char *name, std::string reply) { return {name, {{reply}}, Outcome::no_response, "", ""}; }

std::string header_line(std::size_t length) { return "X-Pad: " + std::string(length - 7, 'p'); }

const std::vector<Answer> answers = {
    open("CrLf", "HTTP/1.0 200 Connection established\r\nProxy-agent: fake\r\n\r\n"),
    open("BareLf", "HTTP/1.1 200 OK\nProxy-agent: fake\n\n"),
    open("LoneCrLine", "HTTP/1.0 200 OK\nProxy-agent: fake\n\r\n"),
    open("CrInsideLine", "HTTP/1.0 200 OK\r\n\rX: y\r\n\r\n"),
    open("NothingAfterHeader", "HTTP/1.0 200 OK\r\n\r\n", ""),
    open("CodeEndsLine", "HTTP/1.0  200\r\n\r\n"),
    open("Code299", "HTTP/1.1 299 Fine\r\n\r\n"),
    open("Line1022", "HTTP/1.0 200 OK\r\n" + header_line(1022) + "\r\n\r\n"),
    open("Line1023", "HTTP/1.0 200 OK\r\n" + header_line(1023) + "\r\n\r\n"),
    open("Line1023BareLf", "HTTP/1.0 200 OK\n" + header_line(1023) + "\n\n"),
    open("Line1024", "HTTP/1.0 200 OK\r\n" + header_line(1024) + "\r\n\r\n"),
    open("Line5000", "HTTP/1.0 200 OK\r\n" + header_line(5000) + "\r\nX: y\r\n\r\n"),
    open("StatusLine3000", "HTTP/1.0 200 " + std::string(2987, 's') + "\r\n\r\n"),
    {"InPieces",
     {{"HTTP/1.0 200 OK\r"}, {"\n\r", 30ms}, {"\nhel", 30ms}, {"lo", 30ms}},
     Outcome::open, "hello", ""},
    refused("Code407", "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n\r\n",
            "HTTP/1.0 407 Proxy Authentication Required"),
    refused("Code403", "HTTP/1.1 403 Forbidden\r\n\r\n", "HTTP/1.1 403 Forbidden"),
    refused("Code502", "HTTP/1.0 502 Bad Gateway\n\n", "HTTP/1.0 502 Bad Gateway"),
    refused("NotHttp", "SSH-2.0-OpenSSH_9.2\r\n\r\n", "SSH-2.0-OpenSSH_9.2"),
    refused("LowerCase", "http/1.0 200 OK\r\n\r\n", "http/1.0 200 OK"),
    refused("NoMinorVersion", "HTTP/2 200 OK\r\n\r\n", "HTTP/2 200 OK"),
    refused("FourDigits", "HTTP/1.0 2000 OK\r\n\r\n", "HTTP/1.0 2000 OK"),
    refused("TwoDigits", "HTTP/1.0 20 OK\r\n\r\n", "HTTP/1.0 20 OK"),
    refused("CodeRunsOn", "HTTP/1.0 200x\r\n\r\n", "HTTP/1.0 200x"),
    refused("Code199", "HTTP/1.0 199 Early\r\n\r\n", "HTTP/1.0 199 Early"),
    refused("Code300", "HTTP/1.0 300 Choices\r\n\r\n", "HTTP/1.0 300 Choices"),
    refused("TabNotSpace", "HTTP/1.0\t200 OK\r\n\r\n", "HTTP/1.0\\x09200 OK"),
    refused("Unprintable", "HTTP/1.0 403 \x01\xff\x7f\x1b[2J\r\n\r\n", "HTTP/1.0 403 \\x01\\xFF\\x7F\\x1B[2J"),
    refused("EmptyStatusLine", "\r\n", ""),
    silent("ClosesAtOnce", ""),
    silent("ClosesAfterStatus", "HTTP/1.0 200 OK\r\n"),
    silent("ClosesAfterLoneCr", "HTTP/1.0 200 OK\r\nX: y\r\n\r"),
};

class Answers : public ::testing::TestWithParam<Answer> {};

TEST_P(Answers, DecideTheTunnel) {
    const Answer &a = GetParam();
    support::ProxyScript script{a.reply, a.outcome == Outcome::open ? AfterReply::echo : AfterReply::hold, {}};
    if (a.outcome == Outcome::no_response)
        script.then = AfterReply::close;
    support::FakeProxy proxy(script);
    Daemon d;
    ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port())));
    Fd client;
    const std::string pid = d.connect(client);
    ASSERT_FALSE(pid.empty()) << d.log();
    const std::string from = "connection from 127.0.0.1:" + std::to_string(local_port(client.get()));

    if (a.outcome == Outcome::open) {
        // The bytes after the header come first, and nothing of the header.
        EXPECT_EQ(support::read_n(client.get(), a.after_header.size()), a.after_header);
        ASSERT_TRUE(support::send_all(client.get(), "ping"));
        EXPECT_EQ(support::read_n(client.get(), 4), "ping");
        client.reset();
        EXPECT_TRUE(d.story(pid, {from,
                                  "connection through proxy 127.0.0.1:" + std::to_string(proxy.port()) +
                                      " established",
                                  "connection closed by client", totals(a.after_header.size() + 4, 4)}));
    } else {
        bool eof = false;
        EXPECT_EQ(support::read_all(client.get(), 5000ms, &eof), "");
        EXPECT_TRUE(eof);
        const std::string reason =
            a.outcome == Outcome::refused ? "proxy refused tunnel: " + a.refusal : "didn't detect proxy response";
        EXPECT_TRUE(d.story(pid, {from, reason, "handle_client() can't open proxy connection"}));
    }
    EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "*** child " + pid + " exited with status 0"));
}

INSTANTIATE_TEST_SUITE_P(Table, Answers, ::testing::ValuesIn(answers),
                         [](const auto &info) { return std::string(info.param.name); });

// Where the proxy is, or isn't.
struct ProxyPlace {
    std::string host;
    bool listening;
    std::vector<Expect> lines;  // after "connection from"
};

TEST(ProxyAddress, NamesAndRefusedConnections) {
    support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::echo));
    const std::string port = std::to_string(proxy.port());
    // A label longer than 63 bytes can't be put into a DNS query: the C
    // library fails the lookup without sending one (strace shows no socket
    // but nscd's). "localhost" comes from /etc/hosts.
    const std::string unresolvable = std::string(64, 'a') + ".example";
    const std::vector<ProxyPlace> places = {
        {"localhost", true, {"connection through proxy localhost:" + port + " established"}},
        {unresolvable, true,
         {"invalid host name " + unresolvable, "handle_client() can't open proxy connection"}},
        {"127.0.0.1", false, {"connect: Connection refused", "handle_client() can't open proxy connection"}},
    };
    for (const auto &p : places) {
        SCOPED_TRACE(p.host);
        Daemon d;
        const uint16_t proxy_port = p.listening ? proxy.port() : support::free_port();
        ASSERT_TRUE(d.start("listen 127.0.0.1:" + std::to_string(d.port) + "\nproxy " + p.host + ":" +
                            std::to_string(proxy_port) + "\nexternal ext.example:443\n"));
        Fd client;
        const std::string pid = d.connect(client);
        std::vector<Expect> lines{"connection from 127.0.0.1:" + std::to_string(local_port(client.get()))};
        lines.insert(lines.end(), p.lines.begin(), p.lines.end());
        EXPECT_TRUE(d.story(pid, lines));
        if (p.lines.size() == 1) {
            ASSERT_TRUE(support::send_all(client.get(), "ping"));
            EXPECT_EQ(support::read_n(client.get(), 4), "ping");
        } else {
            EXPECT_TRUE(support::wait_closed(client.get()));
        }
    }
}

// Against the real proxy: BasicAuth user pass.
TEST(Tinyproxy, CredentialsDecide) {
    support::EchoServer echo;
    support::TinyproxyOptions options;
    options.user = "user";
    options.password = "pass";
    for (const char *auth : {"user:pass", "user:wrong"}) {
        SCOPED_TRACE(auth);
        const bool right = std::string_view(auth) == "user:pass";
        Daemon d;  // its sandbox ends every process left, tinyproxy included
        support::Tinyproxy proxy;
        ASSERT_TRUE(proxy.start(d.box.work.path(), options));
        ASSERT_TRUE(d.start(
            support::config_text(d.port, proxy.port(), "127.0.0.1:" + std::to_string(echo.port()), auth)));
        Fd client;
        const std::string pid = d.connect(client);
        ASSERT_TRUE(support::send_all(client.get(), "through tinyproxy"));
        if (right) {
            EXPECT_EQ(support::read_n(client.get(), 17), "through tinyproxy");
            EXPECT_TRUE(support::wait_for_log(d.box.log_path(), pid + " connection through proxy"));
        } else {
            bool eof = false;
            EXPECT_EQ(support::read_all(client.get(), 5000ms, &eof), "");
            EXPECT_TRUE(eof);
            EXPECT_TRUE(d.story(pid, {re("connection from .*"), re("proxy refused tunnel: HTTP/1\\.[01] 40[17] .*"),
                                      "handle_client() can't open proxy connection"}));
        }
    }
    EXPECT_EQ(echo.accepted(), 1u);  // the refused tunnel never reached the external side
}

}  // namespace
