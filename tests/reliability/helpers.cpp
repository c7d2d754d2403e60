#include "reliability/helpers.h"

#include <algorithm>
#include <cstring>
#include <regex>
#include <unistd.h>

namespace reliability {

namespace {

std::string joined(const std::vector<std::string> &items)
{
    std::string text;
    for (const auto &item : items)
        text += "\n  " + item;
    return text;
}

::testing::AssertionResult descriptors_are(pid_t pid, std::vector<std::string> expected)
{
    std::sort(expected.begin(), expected.end());
    const std::vector<std::string> actual = open_descriptors(pid);
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "process " << pid << " holds:" << joined(actual)
                                         << "\nexpected:" << joined(expected);
}

}  // namespace

::testing::AssertionResult server_descriptors_clean(pid_t server, const Sandbox &box, uint16_t listen_port)
{
    std::vector<std::string> pipes;
    for (const auto &[fd, target] : descriptor_targets(server))
        if (target.starts_with("pipe:"))
            pipes.push_back(target);
    if (pipes.size() == 2 && pipes[0] != pipes[1])
        return ::testing::AssertionFailure() << "the server's pipe ends belong to two pipes: " << pipes[0] << ", "
                                             << pipes[1];
    return descriptors_are(server, {"/dev/null", box.log_path(), box.log_path(), box.log_path(), box.pid_path(),
                                    "listen 127.0.0.1:" + std::to_string(listen_port), "pipe read", "pipe write"});
}

::testing::AssertionResult client_descriptors_clean(pid_t client, const Sandbox &box, uint16_t client_port,
                                                    uint16_t proxy_port)
{
    return descriptors_are(client, {"/dev/null", box.log_path(), box.log_path(),
                                    "tcp to 127.0.0.1:" + std::to_string(client_port),
                                    "tcp to 127.0.0.1:" + std::to_string(proxy_port)});
}

long status_kb(pid_t pid, const char *field)
{
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find(std::string("\n") + field + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(field) + 2);
}

Source::Source(uint64_t total)
    : total_(total), server_([this](Connection &conn) {
          constexpr std::size_t chunk = 64 * 1024;
          for (uint64_t offset = 0; (total_ == 0 || offset < total_) && !conn.stop_requested();) {
              const std::size_t n = total_ == 0 ? chunk : static_cast<std::size_t>(std::min<uint64_t>(chunk, total_ - offset));
              if (!send_all(conn.fd, pattern(offset, n, 0)))
                  return;
              offset += n;
              sent_ += n;
          }
      })
{
}

Sink::Sink()
    : server_([this](Connection &conn) {
          hold_until_closed(conn, [this](std::string_view data) { received_ += data.size(); });
      })
{
}

Session::~Session()
{
    if (server.pid != 0) {
        EXPECT_TRUE(stop());
    }
}

::testing::AssertionResult Session::start(uint16_t external_port, uint16_t fake_proxy_port,
                                          std::string_view extra_config, const TinyproxyOptions &proxy_options)
{
    proxy_port = fake_proxy_port;
    if (proxy_port == 0) {
        if (auto started = tinyproxy.start(box.work.path(), proxy_options); !started)
            return started;
        proxy_port = tinyproxy.port();
    }
    // The listen port may be taken between free_port() and the bind: try again.
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < 3 && !result; ++attempt) {
        listen_port = free_port();
        box.write_config(config_text(listen_port, proxy_port, "127.0.0.1:" + std::to_string(external_port)) +
                         std::string(extra_config));
        result = start_server({}, box.options(), server);
        if (result)
            result = wait_until([&] { return open_descriptors(server.pid).size() == 8; }, milliseconds(5000))
                         ? server_descriptors_clean(server.pid, box, listen_port)
                         : ::testing::AssertionFailure() << "the server never listened; log:\n" << read_file(log());
        if (!result && server.pid != 0)
            (void)stop();
    }
    return result;
}

::testing::AssertionResult Session::stop()
{
    const pid_t pid = server.pid;
    server.pid = 0;
    return stop_server(pid);
}

std::vector<std::string> Session::messages_of(pid_t client) const
{
    std::vector<std::string> messages;
    for (const auto &text : log_lines(log())) {
        const LogLine parsed = parse_log_line(text);
        if (parsed.prefixed && parsed.tag == std::to_string(client))
            messages.push_back(parsed.message);
    }
    return messages;
}

::testing::AssertionResult Session::ended_cleanly(pid_t client, const std::vector<std::string> &messages,
                                                  milliseconds timeout) const
{
    const std::string ended = "\\*\\*\\* child " + std::to_string(client) + " exited with status 0$";
    if (auto seen = wait_for_log_regex(log(), ended, 1, timeout); !seen)
        return seen;
    std::vector<std::string> logged = messages_of(client);
    if (!logged.empty() && logged.front().starts_with("connection from "))
        logged.erase(logged.begin());
    bool same = logged.size() == messages.size();
    for (std::size_t i = 0; same && i < messages.size(); ++i)
        same = std::regex_match(logged[i], std::regex(messages[i]));
    if (!same)
        return ::testing::AssertionFailure() << "client " << client << " logged:" << joined(logged)
                                             << "\nexpected:" << joined(messages) << "\nthe log:\n"
                                             << read_file(log());
    if (const auto left = children_of(server.pid); !left.empty())
        return ::testing::AssertionFailure() << left.size() << " process(es) of the server left, the first "
                                             << left.front().pid << " in state " << left.front().state;
    return server_descriptors_clean(server.pid, box, listen_port);
}

}  // namespace reliability
