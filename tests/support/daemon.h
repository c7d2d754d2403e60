// Starting and stopping the real server in a sandbox of its own.
#pragma once

#include "support/files.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace support {

// A temporary HOME and a temporary working directory. Going away, it kills
// (by pid) and reaps every process the test left behind.
struct Sandbox {
    TempDir home;
    TempDir work;

    ~Sandbox() { cleanup_descendants(); }

    // cwd = work, HOME = home.
    RunOptions options() const;
    std::string run_dir() const { return home.path() + "/.tarnwick"; }
    std::string log_path() const { return run_dir() + "/tarnwick.log"; }
    std::string pid_path() const { return run_dir() + "/tarnwick.pid"; }
    // Writes a config file into work; returns its full path.
    std::string write_config(std::string_view bytes, std::string_view name = "tarnwick.conf") const;
};

// A complete config: listen and proxy on 127.0.0.1 with the given ports, the
// external host:port as given, and an auth line when auth is set.
std::string config_text(int listen_port, int proxy_port, std::string_view external = "127.0.0.1:7",
                        std::optional<std::string_view> auth = std::nullopt);

// True for the banner's Kerberos line, whose text depends on the build and on
// the system's libraries: "  kerberos <library>" or "  kerberos none (<why>)".
bool is_kerberos_banner_line(const std::string &message);

// The banner's last line, the setting in force under allow owner: where the
// system names a peer's owner, and where it can't (then anyone is served).
inline const std::string allow_owner_line = "  allow    owner";
inline const std::string allow_untold_line =
    "  allow    any (this system can't tell users apart: other local users can connect)";

struct Server {
    pid_t pid = 0;
    RunResult launch;  // the invoking process's run
};

// Runs the binary (options.home must be set), expects the invoking process to
// end with status 0, then waits until the pid file names a live child of this
// process (the detached server, re-parented here) and the banner's last line
// has been appended to the log. Reaps the intermediate process.
::testing::AssertionResult start_server(const std::vector<std::string> &args, const RunOptions &options,
                                        Server &server, milliseconds timeout = milliseconds(10000));

// Sends SIGTERM to the server and waits for it by pid. Fails when it doesn't
// end within the bound (then SIGKILLs it), isn't a child of this process, or
// ends other than with exit status 0.
::testing::AssertionResult stop_server(pid_t pid, milliseconds timeout = milliseconds(15000));

}  // namespace support
