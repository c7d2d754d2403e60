// tarnwick: forwards local TCP connections through an HTTP proxy's CONNECT
// tunnel to one fixed remote host and port.

#include "config/settings.h"
#include "log/log.h"
#include "process/daemon.h"
#include "process/descriptors.h"
#include "process/listener.h"
#include "process/options.h"
#include "process/paths.h"
#include "process/pidfile.h"
#include "process/signals.h"
#include "process/state.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool config_option_seen = false;

[[noreturn]] void print_usage(bool version)
{
    if (version) {
        fprintf(stderr, "%s %s\n", program_name, program_version);
        exit(1);
    }
    fprintf(stderr, "usage: %s ", program_name);
    fputs("[-hv] [-c configfile]\n\n", stderr);
    fputs("options:\n", stderr);
    fputs("  -h\t\t: This help.\n", stderr);
    fputs("  -v\t\t: Shows version.\n", stderr);
    fputs("  -c configfile\t: Use an alternate configfile.\n", stderr);
    exit(1);
}

// Options are read in order and parsing stops at the first word that is not
// an option, whatever the C library's getopt would do by default: it is never
// shown the words from there on.
void parse_command_line(int argc, char **argv)
{
    const char *optstring = "hvc:";
    const int option_words = count_option_words(argc, argv, optstring);
    for (int option; (option = getopt(option_words, argv, optstring)) != -1;) {
        if (option != 'c')
            print_usage(option == 'v');
        state.config_path = optarg;
        config_option_seen = true;
    }
}

// The server keeps nothing it inherited beyond descriptors 0 to 2, and those
// must be taken before any file or socket is opened, or the log redirection
// would later close one of ours.
void tidy_descriptors()
{
    close_descriptors_from(STDERR_FILENO + 1);
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= STDERR_FILENO) {
    }
    if (fd > STDERR_FILENO)
        close(fd);
}

const char *argument(int argc, char **argv, int index)
{
    return index < argc && argv[index] != nullptr ? argv[index] : "";
}

void write_banner(int argc, char **argv)
{
    if (config_option_seen)
        log_msg("STARTED as %s %s %s", argument(argc, argv, 0), argument(argc, argv, 1),
                argument(argc, argv, 2));
    else
        log_msg("STARTED as %s", argument(argc, argv, 0));
    log_msg("  pid      %s [%i]", state.pid_path.c_str(), static_cast<int>(state.daemon_pid));
    log_msg("  log      %s", state.log_path.c_str());
    log_msg("  listen   %s:%u", escape_for_log(settings.listen_host.value_or("")).c_str(),
            static_cast<uint32_t>(settings.listen_port));
    log_msg("  proxy    %s:%u", escape_for_log(settings.proxy_host.value_or("")).c_str(),
            static_cast<uint32_t>(settings.proxy_port));
    log_msg("  external %s:%u", escape_for_log(settings.external_host.value_or("")).c_str(),
            static_cast<uint32_t>(settings.external_port));
}

[[noreturn]] void shut_down()
{
    if (state.log_file != nullptr) {
        fflush(state.log_file);
        fclose(state.log_file);
        state.log_file = nullptr;
    }
    if (terminate_requested)
        log_msg("SIGINT/SIGTERM, terminating gracefully");
    exit(0);
}

}  // namespace

int main(int argc, char **argv)
{
    clear_settings();
    tidy_descriptors();
    parse_command_line(argc, argv);
    load_config(state.config_path.c_str());
    if (!prepare_run_dir())
        return 1;
    if (!detach())
        shut_down();
    install_signal_handlers();
    if (!claim_pid_file(argument(argc, argv, 0)))
        shut_down();
    if (!redirect_to_log())
        shut_down();
    write_banner(argc, argv);
    run_accept_loop();
    shut_down();
}
