// Kerberos single sign-on end to end: a KDC of our own on loopback, squid
// asking for Negotiate (its wrapper takes Kerberos, and NTLM through the fake
// helper) or Basic, and the user's ticket in a cache the server is pointed at.

#include "tunnel/e2e.h"

namespace {

using namespace e2e;
using support::SquidScheme;

struct KerberosLab {
    support::Sandbox box;
    support::TempDir kdc_dir, squid_dir;
    support::Kdc kdc;
    support::EchoServer echo;
    support::Squid squid;
    std::unique_ptr<support::Tap> tap;
    support::Server server;
    uint16_t port = support::free_port();

    ::testing::AssertionResult start() {
        if (auto started = kdc.start(kdc_dir.path()); !started)
            return started;
        if (auto ticket = kdc.kinit(); !ticket)
            return ticket;
        support::SquidOptions options{.schemes = {SquidScheme::negotiate, SquidScheme::basic},
                                      .connect_ports = {echo.port()},
                                      .users = {{"bob", "bobpw"}},
                                      .krb5_config = kdc.config_path(),
                                      .keytab = kdc.keytab_path()};
        if (auto started = squid.start(squid_dir.path(), options); !started)
            return started;
        tap = std::make_unique<support::Tap>(squid.port());
        return ::testing::AssertionSuccess();
    }
    // The server runs with the Kerberos files of the realm, as a user's login would have them.
    ::testing::AssertionResult start_server(const std::string &lines) {
        box.write_config("listen 127.0.0.1:" + std::to_string(port) + "\nproxy localhost:" +
                         std::to_string(tap->port()) + "\nexternal 127.0.0.1:" + std::to_string(echo.port()) + "\n" +
                         lines);
        support::RunOptions options = box.options();
        options.env = kdc.env();
        return support::start_server({}, options, server);
    }
    std::string log() const { return support::read_file(box.log_path()); }
    bool has_kerberos() const { return log().find("***   kerberos none") == std::string::npos; }
};

struct Case {
    const char *name;
    std::string lines;      // auth and auth-scheme
    std::size_t requests;   // CONNECT requests in all
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Negotiate : public ::testing::TestWithParam<Case> {};

// With a ticket and no password anywhere: under `any` the plain request,
// then the token; pinned, the token on the only request.
TEST_P(Negotiate, TicketWithoutPassword) {
    KerberosLab lab;
    ASSERT_TRUE(lab.start());
    ASSERT_TRUE(lab.start_server(GetParam().lines)) << lab.log();
    if (!lab.has_kerberos())
        GTEST_SKIP() << "this build has no Kerberos: " << lab.log();
    Fd client = support::connect_loopback(lab.port);
    bound_io(client.get());
    EXPECT_TRUE(echoes(client)) << lab.log();
    std::size_t requests = 0;
    for (std::size_t i = 0; i < lab.tap->connections(); ++i) {
        requests += requests_in(lab.tap->sent(i));
        EXPECT_EQ(lab.tap->sent(i).find("Basic "), std::string::npos);
    }
    EXPECT_EQ(requests, GetParam().requests) << lab.log();
    EXPECT_NE(lab.tap->sent(lab.tap->connections() - 1).find("Proxy-Authorization: Negotiate YI"), std::string::npos)
        << "an SPNEGO token starts with 0x60";
    EXPECT_EQ(support::count_log_lines(lab.box.log_path(), "no Kerberos token"), 0u) << lab.log();
}

INSTANTIATE_TEST_SUITE_P(Table, Negotiate,
                         ::testing::Values(Case{"Any", "", 2}, Case{"Pinned", "auth-scheme negotiate\n", 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// Without a ticket: the library's reason in the log, and NTLM inside
// Negotiate when there is a password to make it from.
TEST(Negotiate, EmptyCacheGivesTheReasonThenNtlm) {
    KerberosLab lab;
    ASSERT_TRUE(lab.start());
    lab.kdc.kdestroy();
    const std::vector<std::pair<std::string, bool>> configs = {{"auth-scheme negotiate\n", false},
                                                               {"auth CORP\\alice:secret\n", true}};
    for (const auto &[lines, works] : configs) {
        SCOPED_TRACE(lines);
        const std::size_t from = support::file_size(lab.box.log_path());
        ASSERT_TRUE(lab.start_server(lines)) << lab.log();
        if (!lab.has_kerberos())
            GTEST_SKIP() << "this build has no Kerberos: " << lab.log();
        Fd client = support::connect_loopback(lab.port);
        bound_io(client.get());
        const std::string line = "ntlm, then\n";
        ASSERT_TRUE(support::send_all(client.get(), line));
        EXPECT_EQ(support::read_n(client.get(), line.size()), works ? line : "") << lab.log();
        EXPECT_TRUE(support::wait_for_log_regex(lab.box.log_path(),
                                                "no Kerberos token for HTTP@localhost: .*No Kerberos credentials",
                                                1, 5000ms, from));
        EXPECT_TRUE(support::wait_for_log(lab.box.log_path(),
                                          works ? "established" : "no login to send: no Kerberos token, and no auth line for NTLM",
                                          1, 5000ms, from));
        client.reset();
        ASSERT_TRUE(support::stop_server(lab.server.pid));
    }
}

}  // namespace
