#include "support/tinyproxy.h"

#include "support/files.h"
#include "support/net.h"
#include "support/process.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

static constexpr const char *tinyproxy_path = "/usr/bin/tinyproxy";

static std::string tinyproxy_config(uint16_t port, const TinyproxyOptions &options) {
    std::string conf = "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout " +
                       std::to_string(options.timeout_seconds) + "\nAllow 127.0.0.1\nLogLevel " +
                       options.log_level + "\nMaxClients 100\n";
    if (options.user && options.password)
        conf += "BasicAuth " + *options.user + " " + *options.password + "\n";
    for (const auto &line : options.extra_lines)
        conf += line + "\n";
    return conf;
}

::testing::AssertionResult Tinyproxy::launch(const std::string &dir, const TinyproxyOptions &options) {
    port_ = free_port();
    std::string conf_path = dir + "/tinyproxy.conf";
    log_path_ = dir + "/tinyproxy.log";
    if (port_ == 0 || !write_file(conf_path, tinyproxy_config(port_, options)))
        return ::testing::AssertionFailure() << "can't prepare tinyproxy's config in " << dir;

    int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = spawn({tinyproxy_path, "-d", "-c", conf_path}, {"PATH=/usr/bin:/bin"}, dir, log, log);
    close(log);
    if (pid_ < 0) {
        pid_ = 0;
        return ::testing::AssertionFailure() << "fork failed";
    }

    bool exited = false;
    bool up = wait_until(
        [&] {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited = true;
                return true;
            }
            return bool(connect_loopback(port_));
        },
        milliseconds(5000));
    if (exited) {
        pid_ = 0;
        return ::testing::AssertionFailure() << "tinyproxy ended at start-up:\n" << read_file(log_path_);
    }
    if (!up)
        return ::testing::AssertionFailure() << "tinyproxy's port " << port_ << " never accepted:\n"
                                             << read_file(log_path_);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Tinyproxy::start(const std::string &dir, const TinyproxyOptions &options) {
    // The port may be taken between free_port() and tinyproxy's bind: try again.
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < 3; ++attempt) {
        (void)stop();
        result = launch(dir, options);
        if (result)
            break;
    }
    return result;
}

::testing::AssertionResult Tinyproxy::stop() {
    if (pid_ == 0)
        return ::testing::AssertionSuccess();
    pid_t pid = pid_;
    pid_ = 0;
    if (waitpid(pid, nullptr, WNOHANG) != 0)  // already collected (cleanup_descendants) or ended now
        return ::testing::AssertionSuccess();
    kill(pid, SIGTERM);
    if (wait_for_exit(pid, milliseconds(5000)))
        return ::testing::AssertionSuccess();
    kill(pid, SIGKILL);
    wait_for_exit(pid, milliseconds(5000));
    return ::testing::AssertionFailure() << "tinyproxy (pid " << pid << ") ignored SIGTERM for 5 s";
}

}  // namespace support
