// Process-wide state: paths, the log and pid streams, and the server's pid.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/types.h>

inline constexpr const char *program_name = "tarnwick";
inline constexpr const char *program_version = "1.3";
inline constexpr const char *default_config_path = "tarnwick.conf";

struct ProcessState {
    std::string config_path = default_config_path;
    std::string run_dir;
    std::string log_path;
    std::string pid_path;
    FILE *log_file = nullptr;
    FILE *pid_file = nullptr;
    pid_t daemon_pid = 0;  // the server process's id, 0 until it exists
    bool check_peer_owner = false;  // allow owner in force: every connection's peer is looked up
};

extern ProcessState state;

// Set to 1 by the signal handler on SIGINT or SIGTERM, never cleared.
extern volatile sig_atomic_t terminate_requested;
