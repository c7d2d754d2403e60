// -W: one tunnel over standard input and output, for ssh's ProxyCommand.
#pragma once

#include <cstdint>
#include <string>

// Opens a tunnel to host:port for the client on standard input and output
// and relays it until both sides have ended. Writes nothing to standard
// error unless no tunnel opens, and then the reasons. Returns the exit
// status: 0 once a tunnel was opened and has ended, 1 when none opened.
int run_standard_stream_tunnel(const std::string &host, int32_t port);
