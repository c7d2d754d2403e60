// The single-instance check and the pid file.
#pragma once

#include <optional>
#include <string_view>
#include <sys/types.h>

// The process id recorded at the start of a pid file's contents, or none when
// it is missing, not positive or out of the system's pid range.
std::optional<pid_t> parse_pid(std::string_view contents);

// Refuses to start while another server of this user runs ("already runs" on
// standard output, result false); otherwise records this process's id in the
// pid file and returns true.
[[nodiscard]] bool claim_pid_file(const char *invocation_name);
