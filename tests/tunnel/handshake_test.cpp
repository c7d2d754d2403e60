// Opening a tunnel, end to end: the CONNECT request the proxy receives, how
// each kind of answer is taken, and what the client and the log see.

#include "tunnel/e2e.h"

#include <cerrno>

namespace {

using namespace e2e;
using support::AfterReply;

std::string times(std::string_view piece, int n) {
    std::string s;
    while (n-- > 0)
        s += piece;
    return s;
}

TEST(Request, ExactBytesReachTheProxy) {
    const std::string host(900, 'h');
    const std::vector<std::tuple<std::string, std::optional<std::string>, std::string>> cases = {
        {"ext.example:4433", {}, "CONNECT ext.example:4433 HTTP/1.0\r\nHost: ext.example\r\n\r\n"},
        {"ext.example:443", "user:pass",
         "CONNECT ext.example:443 HTTP/1.0\r\nHost: ext.example\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n"},
        {"ext.example:443", "",
         "CONNECT ext.example:443 HTTP/1.0\r\nHost: ext.example\r\nProxy-Authorization: Basic \r\n\r\n"},
        {"ext.example:70000", {}, "CONNECT ext.example:70000 HTTP/1.0\r\nHost: ext.example\r\n\r\n"},
        // 300 credential bytes ("abc" is "YWJj" in Base64): a request of 2.3 KB, sent whole.
        {host + ":22", times("abc", 100),
         "CONNECT " + host + ":22 HTTP/1.0\r\nHost: " + host + "\r\nProxy-Authorization: Basic " +
             times("YWJj", 100) + "\r\n\r\n"},
    };
    for (const auto &[external, auth, expected] : cases) {
        SCOPED_TRACE(expected);
        support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::hold));
        Daemon d;
        ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port(), external, auth)));
        Fd client;
        const std::string pid = d.connect(client);
        ASSERT_TRUE(proxy.wait_for_requests(1));
        EXPECT_EQ(proxy.request(0), expected);
        EXPECT_TRUE(d.story(pid, {established(proxy.port())}));
    }
}

enum class Outcome { open, refused, no_response };

struct Answer {
    const char *name;
    std::vector<support::ReplyPiece> reply;
    Outcome outcome;
    std::string after_header;  // open: what the client must see first
    Expect reason = "";        // otherwise: why the tunnel didn't open
    Expect login = "";         // a 407's line before it: what was offered and tried
};
void PrintTo(const Answer &a, std::ostream *os) { *os << a.name; }

Answer open(const char *name, std::string reply, std::string after = "hello") {
    return {name, {{reply + after}}, Outcome::open, after};
}
Answer refused(const char *name, std::string reply, Expect logged) {
    logged.text = "proxy refused tunnel: " + logged.text;
    return {name, {{reply + "<html>go away</html>"}}, Outcome::refused, "", logged};
}
Answer silent(const char *name, std::string reply) {
    return {name, {{reply}}, Outcome::no_response, "", "didn't detect proxy response"};
}
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
    {"InPieces", {{"HTTP/1.0 200 OK\r"}, {"\n\r", 30ms}, {"\nhel", 30ms}, {"lo", 30ms}}, Outcome::open, "hello"},
    [] {
        Answer a = refused("Code407",
                           "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n\r\n",
                           "HTTP/1.0 407 Proxy Authentication Required");
        a.login = "proxy offers Basic; tried nothing; no auth line in the config";
        return a;
    }(),
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
    refused("LongStatusLine", "HTTP/1.0 403 " + std::string(3000, '\x01') + "\r\n\r\n",
            re("HTTP/1\\.0 403 (\\\\x01)+")),
    refused("EmptyStatusLine", "\r\n", ""),
    silent("ClosesAtOnce", ""),
    silent("ClosesAfterStatus", "HTTP/1.0 200 OK\r\n"),
    silent("ClosesAfterLoneCr", "HTTP/1.0 200 OK\r\nX: y\r\n\r"),
};

class Answers : public ::testing::TestWithParam<Answer> {};

