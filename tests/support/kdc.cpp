#include "support/kdc.h"

#include "support/files.h"
#include "support/net.h"
#include "support/process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

static constexpr const char *tool_path = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
static constexpr milliseconds tool_timeout{10000};
static constexpr milliseconds start_timeout{5000};

// Fresh for every realm, so that no test can lean on a known password.
static std::string random_password() {
    unsigned char bytes[12] = {};
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!read(fd, bytes, sizeof bytes);
        close(fd);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text = "Pw-";
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// The tools prompt for passwords without echoing them; should one ever
// echo, the text shown in a failure still holds none.
static std::string without(std::string text, const std::string &secret) {
    for (std::size_t at; !secret.empty() && (at = text.find(secret)) != std::string::npos;)
        text.replace(at, secret.size(), "<password>");
    return text;
}

static std::string client_config(uint16_t port) {
    const std::string kdc = "127.0.0.1:" + std::to_string(port);
    return "[libdefaults]\n default_realm = TEST.LAB\n dns_lookup_kdc = false\n dns_lookup_realm = false\n"
           " dns_canonicalize_hostname = false\n rdns = false\n udp_preference_limit = 1\n"
           "[realms]\n TEST.LAB = {\n  kdc = " + kdc + "\n }\n"
           "[domain_realm]\n localhost = TEST.LAB\n";
}

static std::string kdc_profile(const std::string &dir, uint16_t port) {
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    return "[kdcdefaults]\n kdc_listen = " + listen + "\n kdc_tcp_listen = " + listen + "\n"
           "[realms]\n TEST.LAB = {\n  database_name = " + dir + "/principal\n  key_stash_file = " + dir +
           "/stash\n  acl_file = " + dir + "/kadm5.acl\n }\n"
           "[logging]\n kdc = FILE:" + dir + "/kdc.log\n admin_server = FILE:" + dir +
           "/kadmin.log\n default = FILE:" + dir + "/krb5.log\n";
}

static std::vector<char *> pointers(std::vector<std::string> &words) {
    std::vector<char *> result;
    for (auto &word : words)
        result.push_back(word.data());
    result.push_back(nullptr);
    return result;
}

std::vector<std::string> Kdc::env() const {
    return {"KRB5_CONFIG=" + config_path_, "KRB5_KDC_PROFILE=" + profile_path_, "KRB5CCNAME=FILE:" + cache_path_,
            "KRB5_KTNAME=FILE:" + keytab_path_, "KRB5RCACHETYPE=none"};
}

void Kdc::set_env() const {
    for (const std::string &entry : env()) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

// Runs a Kerberos tool with input on its stdin and its output appended to
// tools.log; fails with that output when it ends other than with status 0.
::testing::AssertionResult Kdc::run_tool(const std::vector<std::string> &words, const std::string &input) {
    std::vector<std::string> argv_words = words, env_words = env();
    env_words.push_back(tool_path);
    std::vector<char *> argv = pointers(argv_words), envp = pointers(env_words);
    const std::string output_path = dir_ + "/tools.log";
    const std::size_t output_from = file_size(output_path);
    int ends[2];
    const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (output < 0 || pipe2(ends, O_CLOEXEC) != 0)
        return ::testing::AssertionFailure() << "can't prepare to run " << words[0];
    const pid_t pid = spawn_process(argv[0], argv.data(), envp.data(), dir_.c_str(), ends[0], output, output);
    close(ends[0]);
    close(output);
    (void)!write(ends[1], input.data(), input.size());  // a few lines: the pipe holds them
    close(ends[1]);
    int status = -1;
    if (pid < 0 || !wait_for_exit(pid, tool_timeout, &status)) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            wait_for_exit(pid, tool_timeout);
        }
        return ::testing::AssertionFailure() << words[0] << " did not finish";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << words[0] << " failed (status " << status << "):\n"
                                         << without(read_file(output_path).substr(output_from), password_);
}

::testing::AssertionResult Kdc::create_realm() {
    const std::string master = random_password();
    auto created = run_tool({"/usr/sbin/kdb5_util", "create", "-s", "-r", realm}, master + "\n" + master + "\n");
    if (!created)
        return created;
    const std::string commands = "addprinc " + std::string(user) + "\n" + password_ + "\n" + password_ + "\n" +
                                 "addprinc -randkey " + service + "\n" + "ktadd -k " + keytab_path_ + " " +
                                 service + "\n";
    auto added = run_tool({"/usr/sbin/kadmin.local", "-r", realm}, commands);
    if (!added)
        return added;
    if (chmod(keytab_path_.c_str(), 0644) != 0)
        return ::testing::AssertionFailure() << "no keytab at " << keytab_path_;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Kdc::launch() {
    port_ = free_port();
    if (port_ == 0 || !write_file(config_path_, client_config(port_)) ||
        !write_file(profile_path_, kdc_profile(dir_, port_)) || chmod(config_path_.c_str(), 0644) != 0)
        return ::testing::AssertionFailure() << "can't write the KDC's configuration in " << dir_;
    std::vector<std::string> env_words = env();
    env_words.push_back(tool_path);
    const int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = spawn({"/usr/sbin/krb5kdc", "-n", "-P", dir_ + "/kdc.pid"}, env_words, dir_, log, log);
    close(log);
    if (pid_ < 0) {
        pid_ = 0;
        return ::testing::AssertionFailure() << "fork failed";
    }
    bool exited = false;
    const bool up = wait_until(
        [&] {
            exited = waitpid(pid_, nullptr, WNOHANG) == pid_;
            return exited || bool(connect_loopback(port_));
        },
        start_timeout);
    if (exited)
        pid_ = 0;
    if (exited || !up)
        return ::testing::AssertionFailure() << "krb5kdc did not start on port " << port_ << ":\n"
                                             << read_file(log_path_) << read_file(dir_ + "/kdc.log");
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Kdc::start(const std::string &dir) {
    dir_ = dir;
    config_path_ = dir + "/krb5.conf";
    profile_path_ = dir + "/kdc.conf";
    cache_path_ = dir + "/ccache";
    keytab_path_ = dir + "/http.keytab";
    log_path_ = dir + "/krb5kdc.out";
    password_ = random_password();
    // The database needs the profile's paths only: any port will do here.
    if (!write_file(profile_path_, kdc_profile(dir_, 0)))
        return ::testing::AssertionFailure() << "can't write in " << dir;
    auto created = create_realm();
    if (!created)
        return created;
    // The port may be taken between free_port() and the KDC's bind: try again.
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < 3 && !result; ++attempt) {
        (void)stop();
        result = launch();
    }
    return result;
}

::testing::AssertionResult Kdc::stop() {
    if (pid_ == 0)
        return ::testing::AssertionSuccess();
    const pid_t pid = pid_;
    pid_ = 0;
    if (waitpid(pid, nullptr, WNOHANG) != 0)
        return ::testing::AssertionSuccess();
    kill(pid, SIGTERM);
    if (wait_for_exit(pid, start_timeout))
        return ::testing::AssertionSuccess();
    kill(pid, SIGKILL);
    wait_for_exit(pid, start_timeout);
    return ::testing::AssertionFailure() << "krb5kdc (pid " << pid << ") ignored SIGTERM";
}

::testing::AssertionResult Kdc::kinit() {
    return run_tool({"/usr/bin/kinit", user}, password_ + "\n");
}

void Kdc::kdestroy() {
    unlink(cache_path_.c_str());
}

}  // namespace support
