// The listening socket and the accept loop.
#pragma once

// Listens on listen_host:listen_port and serves each connection in a process
// of its own until a stop is requested or the listener fails. Returns in the
// server process only: true when it ended on a stop request, false on a
// failure (already reported).
[[nodiscard]] bool run_accept_loop();
