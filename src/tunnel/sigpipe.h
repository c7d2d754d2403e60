// Sends to a peer that has gone fail with EPIPE instead of raising SIGPIPE.
// Where the system has neither way, SIGPIPE is caught and ignored anyway and
// the send fails the same.
#pragma once

#include <sys/socket.h>

#if TARNWICK_HAVE_MSG_NOSIGNAL
inline constexpr int send_flags = MSG_NOSIGNAL;
#else
inline constexpr int send_flags = 0;
#endif

// Where the per-send flag is missing, the per-socket option does the same.
inline void keep_sigpipe_from(int fd)
{
#if !TARNWICK_HAVE_MSG_NOSIGNAL && TARNWICK_HAVE_SO_NOSIGPIPE
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#else
    static_cast<void>(fd);
#endif
}
