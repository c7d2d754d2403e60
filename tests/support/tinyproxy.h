// The real HTTP proxy: Debian's tinyproxy, run in the foreground on loopback.
#pragma once

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace support {

struct TinyproxyOptions {
    std::optional<std::string> user;      // with password: "BasicAuth user password"
    std::optional<std::string> password;
    int timeout_seconds = 60;             // tinyproxy's idle Timeout
    std::string log_level = "Info";
    std::vector<std::string> extra_lines; // appended to the generated config verbatim
};

// tinyproxy -d -c <dir>/tinyproxy.conf on 127.0.0.1:<free port>, allowing
// 127.0.0.1 only, its output in <dir>/tinyproxy.log. No User line: it keeps
// running as the invoking user. stop() (also run by the destructor) ends it by
// pid: SIGTERM, then SIGKILL after a bound.
class Tinyproxy {
public:
    Tinyproxy() = default;
    ~Tinyproxy() { (void)stop(); }
    Tinyproxy(const Tinyproxy &) = delete;
    Tinyproxy &operator=(const Tinyproxy &) = delete;

    // Starts it and waits until its port accepts connections.
    ::testing::AssertionResult start(const std::string &dir, const TinyproxyOptions &options = {});
    ::testing::AssertionResult stop();

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &log_path() const { return log_path_; }

private:
    ::testing::AssertionResult launch(const std::string &dir, const TinyproxyOptions &options);

    pid_t pid_ = 0;
    uint16_t port_ = 0;
    std::string log_path_;
};

}  // namespace support
