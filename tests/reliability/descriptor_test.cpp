// What the server and its client processes hold open, seen through /proc.
#include "reliability/helpers.h"

using namespace reliability;
using namespace std::chrono_literals;

namespace {

// Two clients relaying at once through tinyproxy: each process holds its own
// two connections and nothing of the server's or of the other client's; the
// server keeps no accepted socket.
TEST(Descriptors, EachClientHoldsOnlyItsOwnConnections)
{
    EchoServer echo;
    Session session;
    ASSERT_TRUE(session.start(echo.port()));
    Fd clients[2] = {session.connect(), session.connect()};
    pid_t pids[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(clients[i]);
        ASSERT_TRUE(send_all(clients[i].get(), "round trip"));
        ASSERT_EQ(read_n(clients[i].get(), 10), "round trip");
        pids[i] = session.client_pid(local_port(clients[i].get()));
        ASSERT_NE(pids[i], 0);
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(client_descriptors_clean(pids[i], session.box, local_port(clients[i].get()), session.proxy_port));
    EXPECT_TRUE(server_descriptors_clean(session.server.pid, session.box, session.listen_port));

    clients[0].reset();
    clients[1].reset();
    ASSERT_TRUE(wait_for_log(session.log(), "exited with status 0", 2, 10s));
    for (const pid_t pid : pids)
        EXPECT_TRUE(session.ended_cleanly(pid, {tunnel_open, "connection closed by client", totals(10, 10)}));
}

// While the proxy has not answered yet, the client process already holds
// exactly its two connections.
TEST(Descriptors, ClientWaitingForTheProxyHoldsOnlyItsOwnConnections)
{
    ProxyScript silent = proxy_reply("", AfterReply::hold);
    silent.reply[0].delay = 60s;
    FakeProxy proxy(silent);
    Session session;
    ASSERT_TRUE(session.start(9, proxy.port()));
    Fd client = session.connect();
    ASSERT_TRUE(client);
    const pid_t pid = session.client_pid(local_port(client.get()));
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(proxy.wait_for_requests(1));
    EXPECT_TRUE(client_descriptors_clean(pid, session.box, local_port(client.get()), proxy.port()));
    proxy.stop();
    EXPECT_TRUE(session.ended_cleanly(pid, {"didn't detect proxy response", "handle_client\\(\\) can't open proxy connection"}));
}

}  // namespace
