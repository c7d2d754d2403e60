// Start-up as a user does it: detaching, the banner, the run directory and its
// files, the descriptors a server and its client processes hold, one server
// per user, and where home is.

#include "tunnel/e2e.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace e2e;
using support::binary_path;
using support::read_file;
using support::spawn;

std::string proc(pid_t pid, const std::string &entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

std::string link_target(const std::string &path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

bool nonblocking(pid_t pid, int fd) {
    const long flags = support::descriptor_flags(pid, fd);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(StartUp, DetachedServerItsFilesAndDescriptors) {
    support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", support::AfterReply::hold));
    Daemon d;
    d.box.write_config(support::config_text(d.port, proxy.port()));
    const std::string log = d.box.log_path(), pid_path = d.box.pid_path();
    support::TempDir outside;
    const std::string inherited = outside.file("inherited");

    // Started from a shell that leaves descriptor 7 open and the mask at 077.
    const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const pid_t invoking =
        spawn({"/bin/sh", "-c", "umask 077; exec 7>>\"$1\"; exec \"$0\"", binary_path(), inherited},
              {"HOME=" + d.box.home.path(), "PATH=/usr/bin:/bin"}, d.box.work.path(), null.get(), null.get());
    int status = -1;
    ASSERT_TRUE(support::wait_for_exit(invoking, 2000ms, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(support::wait_for_log(log, "  allow "));
    const pid_t pid = std::atoi(read_file(pid_path).c_str());
    support::reap_zombie_children(pid);

    EXPECT_EQ(read_file(pid_path), std::to_string(pid) + "\n");
    EXPECT_EQ(mode_of(d.box.run_dir()), 0700u);
    EXPECT_EQ(mode_of(pid_path), 0644u);
    std::vector<std::string> banner;
    for (const auto &line : support::log_lines(log)) {
        const auto l = support::parse_log_line(line);
        EXPECT_EQ(l.tag, "***") << line;
        banner.push_back(l.message);
    }
    const std::vector<std::string> expected = {
        std::string("STARTED as ") + binary_path(),
        "  pid      " + pid_path + " [" + std::to_string(pid) + "]",
        "  log      " + log,
        "  listen   127.0.0.1:" + std::to_string(d.port),
        "  proxy    127.0.0.1:" + std::to_string(proxy.port()),
        "  external 127.0.0.1:7",
        banner.back() == support::allow_untold_line ? support::allow_untold_line : support::allow_owner_line,
    };
    ASSERT_EQ(banner.size(), expected.size() + 1) << d.log();
    EXPECT_TRUE(support::is_kerberos_banner_line(banner[5])) << banner[5];
    banner.erase(banner.begin() + 5);
    EXPECT_EQ(banner, expected);

    EXPECT_EQ(link_target(proc(pid, "cwd")), "/");
    // In a session of its own, which it doesn't lead, without a terminal.
    const std::string stat = read_file(proc(pid, "stat"));
    int session = 0, tty = -1;
    sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %d %d", &session, &tty);
    EXPECT_NE(session, pid);
    EXPECT_NE(session, getsid(0));
    EXPECT_EQ(tty, 0);
    const std::vector<std::string> standard{"/dev/null", log, log};
    std::map<int, std::string> fds = support::descriptor_targets(pid);
    EXPECT_EQ((std::vector{fds[0], fds[1], fds[2]}), standard);
    for (const auto &[fd, target] : fds)
        EXPECT_TRUE(fd < 3 || target.starts_with("socket:") || target.starts_with("pipe:") || target == log ||
                    target == pid_path)
            << "server descriptor " << fd << " -> " << target;

    // A client process holds its two sockets, both non-blocking, and nothing of the server's.
    const std::string listener = "listen 127.0.0.1:" + std::to_string(d.port);
    ASSERT_TRUE(support::wait_until([&] { return std::ranges::count(support::open_descriptors(pid), listener) == 1; },
                                    5000ms));
    Fd client;
    const std::string child = d.connect(client);
    ASSERT_TRUE(support::wait_for_log(log, child + " connection through proxy"));
    fds = support::descriptor_targets(std::stoi(child));
    EXPECT_EQ(fds.size(), 5u);
    std::vector<int> sockets;
    for (const auto &[fd, target] : fds)
        if (fd > 2 && target.starts_with("socket:"))
            sockets.push_back(fd);
    EXPECT_EQ((std::vector{fds[0], fds[1], fds[2]}), standard);
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_TRUE(nonblocking(std::stoi(child), sockets[0]) && nonblocking(std::stoi(child), sockets[1]));
    client.reset();
    ASSERT_TRUE(support::wait_for_log(log, "*** child " + child + " exited"));  // before the stop's last line

    // After a stop the pid file stays; the next start finds it stale and
    // appends to the log; a further start meets a running server.
    ASSERT_TRUE(support::stop_server(pid));
    EXPECT_EQ(read_file(pid_path), std::to_string(pid) + "\n");
    const std::string first_run = read_file(log);
    EXPECT_TRUE(first_run.ends_with(" *** SIGINT/SIGTERM, terminating gracefully\n"));
    ASSERT_TRUE(support::start_server({}, d.box.options(), d.server));
    EXPECT_EQ(d.server.launch.err, "overwriting stale pid file\n");
    EXPECT_EQ(d.server.launch.out, "");
    EXPECT_TRUE(read_file(log).starts_with(first_run));

    const std::size_t log_size = support::file_size(log);
    const support::RunResult again = support::run_binary({}, d.box.options());
    EXPECT_TRUE(again.exited && again.exit_status == 0) << again.describe();
    EXPECT_EQ(again.out, std::string(binary_path()) + " already runs (pid " + std::to_string(d.server.pid) + ")\n");
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(support::file_size(log), log_size);
}

// -f, as a service manager starts it: the process it started is the server,
// in the starter's session, with the pid file naming it, and its exit status
// tells a stop from a failure.
TEST(Foreground, TheStartedProcessIsTheServer) {
    support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", support::AfterReply::echo));
    Daemon d;
    const std::string conf = d.box.write_config(support::config_text(d.port, proxy.port()));
    const std::vector<std::string> env{"HOME=" + d.box.home.path(), "PATH=/usr/bin:/bin"};
    const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const pid_t pid = spawn({binary_path(), "-c", conf, "-f"}, env, d.box.work.path(), null.get(), null.get());
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(support::wait_for_log(d.box.log_path(), "  external "));
    EXPECT_EQ(read_file(d.box.pid_path()), std::to_string(pid) + "\n");
    EXPECT_EQ(support::count_log_lines(d.box.log_path(), std::string("*** STARTED as ") + binary_path() + " -c " + conf),
              1);
    EXPECT_EQ(link_target(proc(pid, "cwd")), "/");
    EXPECT_EQ(getsid(pid), getsid(0));
    EXPECT_EQ(support::descriptor_targets(pid)[1], d.box.log_path());

    Fd client;
    const std::string client_pid = d.connect(client);
    ASSERT_FALSE(client_pid.empty()) << d.log();
    ASSERT_TRUE(support::send_all(client.get(), "through the tunnel"));
    EXPECT_EQ(support::read_n(client.get(), 18), "through the tunnel");
    client.reset();
    // The tunnel's own last lines come first, so that the server's are last.
    ASSERT_TRUE(support::wait_for_log(d.box.log_path(), "*** child " + client_pid + " exited with status 0")) << d.log();

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(support::wait_for_exit(pid, 5000ms, &status)) << d.log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(d.log().ends_with(" *** SIGINT/SIGTERM, terminating gracefully\n")) << d.log();

    // A listen port that is taken: the same command ends with status 1.
    support::TcpServer taken([](support::Connection &) {});
    const std::string taken_conf = d.box.write_config(support::config_text(taken.port(), proxy.port()), "taken.conf");
    const pid_t failing = spawn({binary_path(), "-fc", taken_conf}, env, d.box.work.path(), null.get(), null.get());
    ASSERT_TRUE(support::wait_for_exit(failing, 5000ms, &status)) << d.log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_TRUE(support::wait_for_log_regex(d.box.log_path(), "^bind: ")) << d.log();
}

// Runs the binary through a launcher command (a shell, python) that leaves
// something behind for it, waits for the banner and returns the server's pid
// (0 when it never came).
pid_t start_through(Daemon &d, std::vector<std::string> launcher) {
    const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const pid_t invoking = spawn(std::move(launcher), {"HOME=" + d.box.home.path(), "PATH=/usr/bin:/bin"},
                                 d.box.work.path(), null.get(), null.get());
    int status = -1;
    if (!support::wait_for_exit(invoking, 5000ms, &status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        !support::wait_for_log(d.box.log_path(), "  external "))
        return 0;
    const pid_t pid = std::atoi(read_file(d.box.pid_path()).c_str());
    support::reap_zombie_children(pid);
    return pid;
}

// A config read through an inherited descriptor, as with -c <(pass show proxy);
// the descriptor is still closed once the config has been read.
TEST(StartUp, ConfigThroughAnInheritedDescriptor) {
    Daemon d;
    const std::string conf = d.box.write_config(support::config_text(d.port, support::free_port()));
    const pid_t pid = start_through(d, {"/bin/sh", "-c", "exec 7<\"$1\"; exec \"$0\" -c /dev/fd/7", binary_path(), conf});
    ASSERT_NE(pid, 0) << d.log();
    EXPECT_EQ(support::count_log_lines(d.box.log_path(), std::string("*** STARTED as ") + binary_path() + " -c /dev/fd/7"),
              1);
    for (const auto &[fd, target] : support::descriptor_targets(pid))
        EXPECT_NE(target, conf) << "descriptor " << fd;
    EXPECT_TRUE(support::stop_server(pid));
}

// A parent that blocked SIGCHLD and SIGTERM (and ignores SIGINT) leaves the
// server no less able to reap and to stop.
TEST(StartUp, InheritedSignalStateIsCleared) {
    support::FakeProxy proxy(support::proxy_reply("HTTP/1.0 200 OK\r\n\r\n", support::AfterReply::close));
    Daemon d;
    d.box.write_config(support::config_text(d.port, proxy.port()));
    const std::string block = "import os, signal, sys\n"
                              "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD, signal.SIGTERM})\n"
                              "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
                              "os.execv(sys.argv[1], sys.argv[1:])\n";
    const pid_t pid = start_through(d, {"/usr/bin/python3", "-c", block, binary_path()});
    ASSERT_NE(pid, 0) << d.log();
    Fd client;
    const std::string child = d.connect(client);
    ASSERT_FALSE(child.empty()) << d.log();
    EXPECT_TRUE(support::wait_closed(client.get()));  // the proxy's end, passed on
    client.reset();
    EXPECT_TRUE(support::wait_for_log(d.box.log_path(), "*** child " + child + " exited with status 0", 1, 3000ms));
    EXPECT_TRUE(support::stop_server(pid, 3000ms));
}

// Starts at the same moment: one server, the pid file naming it, the others
// refused, never a second banner or a bind failure.
TEST(SingleInstance, ConcurrentStartsLeaveOneServer) {
    constexpr int rounds = 20, starts = 3;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Daemon d;
        d.box.write_config(support::config_text(d.port, support::free_port()));
        const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
        std::vector<pid_t> invoking;
        for (int i = 0; i < starts; ++i)
            invoking.push_back(spawn({binary_path()}, {"HOME=" + d.box.home.path(), "PATH=/usr/bin:/bin"},
                                     d.box.work.path(), null.get(), null.get()));
        for (const pid_t p : invoking)
            ASSERT_TRUE(support::wait_for_exit(p, 5000ms));
        ASSERT_TRUE(support::wait_for_log(d.box.log_path(), "  external "));
        const pid_t pid = std::atoi(read_file(d.box.pid_path()).c_str());
        // The refused starts' processes are on their way out, and a look at
        // /proc can miss one while it is being re-parented: only the server
        // must be left, seen twice a while apart.
        const auto only_the_server = [&] { return support::live_descendants() == std::vector<pid_t>{pid}; };
        EXPECT_TRUE(support::wait_until(
            [&] { return only_the_server() && (std::this_thread::sleep_for(200ms), only_the_server()); }, 10000ms))
            << d.log();
        EXPECT_EQ(support::count_log_lines(d.box.log_path(), "STARTED as"), 1) << d.log();
        // The listener opens right after the banner.
        EXPECT_TRUE(support::wait_until([&] { return static_cast<bool>(support::connect_loopback(d.port)); }, 5000ms))
            << d.log();
        support::reap_zombie_children(pid);
        ASSERT_TRUE(support::stop_server(pid)) << d.log();
        if (HasFailure())
            return;
    }
}

// A start that finds the pid file locked is refused, naming the lock's holder,
// whatever the file says.
TEST(SingleInstance, LockedPidFileNamesItsHolder) {
    Daemon d;
    d.box.write_config(support::config_text(d.port, support::free_port()));
    ASSERT_EQ(mkdir(d.box.run_dir().c_str(), 0755), 0);
    ASSERT_TRUE(support::write_file(d.box.pid_path(), ""));
    const Fd held(open(d.box.pid_path().c_str(), O_RDWR | O_CLOEXEC));
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(held.get(), F_SETLK, &lock), 0);
    const support::RunResult r = support::run_binary({}, d.box.options());
    EXPECT_TRUE(r.exited && r.exit_status == 0) << r.describe();
    EXPECT_EQ(r.out, std::string(binary_path()) + " already runs (pid " + std::to_string(getpid()) + ")\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(support::wait_until([] { return support::live_descendants().empty(); }, 5000ms));
    EXPECT_EQ(read_file(d.box.pid_path()), "");
}

// What an earlier pid file holds, with {live} for a running process of ours
// and {dead} for one that has ended.
struct PidFile {
    const char *name;
    std::string contents;
    bool live;
};

void PrintTo(const PidFile &p, std::ostream *os) { *os << p.name; }

class OldPidFile : public ::testing::TestWithParam<PidFile> {};

TEST_P(OldPidFile, DecidesWhetherToStart) {
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_TRUE(support::wait_for_exit(dead, 5000ms));
    std::string contents = GetParam().contents;
    for (auto [key, value] : {std::pair{"{live}", getpid()}, std::pair{"{dead}", dead}})
        if (const std::size_t at = contents.find(key); at != std::string::npos)
            contents.replace(at, 6, std::to_string(value));
    Daemon d;
    d.box.write_config(support::config_text(d.port, support::free_port()));
    ASSERT_EQ(mkdir(d.box.run_dir().c_str(), 0755), 0);
    ASSERT_TRUE(support::write_file(d.box.pid_path(), contents));

    if (GetParam().live) {
        const support::RunResult r = support::run_binary({}, d.box.options());
        EXPECT_TRUE(r.exited && r.exit_status == 0) << r.describe();
        EXPECT_EQ(r.out, std::string(binary_path()) + " already runs (pid " + std::to_string(getpid()) + ")\n");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(support::wait_until([] { return support::live_descendants().empty(); }, 5000ms));
        EXPECT_EQ(read_file(d.box.pid_path()), contents);
        EXPECT_EQ(access(d.box.log_path().c_str(), F_OK), -1) << read_file(d.box.log_path());
    } else {
        ASSERT_TRUE(support::start_server({}, d.box.options(), d.server));
        EXPECT_EQ(d.server.launch.err, "overwriting stale pid file\n");
        EXPECT_EQ(d.server.launch.out, "");
        EXPECT_EQ(read_file(d.box.pid_path()), std::to_string(d.server.pid) + "\n");
    }
}

const std::string pid_max = read_file("/proc/sys/kernel/pid_max");

INSTANTIATE_TEST_SUITE_P(
    Table, OldPidFile,
    ::testing::Values(PidFile{"Live", "{live}\n", true}, PidFile{"LiveWithBlanksAndJunk", "  {live}junk", true},
                      PidFile{"Dead", "{dead}\n", false}, PidFile{"Empty", "", false},
                      PidFile{"NoNumber", "abc\n", false}, PidFile{"Zero", "0\n", false},
                      PidFile{"Negative", "-{live}\n", false},
                      PidFile{"BeyondPidMax", std::to_string(std::atol(pid_max.c_str()) + 1) + "\n", false},
                      // Its low 32 bits are 1, a live process.
                      PidFile{"Beyond32Bits", "4294967297\n", false},
                      PidFile{"BeyondLongLong", "99999999999999999999999\n", false}),
    [](const auto &info) { return std::string(info.param.name); });

// The pid file names the very process that reads it. Its pid is foretold
// from the last one handed out (the invoking process, the intermediate one,
// then the server); another process taking one in between spoils a try.
TEST(SingleInstance, OwnPidIsStale) {
    int refusals = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        Daemon d;
        d.box.write_config(support::config_text(d.port, support::free_port()));
        ASSERT_EQ(mkdir(d.box.run_dir().c_str(), 0755), 0);
        const pid_t server = std::atoi(read_file("/proc/sys/kernel/ns_last_pid").c_str()) + 3;
        if (kill(server, 0) == 0 || errno != ESRCH)
            continue;
        const std::string contents = std::to_string(server) + "\n";
        ASSERT_TRUE(support::write_file(d.box.pid_path(), contents));
        const support::RunResult r = support::run_binary({}, d.box.options());
        if (r.out.empty() && read_file(d.box.pid_path()) == contents) {
            EXPECT_EQ(r.err, "overwriting stale pid file\n");
            EXPECT_TRUE(support::wait_for_log(d.box.log_path(), " [" + std::to_string(server) + "]"));
            return;
        }
        refusals += !r.out.empty();  // the foretold pid was live, or it was the server's own
    }
    FAIL() << "no server started with its own pid on file in 50 tries; " << refusals << " refused to start";
}

// Runs the binary as another user, under strace to see the run directory it
// makes, and waits until it and everything it started have ended.
struct AsUser {
    int status = -1;
    std::string out, err, trace;
};

AsUser run_as(uid_t uid, const std::optional<std::string> &home, const std::string &cwd) {
    support::TempDir outputs;
    const std::string id = std::to_string(uid);
    // LeakSanitizer can't work under strace.
    const char *asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> env{"PATH=/usr/bin:/bin",
                                 std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"};
    if (home)
        env.push_back("HOME=" + *home);
    const Fd out(open(outputs.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const Fd err(open(outputs.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    AsUser result;
    const pid_t pid = spawn({"/usr/bin/strace", "-f", "-qq", "-e", "trace=mkdir,mkdirat", "-o", outputs.file("trace"),
                             "setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--", binary_path()},
                            env, cwd, out.get(), err.get());
    support::wait_for_exit(pid, 10000ms, &result.status);
    EXPECT_TRUE(support::wait_until([] { return support::live_descendants().empty(); }, 5000ms));
    result.out = read_file(outputs.file("out"));
    result.err = read_file(outputs.file("err"));
    result.trace = read_file(outputs.file("trace"));
    return result;
}

struct HomeCase {
    uid_t uid;  // 54321 has no entry in the user database; nobody's home is /nonexistent
    std::optional<std::string> home;
    int exit_status;
    std::string err;
    std::string run_dir_made;
};

TEST(Home, UnsetOrEmptyFallsBackToTheUserDatabase) {
    if (geteuid() != 0 || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "runs the server as other users under strace: needs root and strace";
    Daemon d;
    d.box.write_config(support::config_text(d.port, support::free_port()));
    ASSERT_EQ(chmod(d.box.work.path().c_str(), 0755), 0);
    const std::string no_such_file = std::strerror(ENOENT);
    const std::vector<HomeCase> cases = {
        {54321, std::nullopt, 1, "HOME is not set\n", ""},
        {54321, "", 1, "HOME is not set\n", ""},
        {65534, std::nullopt, 0, "fopen: " + no_such_file + "\n", "\"/nonexistent/.tarnwick\", 0755"},
        {65534, "", 0, "fopen: " + no_such_file + "\n", "\"/nonexistent/.tarnwick\", 0755"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.uid) + (c.home ? " HOME=" : " no HOME"));
        const AsUser r = run_as(c.uid, c.home, d.box.work.path());
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == c.exit_status) << r.status << "\n" << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        if (c.run_dir_made.empty())
            EXPECT_EQ(r.trace.find("mkdir"), std::string::npos) << r.trace;
        else
            EXPECT_NE(r.trace.find(c.run_dir_made), std::string::npos) << r.trace;
    }
}

// A live process of another user (the probe meets EPERM) counts as running.
TEST(SingleInstance, LiveProcessOfAnotherUser) {
    if (geteuid() != 0 || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "runs the server as other users under strace: needs root and strace";
    Daemon d;
    d.box.write_config(support::config_text(d.port, support::free_port()));
    ASSERT_EQ(mkdir(d.box.run_dir().c_str(), 0755), 0);
    ASSERT_TRUE(support::write_file(d.box.pid_path(), std::to_string(getpid()) + "\n"));
    for (const std::string &dir : {d.box.work.path(), d.box.home.path()})
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const AsUser r = run_as(65534, d.box.home.path(), d.box.work.path());
    EXPECT_EQ(r.out, std::string(binary_path()) + " already runs (pid " + std::to_string(getpid()) + ")\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(access(d.box.log_path().c_str(), F_OK), -1);
}

}  // namespace
