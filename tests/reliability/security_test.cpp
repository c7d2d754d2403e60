// What a peer or a config can make tarnwick show: never the credential,
// never a line of the peer's making in the log; and the modes of the files
// it creates.
#include "reliability/helpers.h"

#include "config/settings.h"

#include <arpa/inet.h>
#include <filesystem>
#include <sys/stat.h>

using namespace reliability;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

// A regex that matches the text literally.
std::string literal(std::string_view text)
{
    std::string escaped;
    for (const char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The log holds printable text and line feeds only, every line has the
// log's own prefix or is a system-call report, and no line is one a peer wrote.
void expect_log_is_ours(const std::string &path)
{
    const std::string text = read_file(path);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7f))
            << "byte " << int(byte) << " at offset " << i << " of the log:\n" << text;
    }
    for (const auto &line : complete_lines(text)) {
        const LogLine parsed = parse_log_line(line);
        EXPECT_TRUE(parsed.prefixed || std::regex_match(line, std::regex("[a-z_]+: [A-Za-z ]+"))) << line;
        EXPECT_FALSE(parsed.prefixed && parsed.message.starts_with("forged")) << line;
    }
}

struct CredentialCase {
    const char *name;
    const char *proxy_password;  // what tinyproxy accepts
};

void PrintTo(const CredentialCase &c, std::ostream *out)
{
    *out << c.name;
}

class Credential : public ::testing::TestWithParam<CredentialCase> {};

// Over a whole session (start, one connection, stop) the configured credential
// goes to the proxy and nowhere else: not in the log, not on the invoking
// process's output, not to the client.
TEST_P(Credential, NeverShown)
{
    const std::string credential = "tw-user:S3cr3t-Pa55";
    EchoServer echo;
    Session session;
    TinyproxyOptions proxy;
    proxy.user = "tw-user";
    proxy.password = GetParam().proxy_password;
    ASSERT_TRUE(session.start(echo.port(), 0, "auth " + credential + "\n", proxy));
    Fd client = session.connect();
    ASSERT_TRUE(client);
    const pid_t pid = session.client_pid(local_port(client.get()));
    const bool accepted = proxy.password == "S3cr3t-Pa55";
    std::string seen_by_client;
    if (accepted) {
        ASSERT_TRUE(send_all(client.get(), "through"));
        seen_by_client = read_n(client.get(), 7);
        EXPECT_EQ(seen_by_client, "through");
        client.reset();
        EXPECT_TRUE(session.ended_cleanly(pid, {tunnel_open, "connection closed by client", totals(7, 7)}));
    } else {
        seen_by_client = read_all(client.get());
        EXPECT_TRUE(session.ended_cleanly(pid, {"proxy refused tunnel: HTTP/1\\.0 401 Unauthorized",
                                                "handle_client\\(\\) can't open proxy connection"}));
    }
    const Server server = session.server;
    ASSERT_TRUE(session.stop());
    ASSERT_TRUE(wait_for_log(session.log(), "SIGINT/SIGTERM, terminating gracefully"));

    const std::string outputs[] = {read_file(session.log()), server.launch.out, server.launch.err, seen_by_client};
    for (const std::string &output : outputs)
        for (const std::string &secret : {credential, std::string("S3cr3t-Pa55"), base64_encode(credential)})
            EXPECT_EQ(output.find(secret), std::string::npos) << "\"" << secret << "\" shows in:\n" << output;
    expect_log_is_ours(session.log());
}

INSTANTIATE_TEST_SUITE_P(Session, Credential,
                         ::testing::Values(CredentialCase{"Accepted", "S3cr3t-Pa55"},
                                           CredentialCase{"Refused", "other-password"}),
                         [](const auto &info) { return std::string(info.param.name); });

struct ForgeryCase {
    const char *name;
    std::string reply;           // the fake proxy's answer
    std::string config;          // lines added to the config ({proxy} is the fake proxy's port)
    std::vector<std::string> client_lines;  // whole-line regexes
    std::vector<std::string> banner_lines;  // literal texts
};

void PrintTo(const ForgeryCase &c, std::ostream *out)
{
    *out << c.name;
}

class Forgery : public ::testing::TestWithParam<ForgeryCase> {};

// Bytes from a peer or a config are shown escaped and can't start a line.
TEST_P(Forgery, CannotAddALineToTheLog)
{
    const ForgeryCase &c = GetParam();
    FakeProxy proxy(proxy_reply(c.reply, AfterReply::echo));
    std::string config = c.config;
    if (const std::size_t at = config.find("{proxy}"); at != std::string::npos)
        config.replace(at, 7, std::to_string(proxy.port()));
    Session session;
    ASSERT_TRUE(session.start(9, proxy.port(), config));
    Fd client = session.connect();
    ASSERT_TRUE(client);
    const pid_t pid = session.client_pid(local_port(client.get()));
    (void)send_all(client.get(), "x");
    (void)read_n(client.get(), 1, 2s);
    client.reset();
    EXPECT_TRUE(session.ended_cleanly(pid, c.client_lines));
    for (const auto &line : c.banner_lines)
        EXPECT_EQ(count_log_lines(session.log(), "*** " + line), 1) << line << "\n" << read_file(session.log());
    expect_log_is_ours(session.log());
}

