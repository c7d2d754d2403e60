// Running the built binary and keeping track of the processes it leaves.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace support {

using std::chrono::milliseconds;

// Path of the tarnwick binary under test: $TARNWICK_BINARY when set, else
// the one built alongside the tests.
const char *binary_path();

struct RunOptions {
    std::string cwd = "/";                 // working directory of the child
    std::optional<std::string> home;       // HOME; none leaves HOME unset
    std::vector<std::string> env;          // extra NAME=VALUE entries
    std::optional<std::string> argv0;      // argv[0]; default binary_path()
    // A command that runs the binary (setpriv ... --, say): run first, with
    // the binary's path and the args after its words. argv0 is then unused.
    std::vector<std::string> wrapper;
    milliseconds timeout{10000};           // bound for exit and for the output to close
};

struct RunResult {
    bool exited = false;     // ended normally (exit_status is valid)
    int exit_status = -1;
    int term_signal = 0;     // the signal that ended it, if one did
    bool timed_out = false;  // the bound passed before the child ended and its output closed
    std::string out;         // everything written to standard output
    std::string err;         // everything written to standard error
    std::string describe() const;  // for failure messages
};

// Runs the binary with args (argv[0] excluded) in options.cwd, stdin on
// /dev/null, an environment of HOME, PATH=/usr/bin:/bin, the sanitizers'
// *SAN_OPTIONS if set, and options.env. Captures stdout and stderr until every
// writer has closed them, so the output of a detached process before it points
// its streams at the log is included. On timeout the direct child is killed
// (by pid); detached descendants are left for cleanup_descendants().
RunResult run_binary(const std::vector<std::string> &args, const RunOptions &options);

// Makes this process a child subreaper, so detached descendants re-parent to
// it and can be waited for. Idempotent; run_binary calls it.
void become_subreaper();

struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    char state = '?';  // from /proc/<pid>/stat; 'Z' is a zombie
    std::string name;
};

// Every process whose chain of parents leads to this process (from /proc),
// zombies included.
std::vector<ProcessInfo> descendants();

// The direct children of parent among the descendants, zombies included.
std::vector<ProcessInfo> children_of(pid_t parent);

// The descendants that are not zombies.
std::vector<pid_t> live_descendants();

// Waits (polling waitpid) until the child pid ends; true and its wait status
// when it did within the bound. False also when pid is not a child of ours.
bool wait_for_exit(pid_t pid, milliseconds timeout, int *status = nullptr);

// Reaps every finished child except keep.
void reap_zombie_children(pid_t keep = 0);

// SIGKILLs every live descendant by pid and reaps them all, repeating until
// none is left or the bound passes. Returns the pids it found alive.
std::vector<pid_t> cleanup_descendants(milliseconds timeout = milliseconds(5000));

// User plus system CPU time process pid has used, in milliseconds; -1 when
// there is no such process.
long cpu_ms(pid_t pid);

// fd -> what /proc/<pid>/fd/<fd> links to ("socket:[inode]", "pipe:[inode]", a path).
std::map<int, std::string> descriptor_targets(pid_t pid);

// The file status flags of the process's descriptor fd (from fdinfo); -1 when unreadable.
long descriptor_flags(pid_t pid, int fd);

// One text per open descriptor of the process, sorted: "/dev/null" or a
// file's path, "listen A:P" for a listening socket, "tcp to A:P" for a
// connected one (named by its peer), "pipe read" or "pipe write", and
// "socket:[inode]" for a socket not in the process's /proc/net/tcp.
std::vector<std::string> open_descriptors(pid_t pid);

// Sleeps in steps until pred() holds or the bound passes; returns pred().
template <class Pred>
bool wait_until(Pred pred, milliseconds timeout, milliseconds step = milliseconds(10));

}  // namespace support

#include <thread>

template <class Pred>
bool support::wait_until(Pred pred, milliseconds timeout, milliseconds step) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(step);
    }
    return true;
}

namespace support {

// Runs words[0] (or path when given) with argv words and exactly the
// environment env, in cwd, stdin on in (/dev/null when -1), stdout and stderr
// on out and err; makes this process a subreaper first. The pid, or -1 when
// fork failed.
pid_t spawn(std::vector<std::string> words, std::vector<std::string> env, const std::string &cwd, int out,
            int err, const char *path = nullptr, int in = -1);

// Forks and execs path with argv and envp (both null-terminated, built before
// the call) in cwd, with the given descriptors as 0, 1 and 2; every other
// descriptor is closed and every signal disposition reset to its default.
// Returns the child's pid, or -1 when fork fails.
pid_t spawn_process(const char *path, char *const argv[], char *const envp[], const char *cwd,
                    int stdin_fd, int stdout_fd, int stderr_fd);

}  // namespace support
