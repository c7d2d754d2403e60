// Closing inherited descriptors where close_range is refused, as by a kernel
// without it or a seccomp filter: the server must not keep them open.

#include "process/descriptors.h"
#include "support/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

enum ChildResult { closed = 0, no_filter, close_range_allowed, still_open, standard_closed };

// From here on close_range fails with ENOSYS in this process.
bool refuse_close_range()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

ChildResult close_under_filter()
{
    if (!refuse_close_range())
        return no_filter;
    if (syscall(__NR_close_range, 3U, ~0U, 0U) == 0 || errno != ENOSYS)
        return close_range_allowed;
    const int inherited = dup2(STDERR_FILENO, 200);
    if (inherited != 200)
        return still_open;
    close_descriptors_from(STDERR_FILENO + 1);
    if (fcntl(inherited, F_GETFD) != -1 || errno != EBADF)
        return still_open;
    return fcntl(STDERR_FILENO, F_GETFD) == -1 ? standard_closed : closed;
}

TEST(Descriptors, ClosedWhenCloseRangeIsRefused) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(close_under_filter());
    int status = 0;
    if (!support::wait_for_exit(child, 10s, &status)) {
        kill(child, SIGKILL);
        support::wait_for_exit(child, 5s);
        FAIL() << "the child did not end";
    }
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == no_filter)
        GTEST_SKIP() << "no seccomp filter can be installed here";
    EXPECT_NE(WEXITSTATUS(status), close_range_allowed) << "the filter did not refuse close_range";
    EXPECT_NE(WEXITSTATUS(status), still_open) << "a descriptor above 2 stayed open";
    EXPECT_NE(WEXITSTATUS(status), standard_closed) << "standard error was closed";
    EXPECT_EQ(WEXITSTATUS(status), closed);
}

}  // namespace
