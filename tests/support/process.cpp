#include "support/process.h"

#include "support/files.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TARNWICK_BINARY
#error "TARNWICK_BINARY must name the built binary"
#endif

namespace support {

using Clock = std::chrono::steady_clock;

// TARNWICK_BINARY in the environment runs the suite against another build of
// the same sources: a cross-compiled or statically linked one.
const char *binary_path() {
    static const char *const path = [] {
        const char *chosen = std::getenv("TARNWICK_BINARY");
        return chosen != nullptr && *chosen != '\0' ? chosen : TARNWICK_BINARY;
    }();
    return path;
}

std::string RunResult::describe() const {
    std::string text;
    if (timed_out)
        text += "timed out; ";
    if (exited)
        text += "exit status " + std::to_string(exit_status);
    else if (term_signal != 0)
        text += "ended by signal " + std::to_string(term_signal);
    else
        text += "not collected";
    return text + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

pid_t spawn_process(const char *path, char *const argv[], char *const envp[], const char *cwd,
                    int stdin_fd, int stdout_fd, int stderr_fd) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Only async-signal-safe calls from here on: the test process may have threads.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &dfl, nullptr);
    if (dup2(stdin_fd, 0) < 0 || dup2(stdout_fd, 1) < 0 || dup2(stderr_fd, 2) < 0)
        _exit(127);
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (int fd = 3; fd < 4096; ++fd)
            close(fd);
    if (chdir(cwd) != 0) {
        const char msg[] = "spawn_process: chdir failed\n";
        (void)!write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    execve(path, argv, envp);
    const char msg[] = "spawn_process: execve failed\n";
    (void)!write(2, msg, sizeof msg - 1);
    _exit(127);
}

static std::vector<std::string> child_environment(const RunOptions &options) {
    std::vector<std::string> env;
    if (options.home)
        env.push_back("HOME=" + *options.home);
    env.push_back("PATH=/usr/bin:/bin");
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

static std::vector<char *> pointers(std::vector<std::string> &words) {
    std::vector<char *> result;
    for (auto &w : words)
        result.push_back(w.data());
    result.push_back(nullptr);
    return result;
}

pid_t spawn(std::vector<std::string> words, std::vector<std::string> env, const std::string &cwd, int out,
            int err, const char *path, int in) {
    become_subreaper();  // a detached process becomes our child
    std::vector<char *> argv = pointers(words), envp = pointers(env);
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = spawn_process(path ? path : argv[0], argv.data(), envp.data(), cwd.c_str(), in < 0 ? devnull : in,
                              out, err);
    close(devnull);
    return pid;
}

// Reads what is available; false once the writer side is closed.
static bool drain(int fd, std::string &into) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0)
            return false;
        else
            return errno == EAGAIN || errno == EINTR;
    }
}

