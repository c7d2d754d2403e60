// The per-user run directory and the paths of the log and pid files.
#pragma once

// Builds run_dir, log_path and pid_path from HOME (or the user database when
// HOME is unset or empty) and creates the run directory. Returns false, after
// saying so on standard error, when no home directory can be found.
[[nodiscard]] bool prepare_run_dir();
