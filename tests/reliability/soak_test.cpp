// The long run: 5000 connections one after another and then 200 open at
// once, all through the real tinyproxy to an echo service, each carrying
// data whose checksum must come back unchanged. Afterwards the log accounts
// for every connection and the server is as it was before.
#include "reliability/helpers.h"

#include <algorithm>
#include <map>
#include <set>

using namespace reliability;
using namespace std::chrono_literals;

namespace {

constexpr int sequential = 5000;
constexpr int at_once = 200;
// Connections in small waves: the figures are of many tunnels, not of a burst.
constexpr int wave = 2;
// Figures taken after this many connections, once the server has touched
// everything it is going to touch.
constexpr int warm_up = 50;

// Mostly small: tinyproxy itself adds some 40 ms (Nagle against delayed
// acknowledgements) to any exchange of more than about 2 KiB, so the many
// sequential ones stay below that, every hundredth carries 256 KiB, and the
// ones at once carry 16 KiB and more.
std::size_t payload_size(int index)
{
    const auto i = static_cast<std::size_t>(index);
    if (index >= sequential)
        return 16 * 1024 + i % at_once * 37;
    return index % 100 == 99 ? 256 * 1024 + i : 1 + i * 7919 % 2048;
}

struct Snapshot {
    std::vector<std::string> descriptors;
    long data_kb = 0, rss_kb = 0;
};

Snapshot take_snapshot(pid_t server)
{
    return {open_descriptors(server), status_kb(server, "VmData"), status_kb(server, "VmRSS")};
}

// Sends the payload and checks that the same bytes come back.
::testing::AssertionResult round_trip(int fd, int index)
{
    const std::string payload = pattern(0, payload_size(index), static_cast<uint32_t>(index));
    if (!send_all(fd, payload))
        return ::testing::AssertionFailure() << "connection " << index << ": send failed";
    const std::string back = read_n(fd, payload.size(), 10s);
    if (back.size() != payload.size() || checksum(back) != checksum(payload))
        return ::testing::AssertionFailure() << "connection " << index << ": " << back.size() << " of "
                                             << payload.size() << " bytes came back, checksum "
                                             << (checksum(back) == checksum(payload) ? "equal" : "differs");
    return ::testing::AssertionSuccess();
}

TEST(Soak, SequentialThenAtOnceThroughTinyproxy)
{
    TcpServer echo([](Connection &conn) { echo_until_closed(conn); });
    TinyproxyOptions proxy;
    proxy.log_level = "Warning";
    proxy.extra_lines = {"MaxClients " + std::to_string(2 * at_once)};
    Session session;
    ASSERT_TRUE(session.start(echo.port(), 0, "", proxy));
    const pid_t server = session.server.pid;
    std::multiset<uint64_t> carried;
    Snapshot before;

    for (int i = 0; i < sequential; ++i) {
        if (i == warm_up) {
            ASSERT_TRUE(wait_for_log(session.log(), "exited with status 0", warm_up, 10s));
            before = take_snapshot(server);
        }
        Fd client = session.connect();
        ASSERT_TRUE(client) << "connection " << i;
        ASSERT_TRUE(round_trip(client.get(), i));
        carried.insert(payload_size(i));
    }

    std::vector<Fd> open;
    for (int i = 0; i < at_once; i += wave) {
        for (int k = i; k < i + wave; ++k) {
            open.push_back(session.connect());
            ASSERT_TRUE(open.back()) << "connection " << sequential + k;
        }
        // Both are through the tunnel before the next wave knocks.
        for (int k = i; k < i + wave; ++k) {
            ASSERT_TRUE(send_all(open[k].get(), "hello"));
            ASSERT_EQ(read_n(open[k].get(), 5, 10s), "hello") << "connection " << sequential + k;
        }
    }
    const auto children = children_of(server);
    EXPECT_EQ(std::count_if(children.begin(), children.end(), [](const auto &p) { return p.state != 'Z'; }),
              at_once);
    // All 200 carry their data at the same time: every payload goes out
    // before any is read back.
    for (int k = 0; k < at_once; ++k)
        ASSERT_TRUE(send_all(open[k].get(), pattern(0, payload_size(sequential + k), sequential + k)));
    for (int k = 0; k < at_once; ++k) {
        const std::string payload = pattern(0, payload_size(sequential + k), sequential + k);
        const std::string back = read_n(open[k].get(), payload.size(), 10s);
        ASSERT_EQ(checksum(back), checksum(payload)) << "connection " << sequential + k << ": " << back.size()
                                                     << " of " << payload.size() << " bytes";
        carried.insert(5 + payload.size());
    }
    open.clear();

    const int total = sequential + at_once;
    ASSERT_TRUE(wait_for_log(session.log(), "exited with status 0", total, 60s));
    ASSERT_TRUE(wait_until([&] { return children_of(server).empty(); }, 5s));

    // One "connection from", tunnel, end, totals and child line per connection, nothing else.
    std::multiset<uint64_t> totals_seen;
    // Process ids come round again over thousands of forks: count them.
    std::multiset<std::string> tunnel_pids, ended_pids;
    std::map<std::string, int> kinds;
    const std::regex totals_line("(\\d+) bytes in, (\\d+) bytes out, \\d+ seconds");
    const std::regex child_line("child (\\d+) exited with status 0");
    std::smatch match;
    const auto lines = log_lines(session.log());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const LogLine line = parse_log_line(lines[i]);
        const bool server_line = line.prefixed && line.tag == "***", client_line = line.prefixed && !server_line;
        if (server_line && (line.message.starts_with("STARTED as ") || line.message.starts_with("  "))) {
            ++kinds["banner"];
        } else if (server_line && std::regex_match(line.message, match, child_line)) {
            ended_pids.insert(match[1].str());
            ++kinds["child exited"];
        } else if (client_line && std::regex_match(line.message, match, totals_line)) {
            EXPECT_EQ(match[1].str(), match[2].str()) << lines[i];
            totals_seen.insert(std::stoull(match[1].str()));
            tunnel_pids.insert(line.tag);
            ++kinds["totals"];
        } else if (client_line && line.message.starts_with("connection from 127.0.0.1:")) {
            ++kinds["from"];
        } else if (client_line && line.message.starts_with("connection through proxy 127.0.0.1:")) {
            ++kinds["tunnel"];
        } else if (client_line && line.message == "connection closed by client") {
            ++kinds["closed by client"];
        } else {
            ADD_FAILURE() << "unexpected log line: " << lines[i];
        }
    }
    EXPECT_EQ(kinds, (std::map<std::string, int>{{"banner", 8},
                                                 {"child exited", total},
                                                 {"closed by client", total},
                                                 {"from", total},
                                                 {"totals", total},
                                                 {"tunnel", total}}));
    EXPECT_TRUE(totals_seen == carried) << "the totals lines don't match the bytes carried";
    EXPECT_TRUE(tunnel_pids == ended_pids) << "the client processes with totals are not those that ended";

    const Snapshot after = take_snapshot(server);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_TRUE(server_descriptors_clean(server, session.box, session.listen_port));
    EXPECT_EQ(after.data_kb, before.data_kb);
    EXPECT_LE(after.rss_kb, before.rss_kb + 16) << "kB";
    RecordProperty("connections", total);
    std::printf("soak: %d connections, server data %ld -> %ld kB, rss %ld -> %ld kB\n", total, before.data_kb,
                after.data_kb, before.rss_kb, after.rss_kb);
}

}  // namespace
