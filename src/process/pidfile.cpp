#include "process/pidfile.h"

#include "process/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// Only the start of a pid file is looked at.
constexpr std::size_t pid_file_peek = 128;
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

std::string read_pid_file(FILE *file)
{
    char bytes[pid_file_peek];
    const std::size_t n = fread(bytes, 1, sizeof bytes, file);
    return std::string(bytes, n);
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

}  // namespace

bool claim_pid_file(const char *invocation_name)
{
    if (FILE *old = fopen(state.pid_path.c_str(), "rb")) {
        const std::string contents = read_pid_file(old);
        fclose(old);
        const std::optional<pid_t> pid = parse_pid(contents);
        if (pid && server_runs(*pid)) {
            printf("%s already runs (pid %d)\n", invocation_name, static_cast<int>(*pid));
            fflush(stdout);
            return false;
        }
        fputs("overwriting stale pid file\n", stderr);
    }
    state.pid_file = fopen(state.pid_path.c_str(), "wb");
    if (state.pid_file == nullptr) {
        perror("fopen");
        return false;
    }
    fprintf(state.pid_file, "%i\n", static_cast<int>(getpid()));
    fflush(state.pid_file);
    return true;
}