TEST_P(Answers, DecideTheTunnel) {
    const Answer &a = GetParam();
    const AfterReply then[] = {AfterReply::echo, AfterReply::hold, AfterReply::close};
    support::FakeProxy proxy(support::ProxyScript{a.reply, then[static_cast<int>(a.outcome)], {}});
    Daemon d;
    ASSERT_TRUE(d.start(support::config_text(d.port, proxy.port())));
    Fd client;
    const std::string pid = d.connect(client);
    ASSERT_FALSE(pid.empty()) << d.log();
    if (a.outcome == Outcome::open) {
        // The bytes after the header come first, and nothing of the header.
        EXPECT_EQ(support::read_n(client.get(), a.after_header.size()), a.after_header);
        ASSERT_TRUE(support::send_all(client.get(), "ping"));
        EXPECT_EQ(support::read_n(client.get(), 4), "ping");
        client.reset();
        EXPECT_TRUE(d.story(pid, {established(proxy.port()), "connection closed by client",
                                  totals(a.after_header.size() + 4, 4)}));
    } else {
        bool eof = false;
        EXPECT_EQ(support::read_all(client.get(), 5000ms, &eof), "");
        EXPECT_TRUE(eof);
        std::vector<Expect> story = {a.reason, "handle_client() can't open proxy connection"};
        if (!a.login.text.empty())
            story.insert(story.begin(), a.login);
        EXPECT_TRUE(d.story(pid, story));
    }
    EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "*** child " + pid + " exited with status 0"));
}

INSTANTIATE_TEST_SUITE_P(Table, Answers, ::testing::ValuesIn(answers),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ProxyAddress, NamesAndRefusedConnections) {
    support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::echo));
    const uint16_t nobody = support::free_port();
    // A label longer than 63 bytes can't be put into a DNS query: the C
    // library fails the lookup without sending one (strace shows no socket
    // but nscd's). "localhost" comes from /etc/hosts.
    const std::string unresolvable = std::string(64, 'a') + "\x01\xff.example";
    const std::string shown = std::string(64, 'a') + "\\x01\\xFF.example";
    const std::vector<std::tuple<std::string, uint16_t, Expect>> places = {
        {"localhost", proxy.port(), established(proxy.port(), "localhost")},
        {unresolvable, proxy.port(), "invalid host name " + shown},
        {"127.0.0.1", nobody, re("connect: " + support::error_pattern(ECONNREFUSED))},
    };
    for (const auto &[host, port, first] : places) {
        SCOPED_TRACE(host);
        Daemon d;
        ASSERT_TRUE(d.start("listen 127.0.0.1:" + std::to_string(d.port) + "\nproxy " + host + ":" +
                            std::to_string(port) + "\nexternal ext.example:443\n"));
        Fd client;
        const std::string pid = d.connect(client);
        if (host == "localhost") {
            ASSERT_TRUE(support::send_all(client.get(), "ping"));
            EXPECT_EQ(support::read_n(client.get(), 4), "ping");
            EXPECT_TRUE(d.story(pid, {first}));
        } else {
            EXPECT_TRUE(support::wait_closed(client.get()));
            EXPECT_TRUE(d.story(pid, {first, "handle_client() can't open proxy connection"}));
        }
        if (host == unresolvable) {
            EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "***   proxy    " + shown + ":"));
        }
    }
}

// Against the real proxy: BasicAuth user pass.
TEST(Tinyproxy, CredentialsDecide) {
    support::EchoServer echo;
    support::TinyproxyOptions options;
    options.user = "user";
    options.password = "pass";
    for (const std::string auth : {"user:pass", "user:wrong"}) {
        SCOPED_TRACE(auth);
        Daemon d;  // its sandbox ends every process left, tinyproxy included
        support::Tinyproxy proxy;
        ASSERT_TRUE(proxy.start(d.box.work.path(), options));
        ASSERT_TRUE(d.start(
            support::config_text(d.port, proxy.port(), "127.0.0.1:" + std::to_string(echo.port()), auth)));
        Fd client;
        const std::string pid = d.connect(client);
        ASSERT_TRUE(support::send_all(client.get(), "through tinyproxy"));
        if (auth == "user:pass") {
            EXPECT_EQ(support::read_n(client.get(), 17), "through tinyproxy");
            EXPECT_TRUE(support::wait_for_log(d.box.log_path(), pid + " " + established(proxy.port())));
        } else {
            bool eof = false;
            EXPECT_EQ(support::read_all(client.get(), 5000ms, &eof), "");
            EXPECT_TRUE(eof);
            EXPECT_TRUE(d.story(pid, {re("proxy refused tunnel: HTTP/1\\.[01] 40[17] .*"),
                                      "handle_client() can't open proxy connection"}));
        }
    }
    EXPECT_EQ(echo.accepted(), 1u);  // the refused tunnel never reached the external side
}

}  // namespace
