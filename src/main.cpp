// tarnwick: forwards local TCP connections through an HTTP proxy's CONNECT
// tunnel to fixed remote hosts and ports, or standard input and output to
// one (-W).

#include "auth/gssapi.h"
#include "config/settings.h"
#include "log/log.h"
#include "process/daemon.h"
#include "process/descriptors.h"
#include "process/listener.h"
#include "process/options.h"
#include "process/paths.h"
#include "process/peer_owner.h"
#include "process/pidfile.h"
#include "process/signals.h"
#include "process/state.h"
#include "tunnel/standard_streams.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool config_option_seen = false;
// -f: the invoking process becomes the server, for a service manager (launchd,
// systemd's Type=exec, runit) that watches the process it started.
bool foreground = false;
// -W host:port: one tunnel over standard input and output, no server.
std::optional<std::string> stream_host;
int32_t stream_port = 0;

[[noreturn]] void print_usage(bool version)
{
    if (version) {
        fprintf(stderr, "%s %s\n", program_name, program_version);
        exit(1);
    }
    fprintf(stderr, "usage: %s ", program_name);
    fputs("[-fhv] [-c configfile] [-W host:port]\n\n", stderr);
    fputs("options:\n", stderr);
    fputs("  -f\t\t: Stays in the foreground.\n", stderr);
    fputs("  -h\t\t: This help.\n", stderr);
    fputs("  -v\t\t: Shows version.\n", stderr);
    fputs("  -c configfile\t: Use an alternate configfile.\n", stderr);
    fputs("  -W host:port\t: Tunnels standard input and output to host:port.\n", stderr);
    exit(1);
}

// Options are read in order and parsing stops at the first word that is not
// an option, whatever the C library's getopt would do by default: it is never
// shown the words from there on.
void parse_command_line(int argc, char **argv)
{
    const char *optstring = "fhvc:W:";
    const int option_words = count_option_words(argc, argv, optstring);
    for (int option; (option = getopt(option_words, argv, optstring)) != -1;) {
        if (option == 'f') {
            foreground = true;
            continue;
        }
        if (option == 'W') {
            // external's rules; without a port there is nothing to ask for.
            split_host_port(optarg, stream_host, stream_port);
            if (stream_port == 0)
                print_usage(false);
            continue;
        }
        if (option != 'c')
            print_usage(option == 'v');
        state.config_path = optarg;
        config_option_seen = true;
    }
}

// Descriptors 0 to 2 must be taken before any file or socket is opened, or
// the log redirection would later close one of ours.
void open_standard_descriptors()
{
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= STDERR_FILENO) {
    }
    if (fd > STDERR_FILENO)
        close(fd);
}

// The server keeps nothing it inherited beyond descriptors 0 to 2. Called
// only once the config has been read: it may come through one of them
// (-c /dev/fd/N, or a shell's process substitution).
void close_inherited_descriptors()
{
    close_descriptors_from(STDERR_FILENO + 1);
}

const char *argument(int argc, char **argv, int index)
{
    return index < argc && argv[index] != nullptr ? argv[index] : "";
}

// The command line and HOME come from outside like any host name: escaped,
// so that neither can write a line of its own into the log.
std::string escaped_argument(int argc, char **argv, int index)
{
    return escape_for_log(argument(argc, argv, index));
}

void write_banner(int argc, char **argv)
{
    if (config_option_seen)
        log_msg("STARTED as %s %s %s", escaped_argument(argc, argv, 0).c_str(),
                escaped_argument(argc, argv, 1).c_str(), escaped_argument(argc, argv, 2).c_str());
    else
        log_msg("STARTED as %s", escaped_argument(argc, argv, 0).c_str());
    log_msg("  pid      %s [%i]", escape_for_log(state.pid_path).c_str(),
            static_cast<int>(state.daemon_pid));
    log_msg("  log      %s", escape_for_log(state.log_path).c_str());
    // listen and external only when given: forward lines may stand alone.
    if (settings.listen_host)
        log_msg("  listen   %s:%u", escape_for_log(*settings.listen_host).c_str(),
                static_cast<uint32_t>(settings.listen_port));
    log_msg("  proxy    %s:%u", escape_for_log(settings.proxy_host.value_or("")).c_str(),
            static_cast<uint32_t>(settings.proxy_port));
    log_msg("  %s", escape_for_log(gssapi_banner()).c_str());
    if (settings.external_host)
        log_msg("  external %s:%u", escape_for_log(*settings.external_host).c_str(),
                static_cast<uint32_t>(settings.external_port));
    for (const Tunnel &forward : settings.forwards)
        log_msg("  forward  %s:%u %s:%u", escape_for_log(forward.listen_host).c_str(),
                static_cast<uint32_t>(forward.listen_port), escape_for_log(forward.external_host).c_str(),
                static_cast<uint32_t>(forward.external_port));
    log_msg("  allow    %s", allow_in_force());
}

// A process that ends on a failure says so with its status, so that a
// service manager sees the failure; a stop request or a refusal to run twice
// is no failure.
constexpr int exit_stopped = 0;
constexpr int exit_failed = 1;

[[noreturn]] void shut_down(int status)
{
    if (state.log_file != nullptr) {
        fflush(state.log_file);
        fclose(state.log_file);
        state.log_file = nullptr;
    }
    if (terminate_requested)
        log_msg("SIGINT/SIGTERM, terminating gracefully");
    exit(status);
}

}  // namespace

int main(int argc, char **argv)
{
    clear_settings();
    open_standard_descriptors();
    parse_command_line(argc, argv);
    load_config(state.config_path.c_str(), stream_host ? ConfigUse::standard_streams : ConfigUse::server);
    close_inherited_descriptors();
    if (stream_host)
        return run_standard_stream_tunnel(*stream_host, stream_port);
    if (!prepare_run_dir())
        return exit_failed;
    if (!detach(foreground))
        shut_down(exit_failed);
    install_signal_handlers();
    switch (claim_pid_file(argument(argc, argv, 0))) {
    case PidClaim::claimed:
        break;
    case PidClaim::another_runs:
        shut_down(exit_stopped);
    case PidClaim::failed:
        shut_down(exit_failed);
    }
    if (!redirect_to_log())
        shut_down(exit_failed);
    load_gssapi();
    settle_peer_check();
    write_banner(argc, argv);
    shut_down(run_accept_loop() ? exit_stopped : exit_failed);
}
