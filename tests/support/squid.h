// A real proxy that asks for logins: Debian's squid, in the foreground on loopback.
#pragma once

#include <gtest/gtest.h>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace support {

// One auth_param block, with the helper Debian ships for it.
enum class SquidScheme {
    ntlm,       // ntlm_fake_auth: any user and password pass
    digest,     // digest_file_auth over SquidOptions::users
    basic,      // basic_ncsa_auth over an htpasswd file made from SquidOptions::users
    negotiate,  // negotiate_wrapper_auth: Kerberos (the keytab) or NTLM (the fake helper)
};

struct SquidUser {
    std::string name;
    std::string password;
};

// Every member has a default, so designated initializers may name any few.
struct SquidOptions {
    // The auth_param blocks in this order, which is the order squid's 407
    // lists its Proxy-Authenticate lines in. None: no login is asked for.
    std::vector<SquidScheme> schemes = {};
    // CONNECT is allowed to these far-end ports only; every other request is denied.
    std::vector<uint16_t> connect_ports = {};
    std::vector<SquidUser> users = {};  // digest and basic
    std::string realm = "proxyrealm";
    // negotiate: squid's KRB5_CONFIG and KRB5_KTNAME (the keytab with the
    // HTTP/<host> key); both are copied into the directory, so squid's user
    // can read them when it runs as root.
    std::string krb5_config = {};
    std::string keytab = {};
    // Appended verbatim after the auth_param blocks, before the access rules.
    std::vector<std::string> extra_lines = {};
};

// squid -N -f <dir>/squid.conf -n <a name of its own> on 127.0.0.1:<free port>,
// with its pid file, cache.log, access.log and password files in dir (one
// squid per directory); its own output goes to <dir>/squid.out. The service
// name keeps its shared memory apart from every other squid's, so any number
// can run at once. Started as root, squid runs as the user `proxy`: the files
// made here are then that user's, and dir gains search permission for others.
// stop() (also run by the destructor) ends it by pid, then its helpers.
class Squid {
public:
    Squid() = default;
    ~Squid() { (void)stop(); }
    Squid(const Squid &) = delete;
    Squid &operator=(const Squid &) = delete;

    // Starts it and waits until it says it accepts on its port. The port is
    // not probed: a probe would be a line in access.log.
    ::testing::AssertionResult start(const std::string &dir, const SquidOptions &options = {});
    // SIGTERM; SIGKILL when it outlives a bound (a failure then). Then waits
    // for the helpers it left.
    ::testing::AssertionResult stop();

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &service_name() const { return name_; }
    const std::string &access_log_path() const { return access_log_; }
    const std::string &cache_log_path() const { return cache_log_; }
    const std::string &output_path() const { return output_; }

private:
    ::testing::AssertionResult launch(const std::string &dir, const SquidOptions &options);
    ::testing::AssertionResult wait_until_accepting();

    pid_t pid_ = 0;
    uint16_t port_ = 0;
    std::string name_;
    std::string access_log_;
    std::string cache_log_;
    std::string output_;
};

}  // namespace support
