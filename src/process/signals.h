// Signal handling: stop requests and finished client processes.
#pragma once

// Installs handle_signal for SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGQUIT,
// SIGPIPE and SIGALRM, and opens the wake-up pipe the handler writes to.
void install_signal_handlers();

// The read end of the wake-up pipe: readable after any stop request or
// child ending. -1 before install_signal_handlers.
int wakeup_fd();

// Empties the wake-up pipe, then collects every finished child and logs how
// it ended. Runs in the server's loop, never in the handler. Returns how many
// were collected.
int reap_children();

// Closes the wake-up pipe; a client process has no use for it.
void close_wakeup_pipe();
