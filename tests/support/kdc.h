// A Kerberos realm of our own: Debian's MIT KDC on loopback, every file of it
// under a directory the test gives.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace support {

// The realm TEST.LAB with a user principal (user, with a password of its
// own that no output shows) and the proxy's service principal HTTP/localhost,
// whose key is in keytab_path(). krb5kdc -n serves it on 127.0.0.1:<free port>
// (TCP; the clients are configured never to use UDP), with no DNS lookups
// and no name canonicalization, so "localhost" stays "localhost". Nothing
// outside the directory is read or written: env() names every file the
// Kerberos tools and libraries would otherwise take from /etc. The keytab
// and krb5.conf are readable by all, for a proxy that drops to another user;
// the directory's own mode stays the caller's. stop() (also the destructor)
// ends krb5kdc by pid.
class Kdc {
public:
    static constexpr const char *realm = "TEST.LAB";
    static constexpr const char *user = "alice";
    static constexpr const char *service = "HTTP/localhost";

    Kdc() = default;
    ~Kdc() { (void)stop(); }
    Kdc(const Kdc &) = delete;
    Kdc &operator=(const Kdc &) = delete;

    // Creates the realm's database and principals, starts the KDC and waits
    // until its port accepts connections.
    ::testing::AssertionResult start(const std::string &dir);
    ::testing::AssertionResult stop();

    // Gets the user's ticket into cache_path(): kinit, the password on its stdin.
    ::testing::AssertionResult kinit();
    // Empties the ticket cache (removes its file).
    void kdestroy();

    // KRB5_CONFIG, KRB5_KDC_PROFILE, KRB5CCNAME, KRB5_KTNAME and
    // KRB5RCACHETYPE=none (no replay cache under /var/tmp), as NAME=VALUE.
    std::vector<std::string> env() const;
    // Sets env() in this process, for the GSSAPI library called in the test.
    void set_env() const;

    const std::string &config_path() const { return config_path_; }
    const std::string &cache_path() const { return cache_path_; }
    const std::string &keytab_path() const { return keytab_path_; }
    const std::string &log_path() const { return log_path_; }
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    ::testing::AssertionResult create_realm();
    ::testing::AssertionResult launch();
    ::testing::AssertionResult run_tool(const std::vector<std::string> &words, const std::string &input);

    std::string dir_;
    std::string config_path_, profile_path_, cache_path_, keytab_path_, log_path_;
    std::string password_;
    pid_t pid_ = 0;
    uint16_t port_ = 0;
};

}  // namespace support
