#include "process/daemon.h"

#include "process/state.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t server_umask = 022;

// Forks; the parent ends at once. Returns false in a process that could not fork.
bool fork_and_leave_parent()
{
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return false;
    }
    if (child > 0)
        _exit(0);
    return true;
}

// Moves on into a grandchild in a session of its own; the invoking process and
// the session's leader end with status 0. Returns false in a process that met
// a failure.
bool leave_session()
{
    if (!fork_and_leave_parent())
        return false;
    if (setsid() < 0) {
        perror("setsid");
        return false;
    }
    // The session leader forks again so that the server can never acquire a
    // controlling terminal.
    return fork_and_leave_parent();
}

}  // namespace

bool detach(bool foreground)
{
    if (!foreground && !leave_session())
        return false;
    state.daemon_pid = getpid();
    if (chdir("/") != 0) {
        perror("chdir");
        return false;
    }
    umask(server_umask);
    return true;
}

bool redirect_to_log()
{
    state.log_file = fopen(state.log_path.c_str(), "ab");
    if (state.log_file == nullptr) {
        perror("fopen");
        return false;
    }
    const int log_fd = fileno(state.log_file);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != STDIN_FILENO) {
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
    }
    dup2(log_fd, STDOUT_FILENO);
    dup2(log_fd, STDERR_FILENO);
    return true;
}
