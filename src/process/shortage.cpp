#include "process/shortage.h"

#include "log/log.h"

#include <cerrno>
#include <cstdio>

namespace {

// A shortage is mostly over within a second: a build's burst of processes,
// a few tunnels ending. Retrying sooner would only spin.
constexpr time_t pause_seconds = 1;
// However long a shortage lasts, each failing call writes at most one line in
// this time.
constexpr time_t report_interval_seconds = 1;

struct AcceptPause {
    bool active = false;
    bool ends_with_child = false;
    timespec until{};
};

AcceptPause accept_pause;

timespec monotonic_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Nanoseconds from `from` to `to`; negative when `to` comes first.
long long nanoseconds_between(const timespec &from, const timespec &to)
{
    return (static_cast<long long>(to.tv_sec) - from.tv_sec) * 1000000000LL + (to.tv_nsec - from.tv_nsec);
}

bool interval_passed(const ShortageReports &reports, const timespec &now)
{
    return !reports.any_line ||
           nanoseconds_between(reports.last_line, now) >= report_interval_seconds * 1000000000LL;
}

void write_count(ShortageReports &reports, const timespec &now)
{
    log_msg("%s failed %lu more times", reports.call, reports.unreported);
    reports.unreported = 0;
    reports.last_line = now;
}

}  // namespace

void report_shortage(ShortageReports &reports)
{
    const timespec now = monotonic_now();
    if (!interval_passed(reports, now)) {
        ++reports.unreported;
        return;
    }
    // The failures not shown since the last line are counted in with this
    // one: one line, whatever the count.
    if (reports.unreported > 0) {
        ++reports.unreported;
        write_count(reports, now);
        return;
    }
    perror(reports.call);
    reports.any_line = true;
    reports.last_line = now;
}

void report_unreported(ShortageReports &reports)
{
    if (reports.unreported == 0)
        return;
    const timespec now = monotonic_now();
    if (interval_passed(reports, now))
        write_count(reports, now);
}

void pause_accepting(bool ends_with_child)
{
    accept_pause.active = true;
    accept_pause.ends_with_child = ends_with_child;
    accept_pause.until = monotonic_now();
    accept_pause.until.tv_sec += pause_seconds;
}

bool accepting_paused(timeval &left)
{
    if (!accept_pause.active)
        return false;
    const long long nanoseconds = nanoseconds_between(monotonic_now(), accept_pause.until);
    if (nanoseconds <= 0) {
        accept_pause.active = false;
        return false;
    }
    left.tv_sec = static_cast<time_t>(nanoseconds / 1000000000LL);
    left.tv_usec = static_cast<suseconds_t>(nanoseconds % 1000000000LL / 1000);
    return true;
}

void note_child_ended()
{
    if (accept_pause.ends_with_child)
        accept_pause.active = false;
}

void sleep_a_second()
{
    const timespec second{pause_seconds, 0};
    nanosleep(&second, nullptr);
}