static void record_status(RunResult &result, int status) {
    result.exited = WIFEXITED(status);
    result.exit_status = result.exited ? WEXITSTATUS(status) : -1;
    result.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

RunResult run_binary(const std::vector<std::string> &args, const RunOptions &options) {
    RunResult result;
    std::vector<std::string> words = options.wrapper;
    words.push_back(options.wrapper.empty() ? options.argv0.value_or(binary_path()) : binary_path());
    words.insert(words.end(), args.begin(), args.end());
    const char *path = options.wrapper.empty() ? binary_path() : nullptr;

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        result.err = "pipe2 failed";
        return result;
    }
    pid_t pid = spawn(words, child_environment(options), options.cwd, out[1], err[1], path);
    close(out[1]);
    close(err[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);

    bool out_open = true, err_open = true, collected = pid < 0;
    auto deadline = Clock::now() + options.timeout;
    while ((out_open || err_open || !collected) && Clock::now() < deadline) {
        pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
        poll(fds, 2, 10);
        if (out_open)
            out_open = drain(out[0], result.out);
        if (err_open)
            err_open = drain(err[0], result.err);
        int status;
        if (!collected && waitpid(pid, &status, WNOHANG) == pid) {
            collected = true;
            record_status(result, status);
        }
    }
    if (!collected) {
        kill(pid, SIGKILL);
        int status;
        if (waitpid(pid, &status, 0) == pid)
            record_status(result, status);
    }
    result.timed_out = out_open || err_open || !collected;
    close(out[0]);
    close(err[0]);
    return result;
}

static std::map<pid_t, ProcessInfo> all_processes() {
    std::map<pid_t, ProcessInfo> table;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return table;
    while (dirent *entry = readdir(dir)) {
        char *end;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        char path[64], line[512];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE *f = std::fopen(path, "r");
        if (f == nullptr)
            continue;
        std::size_t n = std::fread(line, 1, sizeof line - 1, f);
        std::fclose(f);
        line[n] = '\0';
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        char *open = std::strchr(line, '('), *close = std::strrchr(line, ')');
        if (open == nullptr || close == nullptr || close[1] == '\0')
            continue;
        ProcessInfo info;
        info.pid = static_cast<pid_t>(pid);
        info.name.assign(open + 1, close);
        int ppid = 0;
        if (std::sscanf(close + 2, "%c %d", &info.state, &ppid) != 2)
            continue;
        info.ppid = ppid;
        table[info.pid] = info;
    }
    closedir(dir);
    return table;
}

std::vector<ProcessInfo> descendants() {
    std::map<pid_t, ProcessInfo> table = all_processes();
    pid_t self = getpid();
    std::vector<ProcessInfo> result;
    for (const auto &[pid, info] : table) {
        pid_t p = info.ppid;
        for (int depth = 0; p > 1 && p != self && depth < 64; ++depth) {
            auto it = table.find(p);
            p = it == table.end() ? 0 : it->second.ppid;
        }
        if (p == self && pid != self)
            result.push_back(info);
    }
    return result;
}

std::vector<ProcessInfo> children_of(pid_t parent) {
    std::vector<ProcessInfo> children;
    for (const auto &info : descendants())
        if (info.ppid == parent)
            children.push_back(info);
    return children;
}

std::vector<pid_t> live_descendants() {
    std::vector<pid_t> live;
    for (const auto &info : descendants())
        if (info.state != 'Z')
            live.push_back(info.pid);
    return live;
}

bool wait_for_exit(pid_t pid, milliseconds timeout, int *status) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int st;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status != nullptr)
                *status = st;
            return true;
        }
        if (r < 0 && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

void reap_zombie_children(pid_t keep) {
    pid_t self = getpid();
    for (const auto &info : descendants())
        if (info.ppid == self && info.state == 'Z' && info.pid != keep)
            waitpid(info.pid, nullptr, WNOHANG);
}

std::vector<pid_t> cleanup_descendants(milliseconds timeout) {
    std::vector<pid_t> killed;
    pid_t self = getpid();
    auto deadline = Clock::now() + timeout;
    for (;;) {
        std::vector<ProcessInfo> left = descendants();
        if (left.empty() || Clock::now() >= deadline)
            break;
        for (const auto &info : left) {
            if (info.state != 'Z' && std::find(killed.begin(), killed.end(), info.pid) == killed.end()) {
                kill(info.pid, SIGKILL);
                killed.push_back(info.pid);
            }
            if (info.ppid == self)
                waitpid(info.pid, nullptr, WNOHANG);
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return killed;
}

long cpu_ms(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(name_end + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)  // state .. cmajflt
        fields >> skip;
    long user = 0, system = 0;
    fields >> user >> system;
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

std::map<int, std::string> descriptor_targets(pid_t pid) {
    std::map<int, std::string> targets;
    const std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(dir_path.c_str());
    if (dir == nullptr)
        return targets;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        const ssize_t n = readlink((dir_path + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n > 0)
            targets[std::atoi(entry->d_name)] = std::string(target, static_cast<std::size_t>(n));
    }
    closedir(dir);
    return targets;
}

long descriptor_flags(pid_t pid, int fd) {
    const std::string info = read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    const std::size_t flags = info.find("flags:");
    return flags == std::string::npos ? -1 : std::strtol(info.c_str() + flags + 6, nullptr, 8);
}

namespace {

struct TcpEntry {
    std::string local, remote;
    bool listening = false;
};

// "0100007F:1F90": the address as the kernel's 32-bit word, then the port.
std::string address_text(const std::string &hex) {
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(std::stoul(hex.substr(0, 8), nullptr, 16));
    return std::string(inet_ntoa(address)) + ":" + std::to_string(std::stoul(hex.substr(9), nullptr, 16));
}

// Socket inode -> addresses, from the network namespace of the process.
std::map<std::string, TcpEntry> tcp_sockets(pid_t pid) {
    std::map<std::string, TcpEntry> sockets;
    std::istringstream table(read_file("/proc/" + std::to_string(pid) + "/net/tcp"));
    std::string line;
    std::getline(table, line);  // column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)
            sockets[inode] = {address_text(local), address_text(remote), state == "0A"};
    }
    return sockets;
}

}  // namespace

std::vector<std::string> open_descriptors(pid_t pid) {
    const auto tcp = tcp_sockets(pid);
    std::vector<std::string> descriptions;
    for (const auto &[fd, target] : descriptor_targets(pid)) {
        std::string text = target;
        if (target.starts_with("socket:[")) {
            if (const auto found = tcp.find(target.substr(8, target.size() - 9)); found != tcp.end())
                text = found->second.listening ? "listen " + found->second.local : "tcp to " + found->second.remote;
        } else if (target.starts_with("pipe:[")) {
            text = (descriptor_flags(pid, fd) & O_ACCMODE) == O_WRONLY ? "pipe write" : "pipe read";
        }
        descriptions.push_back(text);
    }
    std::sort(descriptions.begin(), descriptions.end());
    return descriptions;
}

}  // namespace support
