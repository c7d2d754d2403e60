// The single-instance check and the pid file.
#pragma once

// Refuses to start while another server of this user runs ("already runs" on
// standard output, result false); otherwise records this process's id in the
// pid file and returns true.
[[nodiscard]] bool claim_pid_file(const char *invocation_name);
