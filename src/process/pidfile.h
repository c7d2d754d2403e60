// The single-instance check and the pid file.
#pragma once

enum class PidClaim {
    claimed,       // this process is the server and its pid is on file
    another_runs,  // refused: "already runs" has been said on standard output
    failed,        // the pid file could not be opened or written (reported)
};

// Refuses to start while another server of this user runs, or while another
// start holds the pid file's lock; otherwise records this process's id in the
// pid file and keeps the file open and locked for the rest of its life.
[[nodiscard]] PidClaim claim_pid_file(const char *invocation_name);
