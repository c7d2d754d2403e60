#include "support/squid.h"

#include "support/files.h"
#include "support/net.h"
#include "support/process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

static constexpr const char *squid_path = "/usr/sbin/squid";
static constexpr const char *helper_dir = "/usr/lib/squid/";
static constexpr const char *openssl_path = "/usr/bin/openssl";
// The user Debian's squid switches to when started as root.
static constexpr const char *squid_user = "proxy";
static constexpr milliseconds start_bound{15000};
static constexpr milliseconds stop_bound{10000};
static constexpr milliseconds helper_bound{5000};

// Whose the files squid reads and writes must be: its own user's when it
// starts as root, else ours (nothing to change).
struct Owner {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

static bool squid_owner(Owner &owner) {
    if (geteuid() != 0)
        return true;
    const passwd *user = getpwnam(squid_user);
    if (user == nullptr)
        return false;
    owner = {true, user->pw_uid, user->pw_gid};
    return true;
}

// Creates (or empties) path with mode and writes the bytes; the owner's when it must be.
static bool write_owned(const std::string &path, std::string_view bytes, mode_t mode, const Owner &owner) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0 && (!owner.change || fchown(fd, owner.uid, owner.gid) == 0);
    while (ok && !bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return close(fd) == 0 && ok;
}

// Unique within this process and across processes: the name keys squid's
// shared memory segments.
static std::string unique_service_name() {
    static std::atomic<unsigned> count{0};
    return "tarnwick" + std::to_string(getpid()) + "x" + std::to_string(++count);
}

// The apr1 hash of each password, one per line in order, from openssl; the
// passwords go through a private file, never on a command line.
static bool apr1_hashes(const std::string &dir, const std::vector<SquidUser> &users,
                        std::vector<std::string> &hashes) {
    const std::string in = dir + "/passwords.tmp", out = dir + "/hashes.tmp";
    std::string passwords;
    for (const auto &user : users)
        passwords += user.password + "\n";
    int out_fd = -1;
    bool ok = write_owned(in, passwords, 0600, {}) && write_owned(out, "", 0600, {}) &&
              (out_fd = open(out.c_str(), O_WRONLY | O_CLOEXEC)) >= 0;
    pid_t pid = ok ? spawn({openssl_path, "passwd", "-apr1", "-in", in}, {"PATH=/usr/bin:/bin"}, dir, out_fd, 2)
                   : -1;
    int status = 0;
    const bool ended = pid > 0 && wait_for_exit(pid, helper_bound, &status);
    if (pid > 0 && !ended) {
        kill(pid, SIGKILL);
        wait_for_exit(pid, helper_bound);
    }
    ok = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (out_fd >= 0)
        close(out_fd);
    std::string text = read_file(out);
    unlink(in.c_str());
    unlink(out.c_str());
    for (std::size_t at = 0, end; ok && (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        hashes.push_back(text.substr(at, end - at));
    return ok && hashes.size() == users.size();
}

static bool uses(const SquidOptions &options, SquidScheme scheme) {
    return std::find(options.schemes.begin(), options.schemes.end(), scheme) != options.schemes.end();
}

// digest.pw (user:password lines) and basic.pw (htpasswd), for the schemes that read them.
static ::testing::AssertionResult write_password_files(const std::string &dir, const SquidOptions &options,
                                                       const Owner &owner) {
    std::string digest, basic;
    for (const auto &user : options.users)
        digest += user.name + ":" + user.password + "\n";
    if (uses(options, SquidScheme::digest) && !write_owned(dir + "/digest.pw", digest, 0600, owner))
        return ::testing::AssertionFailure() << "can't write " << dir << "/digest.pw";
    if (!uses(options, SquidScheme::basic))
        return ::testing::AssertionSuccess();
    std::vector<std::string> hashes;
    if (!apr1_hashes(dir, options.users, hashes))
        return ::testing::AssertionFailure() << "openssl passwd -apr1 failed (" << openssl_path << ")";
    for (std::size_t i = 0; i < hashes.size(); ++i)
        basic += options.users[i].name + ":" + hashes[i] + "\n";
    if (!write_owned(dir + "/basic.pw", basic, 0600, owner))
        return ::testing::AssertionFailure() << "can't write " << dir << "/basic.pw";
    return ::testing::AssertionSuccess();
}

// Copies of the caller's Kerberos files that squid's user can read; empty
// ones when none are given (a Negotiate offer that no ticket can pass).
static ::testing::AssertionResult copy_kerberos_files(const std::string &dir, const SquidOptions &options,
                                                      const Owner &owner) {
    if (!uses(options, SquidScheme::negotiate))
        return ::testing::AssertionSuccess();
    const std::string conf = options.krb5_config.empty() ? "" : read_file(options.krb5_config);
    const std::string keytab = options.keytab.empty() ? "" : read_file(options.keytab);
    if ((!options.krb5_config.empty() && conf.empty()) || (!options.keytab.empty() && keytab.empty()))
        return ::testing::AssertionFailure() << "can't read " << options.krb5_config << " or " << options.keytab;
    if (!write_owned(dir + "/krb5.conf", conf, 0644, owner) || !write_owned(dir + "/http.keytab", keytab, 0600, owner))
        return ::testing::AssertionFailure() << "can't copy the Kerberos files into " << dir;
    return ::testing::AssertionSuccess();
}

static std::string auth_block(SquidScheme scheme, const std::string &dir, const std::string &realm) {
    const std::string helpers = helper_dir;
    switch (scheme) {
    case SquidScheme::ntlm:
        return "auth_param ntlm program " + helpers + "ntlm_fake_auth\nauth_param ntlm keep_alive on\n";
    case SquidScheme::digest:
        return "auth_param digest program " + helpers + "digest_file_auth " + dir + "/digest.pw\n" +
               "auth_param digest realm " + realm + "\n";
    case SquidScheme::basic:
        return "auth_param basic program " + helpers + "basic_ncsa_auth " + dir + "/basic.pw\n" +
               "auth_param basic realm " + realm + "\n";
    case SquidScheme::negotiate:
        return "auth_param negotiate program " + helpers + "negotiate_wrapper_auth --ntlm " + helpers +
               "ntlm_fake_auth --kerberos " + helpers + "negotiate_kerberos_auth -s GSS_C_NO_NAME\n" +
               "auth_param negotiate keep_alive on\n";
    }
    return {};
}

// Everything squid does stays on loopback and in dir: its DNS client too,
// and no disk cache, pinger, cache digest or netdb file.
static std::string base_config(const std::string &dir, uint16_t port, bool as_root) {
    std::string conf = "http_port 127.0.0.1:" + std::to_string(port) + "\npid_filename " + dir +
                       "/squid.pid\ncache_log " + dir + "/cache.log\naccess_log stdio:" + dir +
                       "/access.log\ncoredump_dir " + dir + "\n";
    conf += "cache deny all\ncache_mem 0 MB\nvisible_hostname proxy.test\npinger_enable off\n"
            "shutdown_lifetime 0 seconds\ndigest_generation off\nnetdb_filename none\n"
            "dns_nameservers 127.0.0.1\nudp_incoming_address 127.0.0.1\nudp_outgoing_address 127.0.0.1\n";
    if (as_root)
        conf += std::string("cache_effective_user ") + squid_user + "\n";
    return conf;
}

static std::string squid_config(const std::string &dir, uint16_t port, const SquidOptions &options, bool as_root) {
    std::string conf = base_config(dir, port, as_root);
    conf += "acl CONNECT method CONNECT\nhttp_access deny !CONNECT\n";
    if (options.connect_ports.empty())
        conf += "http_access deny all\n";
    std::string ports;
    for (uint16_t p : options.connect_ports)
        ports += " " + std::to_string(p);
    if (!ports.empty())
        conf += "acl far_ports port" + ports + "\nhttp_access deny !far_ports\n";
    for (SquidScheme scheme : options.schemes)
        conf += auth_block(scheme, dir, options.realm);
    for (const auto &line : options.extra_lines)
        conf += line + "\n";
    if (options.schemes.empty())
        return conf + "http_access allow all\n";
    return conf + "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
}

static std::vector<std::string> squid_environment(const std::string &dir, const SquidOptions &options) {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    if (uses(options, SquidScheme::negotiate)) {
        env.push_back("KRB5_CONFIG=" + dir + "/krb5.conf");
        env.push_back("KRB5_KTNAME=FILE:" + dir + "/http.keytab");
        env.push_back("KRB5RCACHETYPE=none");
    }
    return env;
}

// The files squid reads and writes, owned by the user it will run as; the
// directory searchable by that user (never listable or writable by it).
static ::testing::AssertionResult prepare_files(const std::string &dir, uint16_t port, const SquidOptions &options) {
    Owner owner;
    if (!squid_owner(owner))
        return ::testing::AssertionFailure() << "no user " << squid_user << " for squid to run as";
    struct stat st {};
    if (owner.change && (stat(dir.c_str(), &st) != 0 || chmod(dir.c_str(), (st.st_mode & 07777) | S_IXOTH) != 0))
        return ::testing::AssertionFailure() << "can't open " << dir << " to user " << squid_user;
    if (!write_owned(dir + "/squid.conf", squid_config(dir, port, options, owner.change), 0644, {}) ||
        !write_owned(dir + "/cache.log", "", 0644, owner) || !write_owned(dir + "/access.log", "", 0644, owner))
        return ::testing::AssertionFailure() << "can't prepare squid's files in " << dir;
    ::testing::AssertionResult passwords = write_password_files(dir, options, owner);
    return passwords ? copy_kerberos_files(dir, options, owner) : passwords;
}

::testing::AssertionResult Squid::wait_until_accepting() {
    const std::string ready = "Accepting HTTP Socket connections at ";
    const std::string local = "local=127.0.0.1:" + std::to_string(port_) + " ";
    bool exited = false;
    bool up = wait_until(
        [&] {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                return exited = true;
            const std::string log = read_file(cache_log_);
            const std::size_t at = log.find(ready);
            return at != std::string::npos && log.find(local, at) != std::string::npos;
        },
        start_bound, milliseconds(20));
    if (exited)
        pid_ = 0;
    if (up && !exited)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "squid " << (exited ? "ended at start-up" : "never accepted") << " on port "
                                         << port_ << ":\n"
                                         << read_file(output_) << read_file(cache_log_);
}

::testing::AssertionResult Squid::launch(const std::string &dir, const SquidOptions &options) {
    port_ = free_port();
    name_ = unique_service_name();
    access_log_ = dir + "/access.log";
    cache_log_ = dir + "/cache.log";
    output_ = dir + "/squid.out";
    if (port_ == 0)
        return ::testing::AssertionFailure() << "no free port";
    ::testing::AssertionResult prepared = prepare_files(dir, port_, options);
    if (!prepared)
        return prepared;

    int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = spawn({squid_path, "-N", "-f", dir + "/squid.conf", "-n", name_}, squid_environment(dir, options), dir,
                 out, out);
    if (out >= 0)
        close(out);
    if (pid_ < 0) {
        pid_ = 0;
        return ::testing::AssertionFailure() << "fork failed";
    }
    return wait_until_accepting();
}

::testing::AssertionResult Squid::start(const std::string &dir, const SquidOptions &options) {
    // The port may be taken between free_port() and squid's bind (squid then
    // ends at once): try again.
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < 3; ++attempt) {
        (void)stop();
        result = launch(dir, options);
        if (result)
            break;
    }
    return result;
}

// pid's descendants, however deep (negotiate_wrapper_auth runs helpers of its own).
static std::vector<pid_t> process_tree(pid_t root) {
    std::set<pid_t> tree = {root};
    const std::vector<ProcessInfo> all = descendants();
    for (std::size_t before = 0; before != tree.size();) {
        before = tree.size();
        for (const auto &info : all)
            if (tree.count(info.ppid) != 0)
                tree.insert(info.pid);
    }
    tree.erase(root);
    return {tree.begin(), tree.end()};
}

// Once squid has ended its helpers see their input close and exit; they are
// this subreaper's children by then. Any still there after the bound is killed.
static void end_helpers(const std::vector<pid_t> &helpers) {
    const pid_t self = getpid();
    auto remaining = [&] {
        std::vector<pid_t> left;
        for (const auto &info : descendants())
            if (std::find(helpers.begin(), helpers.end(), info.pid) != helpers.end() &&
                (info.ppid != self || waitpid(info.pid, nullptr, WNOHANG) == 0))
                left.push_back(info.pid);
        return left;
    };
    if (wait_until([&] { return remaining().empty(); }, helper_bound))
        return;
    for (pid_t pid : remaining()) {
        kill(pid, SIGKILL);
        wait_for_exit(pid, helper_bound);
    }
}

// A squid that was killed leaves its shared memory segments behind.
static void remove_shared_memory(const std::string &name) {
    DIR *shm = opendir("/dev/shm");
    if (shm == nullptr)
        return;
    std::vector<std::string> mine;
    while (const dirent *entry = readdir(shm))
        if (std::string_view(entry->d_name).starts_with(name + "-"))
            mine.push_back(std::string("/") + entry->d_name);
    closedir(shm);
    for (const auto &segment : mine)
        shm_unlink(segment.c_str());
}

::testing::AssertionResult Squid::stop() {
    if (pid_ == 0)
        return ::testing::AssertionSuccess();
    pid_t pid = pid_;
    pid_ = 0;
    const std::vector<pid_t> helpers = process_tree(pid);
    if (waitpid(pid, nullptr, WNOHANG) != 0) {  // already collected (cleanup_descendants) or ended now
        end_helpers(helpers);
        remove_shared_memory(name_);
        return ::testing::AssertionSuccess();
    }
    kill(pid, SIGTERM);
    const bool ended = wait_for_exit(pid, stop_bound);
    if (!ended) {
        kill(pid, SIGKILL);
        wait_for_exit(pid, stop_bound);
    }
    end_helpers(helpers);
    remove_shared_memory(name_);
    if (ended)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "squid (pid " << pid << ") ignored SIGTERM for "
                                         << stop_bound.count() / 1000 << " s";
}

}  // namespace support
