// The log line writer: timestamp (local time, zero-padded), the server and
// client tags, the message; and the escaping of outside text.
#include "log/log.h"
#include "process/state.h"
#include "support/files.h"
#include "support/log_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string format_stamp(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

// Runs with a time zone chosen so that the local time is now about 01:02:03:
// hour, minute and second each need their leading zero.
class LogMsgTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tz = std::getenv("TZ");
        saved_tz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        long utc_of_day = static_cast<long>(std::time(nullptr) % 86400);
        long shift = ((3600 + 2 * 60 + 3) - utc_of_day + 86400) % 86400;  // local = UTC + shift
        if (shift > 43200)
            shift -= 86400;
        long west = -shift;  // POSIX TZ offsets count westwards
        char zone[64];
        std::snprintf(zone, sizeof zone, "TST%c%ld:%02ld:%02ld", west < 0 ? '-' : '+', std::labs(west) / 3600,
                      std::labs(west) / 60 % 60, std::labs(west) % 60);
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        if (saved_tz_)
            setenv("TZ", saved_tz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        state.daemon_pid = 0;
    }

    // Logs through log_msg with standard error captured; checks the stamp
    // against the local time around the call and returns the parsed line.
    support::LogLine log_one(const std::function<void()> &write) {
        support::StderrCapture capture;
        std::time_t before = std::time(nullptr);
        write();
        std::time_t after = std::time(nullptr);
        std::string text = capture.text();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_TRUE(text.ends_with("\n")) << text;
        support::LogLine line = support::parse_log_line(text.substr(0, text.find('\n')));
        EXPECT_TRUE(line.prefixed) << text;
        EXPECT_TRUE(line.timestamp == format_stamp(before) || line.timestamp == format_stamp(after))
            << "got \"" << line.timestamp << "\", local time is " << format_stamp(after);
        return line;
    }

    std::optional<std::string> saved_tz_;
};

TEST_F(LogMsgTest, ZeroPaddedLocalTimestamp) {
    support::LogLine line = log_one([] { log_msg("tick"); });
    // Local time was set to 01:02:03 (give or take a few seconds).
    EXPECT_TRUE(std::regex_match(line.timestamp, std::regex(R"(\d{4}\.\d\d\.\d\d 01:02:0\d)"))) << line.timestamp;
}

TEST_F(LogMsgTest, ServerProcessTag) {
    state.daemon_pid = getpid();
    support::LogLine line = log_one([] { log_msg("listen   %s:%u", "127.0.0.1", 4294967295u); });
    EXPECT_EQ(line.tag, "***");
    EXPECT_EQ(line.message, "listen   127.0.0.1:4294967295");
}

TEST_F(LogMsgTest, NumericTagBeforeServerExistsOrInOtherProcess) {
    for (pid_t daemon : {pid_t(0), getpid() + 1}) {
        state.daemon_pid = daemon;
        support::LogLine line = log_one([] { log_msg("connection from %s:%i", "127.0.0.1", 40000); });
        EXPECT_EQ(line.tag, std::to_string(getpid()));
        EXPECT_EQ(line.message, "connection from 127.0.0.1:40000");
    }
}

TEST_F(LogMsgTest, ForkedClientWritesItsOwnPid) {
    state.daemon_pid = getpid();
    support::StderrCapture capture;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        log_msg("from the client");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    log_msg("from the server");
    std::vector<std::string> lines = support::complete_lines(capture.text());
    ASSERT_EQ(lines.size(), 2u) << capture.text();
    support::LogLine client = support::parse_log_line(lines[0]), server = support::parse_log_line(lines[1]);
    EXPECT_EQ(client.tag, std::to_string(child));
    EXPECT_EQ(client.message, "from the client");
    EXPECT_EQ(server.tag, "***");
    EXPECT_EQ(server.message, "from the server");
}

TEST_F(LogMsgTest, LongMessageWrittenWhole) {
    std::string big(20000, 'q');
    big += "END";
    support::LogLine line = log_one([&] { log_msg("%s", big.c_str()); });
    EXPECT_EQ(line.message, big);
}

// Printable ASCII (space to tilde) stays; every other byte becomes \xHH.
TEST(EscapeForLog, Table) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"HTTP/1.0 407 Proxy Authentication Required", "HTTP/1.0 407 Proxy Authentication Required"},
        // The backslash itself is escaped: "\\x0a" must not read as a line feed.
        {" ~!\"\\x0a", " ~!\"\\x5cx0a"},
        {"a\r\n", "a\\x0d\\x0a"},
        {"\t\x1f\x7f", "\\x09\\x1f\\x7f"},
        {"\x80\xff", "\\x80\\xff"},
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const auto &[raw, want] : cases) {
        SCOPED_TRACE(want);
        std::string got = escape_for_log(raw);
        // The hex digits' case is not fixed: compare them in lower case.
        for (std::size_t at = got.find("\\x"); at != std::string::npos && at + 4 <= got.size();
             at = got.find("\\x", at + 4))
            for (std::size_t i = at + 2; i < at + 4; ++i)
                got[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(got[i])));
        EXPECT_EQ(got, want);
    }
}

}  // namespace
