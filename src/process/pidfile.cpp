#include "process/pidfile.h"

#include "process/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Only the start of a pid file is looked at.
constexpr std::size_t pid_file_peek = 128;
constexpr mode_t pid_file_mode = 0666;  // less the umask, as any file created for writing
// A lock that is free by the time its holder is asked for is tried again.
constexpr int lock_attempts = 5;
// Linux's own ceiling, for when the running limit can't be read.
constexpr long long pid_ceiling = 4194304;

long long max_pid()
{
    FILE *limit = fopen("/proc/sys/kernel/pid_max", "r");
    if (limit == nullptr)
        return pid_ceiling;
    long long value = 0;
    if (fscanf(limit, "%lld", &value) != 1 || value <= 0)
        value = pid_ceiling;
    fclose(limit);
    return value;
}

// The start of what the pid file holds.
std::string read_pid_file(int fd)
{
    char bytes[pid_file_peek];
    ssize_t n;
    while ((n = pread(fd, bytes, sizeof bytes, 0)) < 0 && errno == EINTR) {
    }
    return std::string(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// The process id recorded at the start of a pid file's contents, or none when
// it is missing, not positive or out of the system's pid range (a number of
// one of those kinds can only be a stale or foreign file).
std::optional<pid_t> parse_pid(std::string_view contents)
{
    const std::string text(contents.substr(0, pid_file_peek));
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value <= 0 || value > max_pid())
        return std::nullopt;
    return static_cast<pid_t>(value);
}

// A recorded server that is still there, seen through signal 0 so that no
// unrelated process that reuses the id is disturbed. EPERM means a live
// process of another user.
bool server_runs(pid_t pid)
{
    return pid != getpid() && (kill(pid, 0) == 0 || errno != ESRCH);
}

// Opens the pid file for reading and writing; `existed` tells whether it was
// there before. -1, with errno set, when it can't be opened.
int open_pid_file(bool &existed)
{
    existed = true;
    int fd = open(state.pid_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        existed = false;
        fd = open(state.pid_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, pid_file_mode);
    }
    return fd;
}

struct flock whole_file(short type)
{
    struct flock lock {};  // l_start 0 and l_len 0: to the end, however long
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// Takes the write lock that this server holds on its pid file for its whole
// life, so that of several starts at the same moment only one passes the
// check below.
// Returns the pid of the process that holds it, or 0 when this one may go on:
// with the lock, or without one where the file system has no locks (an old
// NFS home), the recorded pid's probe alone decides as before.
pid_t lock_pid_file(int fd)
{
    for (int attempt = 0; attempt < lock_attempts; ++attempt) {
        struct flock lock = whole_file(F_WRLCK);
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return 0;
        if (errno != EACCES && errno != EAGAIN)
            return 0;
        // The holder may have ended since; then the lock is there to take.
        struct flock holder = whole_file(F_WRLCK);
        if (fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK)
            return holder.l_pid;
    }
    return 0;
}

void say_already_runs(const char *invocation_name, pid_t pid)
{
    printf("%s already runs (pid %d)\n", invocation_name, static_cast<int>(pid));
    fflush(stdout);
}

// Probes the process the pid file names. True, after saying so, when it runs.
bool recorded_server_runs(int fd, const char *invocation_name)
{
    const std::optional<pid_t> pid = parse_pid(read_pid_file(fd));
    if (pid && server_runs(*pid)) {
        say_already_runs(invocation_name, *pid);
        return true;
    }
    fputs("overwriting stale pid file\n", stderr);
    return false;
}

// A pid file this process may read but not write (another user's, say):
// a server it names is still recognised; otherwise the failure to open it
// for writing is reported.
PidClaim check_unwritable_pid_file(const char *invocation_name)
{
    const int open_error = errno;
    const int fd = open(state.pid_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const bool runs = recorded_server_runs(fd, invocation_name);
        close(fd);
        if (runs)
            return PidClaim::another_runs;
    }
    errno = open_error;
    perror("fopen");
    return PidClaim::failed;
}

// Records this process's id, replacing whatever the file held.
bool write_pid_file(int fd)
{
    if (ftruncate(fd, 0) != 0 || (state.pid_file = fdopen(fd, "wb")) == nullptr) {
        perror("fopen");
        return false;
    }
    fprintf(state.pid_file, "%i\n", static_cast<int>(getpid()));
    fflush(state.pid_file);
    return true;
}

}  // namespace

PidClaim claim_pid_file(const char *invocation_name)
{
    bool existed = false;
    const int fd = open_pid_file(existed);
    if (fd < 0)
        return check_unwritable_pid_file(invocation_name);
    if (const pid_t holder = lock_pid_file(fd); holder != 0) {
        say_already_runs(invocation_name, holder);
        close(fd);
        return PidClaim::another_runs;
    }
    if (existed && recorded_server_runs(fd, invocation_name)) {
        close(fd);
        return PidClaim::another_runs;
    }
    if (!write_pid_file(fd)) {
        close(fd);
        return PidClaim::failed;
    }
    return PidClaim::claimed;
}
