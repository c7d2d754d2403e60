// allow owner as another local user meets it: the server runs as one
// unprivileged user, and clients come from that user and from another.
// Where the system can't tell users apart, its banner says so and everyone
// is served; the test takes the build under test at its banner's word.
#include "reliability/helpers.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace reliability;
using namespace std::chrono_literals;

// Not the shortage test's uid: its process limit counts every process of that uid.
constexpr uid_t owner_uid = 4244;
constexpr uid_t stranger_uid = 4245;

std::vector<std::string> as_user(uid_t uid, const std::vector<std::string> &command)
{
    const std::string id = std::to_string(uid);
    std::vector<std::string> words = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"};
    words.insert(words.end(), command.begin(), command.end());
    return words;
}

// Sends "ping"; prints its own port, then what came back before the end.
const char *const client_program = R"(
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
print(s.getsockname()[1], flush=True)
got = b""
try:
    s.sendall(b"ping")
    while len(got) < 4 and (chunk := s.recv(4 - len(got))):
        got += chunk
except OSError:
    pass
print(got.decode())
)";

struct ClientRun {
    uint16_t port = 0;
    std::string answer;
};

ClientRun run_client(uid_t uid, uint16_t port, const TempDir &dir)
{
    const std::string path = dir.file("client-" + std::to_string(uid));
    const Fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const pid_t pid = spawn(as_user(uid, {"/usr/bin/python3", "-c", client_program, std::to_string(port)}),
                            {"PATH=/usr/bin:/bin"}, "/", out.get(), STDERR_FILENO);
    int status = -1;
    EXPECT_TRUE(pid > 0 && wait_for_exit(pid, 15000ms, &status) && status == 0) << "the client of uid " << uid;
    const std::string text = read_file(path);
    const std::size_t line = text.find('\n');
    const std::size_t end = text.find('\n', line + 1);
    return {static_cast<uint16_t>(std::atoi(text.c_str())),
            line == std::string::npos || end == std::string::npos ? "" : text.substr(line + 1, end - line - 1)};
}

// Under allow owner (the default) the stranger's connection ends at once with
// its line and never reaches the proxy; under allow any both are served.
TEST(OwnerCheck, AnotherUsersClientReachesTheProxyOnlyWhereAllowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "runs the server and its clients as two unprivileged users: needs root";
    const pid_t probe = spawn(as_user(owner_uid, {"/usr/bin/test", "-x", binary_path()}), {}, "/", 2, 2);
    int probe_status = -1;
    if (probe < 0 || !wait_for_exit(probe, 5000ms, &probe_status) || probe_status != 0)
        GTEST_SKIP() << "uid " << owner_uid << " can't run " << binary_path();

    for (const bool owner : {true, false}) {
        SCOPED_TRACE(owner ? "allow owner" : "allow any");
        FakeProxy proxy(proxy_reply("HTTP/1.0 200 OK\r\n\r\n", AfterReply::echo));
        Sandbox box;
        const uint16_t port = free_port();
        box.write_config(config_text(port, proxy.port()) + (owner ? "" : "allow any\n"));
        ASSERT_EQ(chown(box.home.path().c_str(), owner_uid, owner_uid), 0);
        ASSERT_EQ(chmod(box.work.path().c_str(), 0755), 0);
        RunOptions options = box.options();
        options.wrapper = as_user(owner_uid, {});
        Server server;
        ASSERT_TRUE(start_server({}, options, server));
        const std::string allow = log_messages(box.log_path()).back();
        const bool refuses = allow == allow_owner_line;
        if (!owner) {
            EXPECT_EQ(allow, "  allow    any");
        } else if (!refuses) {
            // The binary built here has the check; only another one may lack it.
            EXPECT_TRUE(allow == allow_untold_line && (std::getenv("TARNWICK_BINARY") || !TARNWICK_HAVE_SOCK_DIAG))
                << allow;
        }

        EXPECT_EQ(run_client(owner_uid, port, box.work).answer, "ping") << read_file(box.log_path());
        const ClientRun stranger = run_client(stranger_uid, port, box.work);
        const std::string pid = std::to_string(client_pid(box.log_path(), stranger.port));
        ASSERT_TRUE(wait_for_log(box.log_path(), "*** child " + pid + " exited with status 0"));
        EXPECT_EQ(stranger.answer, refuses ? "" : "ping");
        if (refuses) {
            EXPECT_EQ(count_log_lines(box.log_path(), pid + " connection refused: not the owner's (uid 4245)"), 1)
                << read_file(box.log_path());
        }
        EXPECT_EQ(proxy.connections(), refuses ? 1u : 2u);
        EXPECT_TRUE(stop_server(server.pid));
    }
}

}  // namespace
