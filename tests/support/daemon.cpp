#include "support/daemon.h"

#include "support/log_reader.h"

#include <algorithm>
#include <cerrno>
#include <regex>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <sys/wait.h>

namespace support {

bool is_kerberos_banner_line(const std::string &message) {
    static const std::regex line("  kerberos ([^ ()]+|none \\(.+\\))");
    return std::regex_match(message, line);
}

RunOptions Sandbox::options() const {
    RunOptions options;
    options.cwd = work.path();
    options.home = home.path();
    return options;
}

std::string Sandbox::write_config(std::string_view bytes, std::string_view name) const {
    std::string path = work.file(name);
    if (!write_file(path, bytes))
        ADD_FAILURE() << "can't write " << path;
    return path;
}

std::string config_text(int listen_port, int proxy_port, std::string_view external,
                        std::optional<std::string_view> auth) {
    std::string text = "listen 127.0.0.1:" + std::to_string(listen_port) + "\nproxy 127.0.0.1:" +
                       std::to_string(proxy_port) + "\nexternal " + std::string(external) + "\n";
    if (auth)
        text += "auth " + std::string(*auth) + "\n";
    return text;
}

// Still running (neither gone nor a zombie waiting to be reaped).
static bool running(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

static pid_t recorded_pid(const std::string &pid_path) {
    std::string text = read_file(pid_path);
    if (text.empty() || text.back() != '\n')
        return 0;  // not (completely) written yet
    return static_cast<pid_t>(std::atol(text.c_str()));
}

::testing::AssertionResult start_server(const std::vector<std::string> &args, const RunOptions &options,
                                        Server &server, milliseconds timeout) {
    if (!options.home)
        return ::testing::AssertionFailure() << "start_server needs options.home";
    std::string pid_path = *options.home + "/.tarnwick/tarnwick.pid";
    std::string log_path = *options.home + "/.tarnwick/tarnwick.log";
    std::size_t log_start = file_size(log_path);
    pid_t old_pid = recorded_pid(pid_path);

    server = Server{};
    server.launch = run_binary(args, options);
    if (!server.launch.exited || server.launch.exit_status != 0)
        return ::testing::AssertionFailure() << "the invoking process failed: " << server.launch.describe();

    // The server is ours once the intermediate process has ended and it was
    // re-parented to this (subreaper) process: then waitpid(pid, WNOHANG) is 0.
    pid_t pid = 0;
    int status = 0;
    bool ended = false;
    bool found = wait_until(
        [&] {
            pid = recorded_pid(pid_path);
            if (pid <= 0 || pid == old_pid)
                return false;
            pid_t r = waitpid(pid, &status, WNOHANG);
            ended = r == pid;
            return r == 0 || ended;
        },
        timeout);
    if (!found)
        return ::testing::AssertionFailure() << "no live server recorded in " << pid_path << " (it holds \""
                                             << read_file(pid_path) << "\"); log:\n" << read_file(log_path);
    if (ended)
        return ::testing::AssertionFailure() << "server " << pid << " ended at start-up (wait status " << status
                                             << "); log:\n" << read_file(log_path);
    reap_zombie_children(pid);
    server.pid = pid;
    auto banner = wait_for_log(log_path, "  external ", 1, timeout, log_start);
    if (!banner)
        return banner;
    // The listener is opened right after the banner; a server that cannot open
    // it ends, which the caller may be testing for.
    const auto listening = [](const std::string &d) { return d.starts_with("listen "); };
    wait_until([&] { return std::ranges::any_of(open_descriptors(pid), listening) || !running(pid); }, timeout);
    return banner;
}

::testing::AssertionResult stop_server(pid_t pid, milliseconds timeout) {
    if (pid <= 0)
        return ::testing::AssertionFailure() << "no server pid";
    if (kill(pid, SIGTERM) != 0)
        return ::testing::AssertionFailure() << "kill(" << pid << ", SIGTERM): " << std::strerror(errno);
    int status = 0;
    if (!wait_for_exit(pid, timeout, &status)) {
        kill(pid, SIGKILL);
        wait_for_exit(pid, milliseconds(5000));
        return ::testing::AssertionFailure() << "server " << pid << " didn't end within " << timeout.count()
                                             << " ms of SIGTERM (or isn't a child of the test)";
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return ::testing::AssertionFailure() << "server " << pid << " ended with wait status " << status;
    return ::testing::AssertionSuccess();
}

}  // namespace support
