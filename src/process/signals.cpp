#include "process/signals.h"

#include "log/log.h"
#include "process/descriptors.h"
#include "process/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Above every signal number of the systems we know (Linux has 64, the BSDs
// and macOS fewer).
constexpr int highest_signal_number = 128;

// The handler writes one byte here so that the server's wait returns at once.
int wake_pipe[2] = {-1, -1};

void handle_signal(int signal_number)
{
    const int saved_errno = errno;
    if (signal_number == SIGINT || signal_number == SIGTERM)
        terminate_requested = 1;
    if ((signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGCHLD) &&
        wake_pipe[1] >= 0) {
        const char byte = 0;
        // A full pipe already holds a wake-up; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
    }
    errno = saved_errno;
}

// Both ends non-blocking: the handler must never stall on a full pipe, nor
// the drain on an empty one. errno is kept for the caller's report.
bool open_wakeup_pipe()
{
#if TARNWICK_HAVE_PIPE2
    return pipe2(wake_pipe, O_NONBLOCK) == 0;
#else
    if (pipe(wake_pipe) != 0)
        return false;
    for (const int end : wake_pipe) {
        if (!set_nonblocking(end)) {
            const int saved_errno = errno;
            close(wake_pipe[0]);
            close(wake_pipe[1]);
            errno = saved_errno;
            return false;
        }
    }
    return true;
#endif
}

void drain_wakeup_pipe()
{
    char bytes[64];
    if (wake_pipe[0] >= 0)
        while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
        }
}

void log_child_end(pid_t child, int status)
{
    if (WIFEXITED(status))
        log_msg("child %i exited with status %i", static_cast<int>(child), WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        log_msg("child %i exited due to signal %i", static_cast<int>(child), WTERMSIG(status));
    else
        log_msg("child %i stopped", static_cast<int>(child));
}

// Whatever the parent left behind: a blocked SIGCHLD would leave every
// child a zombie, a blocked or ignored SIGTERM would make the server
// unstoppable. The caught signals get their handler right after this.
void reset_inherited_signal_state()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    // Numbers that name no signal, and SIGKILL and SIGSTOP, are refused; that
    // refusal is all that is lost.
    for (int signal_number = 1; signal_number < highest_signal_number; ++signal_number)
        sigaction(signal_number, &default_action, nullptr);
}

}  // namespace

void install_signal_handlers()
{
    reset_inherited_signal_state();
    if (!open_wakeup_pipe()) {
        perror("pipe");
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGQUIT, SIGPIPE, SIGALRM})
        sigaction(signal_number, &action, nullptr);
}

int wakeup_fd()
{
    return wake_pipe[0];
}

int reap_children()
{
    drain_wakeup_pipe();
    int status = 0;
    int reaped = 0;
    for (pid_t child; (child = waitpid(-1, &status, WNOHANG)) > 0; ++reaped)
        log_child_end(child, status);
    return reaped;
}

void close_wakeup_pipe()
{
    // Forget each end before closing it, so that the handler never writes
    // to a descriptor number that has been reused.
    for (int &end : wake_pipe) {
        const int fd = end;
        end = -1;
        if (fd >= 0)
            close(fd);
    }
}
