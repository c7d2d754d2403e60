#include "tunnel/standard_streams.h"

#include "log/hold.h"
#include "tunnel/relay.h"

#include <csignal>
#include <unistd.h>

int run_standard_stream_tunnel(const std::string &host, int32_t port)
{
    // A reader gone from standard output ends the relay with a failed write,
    // not the process with a signal.
    signal(SIGPIPE, SIG_IGN);
    hold_standard_error();
    const int proxy_fd = open_tunnel(STDIN_FILENO, host, port);
    if (proxy_fd == 0) {
        release_standard_error();
        return 1;
    }
    silence_standard_error();
    relay_tunnel(STDIN_FILENO, STDOUT_FILENO, proxy_fd);
    return 0;
}