const std::string forged_status =
    "HTTP/1.0 403 Forbidden\x1b[2J\r2026.01.01 00:00:00 *** forged\r\n2026.01.01 00:00:00 *** forged\r\n\r\n";
// After a white-space byte inet_addr stops reading: the proxy is still 127.0.0.1.
const std::string odd_proxy_host = "127.0.0.1\t\x1b[31m\r2026.01.01 00.00.00 *** forged";
const std::string odd_external_host = "evil\x7f\x1b[2J\r\v2026.01.01 00.00.00 *** forged";

INSTANTIATE_TEST_SUITE_P(
    Log, Forgery,
    ::testing::Values(
        ForgeryCase{"StatusLineWithControlBytes", forged_status, "",
                    {literal("proxy refused tunnel: HTTP/1.0 403 Forbidden\\x1B[2J\\x0D2026.01.01 00:00:00 *** forged"),
                     "handle_client\\(\\) can't open proxy connection"},
                    {}},
        // A literal backslash is escaped too, so it can't pass for an escaped byte.
        ForgeryCase{"StatusLineWithBackslash", "HTTP/1.0 403 \\x0A2026.01.01 00:00:00 *** forged\r\n\r\n", "",
                    {literal("proxy refused tunnel: HTTP/1.0 403 \\x5Cx0A2026.01.01 00:00:00 *** forged"),
                     "handle_client\\(\\) can't open proxy connection"},
                    {}},
        ForgeryCase{"StatusLineWithZeroAndHighBytes", "HTTP/1.1 502 \0\x7f\xff\x01 bad\r\n\r\n"s, "",
                    {literal("proxy refused tunnel: HTTP/1.1 502 \\x00\\x7F\\xFF\\x01 bad"),
                     "handle_client\\(\\) can't open proxy connection"},
                    {}},
        ForgeryCase{"HostNamesWithControlBytes", "HTTP/1.0 200 OK\r\n\r\n",
                    "proxy " + odd_proxy_host + ":{proxy}\nexternal " + odd_external_host + ":443\n",
                    {"connection through proxy " +
                         literal("127.0.0.1\\x09\\x1B[31m\\x0D2026.01.01 00.00.00 *** forged") + ":\\d+ established",
                     "connection closed by client", totals(1, 1)},
                    {"  external evil\\x7F\\x1B[2J\\x0D\\x0B2026.01.01 00.00.00 *** forged:443"}}),
    [](const auto &info) { return std::string(info.param.name); });

// The command line goes into the banner escaped: a config path can't write a
// line of its own.
TEST(Forgery, CommandLineWordInTheBanner)
{
    Sandbox box;
    const uint16_t port = free_port();
    const std::string name = "x\n2026.01.01 00:00:00 *** child 1 exited with status 0\\x0A";
    box.write_config(config_text(port, free_port()), name);
    Server server;
    ASSERT_TRUE(start_server({"-c", name}, box.options(), server));
    EXPECT_EQ(count_log_lines(box.log_path(), std::string("*** STARTED as ") + binary_path() +
                                                  " -c x\\x0A2026.01.01 00:00:00 *** child 1 exited with status 0"
                                                  "\\x5Cx0A"),
              1)
        << read_file(box.log_path());
    EXPECT_EQ(count_log_lines(box.log_path(), "child 1 exited"), 1);
    expect_log_is_ours(box.log_path());
    EXPECT_TRUE(stop_server(server.pid));
}

TEST(Forgery, OddProxyHostIsStillAnAddress)
{
    // The case above must not make anyone look a name up.
    EXPECT_EQ(inet_addr(odd_proxy_host.c_str()), htonl(INADDR_LOOPBACK));
}

struct ModeCase {
    const char *name;
    mode_t umask;
    mode_t existing_dir;  // 0: no run directory yet
    mode_t dir;           // the run directory's mode afterwards
};

void PrintTo(const ModeCase &c, std::ostream *out)
{
    *out << c.name;
}

class FileModes : public ::testing::TestWithParam<ModeCase> {};

// Whatever the invoking umask, the pid and log files are created 0644, and the
// run directory is never made group- or world-writable.
TEST_P(FileModes, PidAndLogAre0644AndRunDirIsNotOpened)
{
    const ModeCase &c = GetParam();
    EchoServer echo;
    Session session;
    if (c.existing_dir != 0) {
        ASSERT_EQ(mkdir(session.box.run_dir().c_str(), 0700), 0);
        ASSERT_EQ(chmod(session.box.run_dir().c_str(), c.existing_dir), 0);
    }
    const mode_t saved = umask(c.umask);
    const auto started = session.start(echo.port());
    umask(saved);
    ASSERT_TRUE(started);
    const auto mode = [](const std::string &path) {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 01;
    };
    EXPECT_EQ(mode(session.box.run_dir()), c.dir);
    EXPECT_EQ(mode(session.box.pid_path()), 0644u);
    EXPECT_EQ(mode(session.box.log_path()), 0644u);
}

INSTANTIATE_TEST_SUITE_P(RunDirectory, FileModes,
                         ::testing::Values(ModeCase{"UmaskZero", 0, 0, 0755}, ModeCase{"Umask077", 077, 0, 0700},
                                           ModeCase{"ExistingPrivateDir", 0, 0700, 0700},
                                           ModeCase{"ExistingGroupReadableDir", 0, 0750, 0750}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
