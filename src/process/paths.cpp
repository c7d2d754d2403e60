#include "process/paths.h"

#include "process/state.h"

#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t run_dir_mode = 0755;

// HOME first; a service manager or `env -i` may leave it unset or empty,
// and then the user database knows where home is.
const char *home_directory()
{
    const char *home = getenv("HOME");
    if (home != nullptr && *home != '\0')
        return home;
    const passwd *user = getpwuid(getuid());
    if (user != nullptr && user->pw_dir != nullptr && *user->pw_dir != '\0')
        return user->pw_dir;
    return nullptr;
}

}  // namespace

bool prepare_run_dir()
{
    const char *home = home_directory();
    if (home == nullptr) {
        fputs("HOME is not set\n", stderr);
        return false;
    }
    state.run_dir = std::string(home) + "/.tarnwick";
    state.log_path = state.run_dir + "/tarnwick.log";
    state.pid_path = state.run_dir + "/tarnwick.pid";
    // An existing directory is fine; any other failure shows when a file in
    // it cannot be opened.
    mkdir(state.run_dir.c_str(), run_dir_mode);
    return true;
}
