// The listening sockets and the accept loop.
#pragma once

// Listens on every tunnel's listen address (all of them or, after a failure,
// none) and serves each connection in a process of its own, tunnelled to
// that listener's far end, until a stop is requested or a listener fails.
// Returns in the server process only: true when it ended on a stop request,
// false on a failure (already reported).
[[nodiscard]] bool run_accept_loop();
