// The built binary from outside: command line, config file errors, and the
// start-up banner of a server that starts.
#include "config/settings.h"
#include "support/support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

using namespace support;

namespace {

// Invoked under a name of its own, to tell argv[0] from the fixed program name.
constexpr const char *invoked_as = "tw-under-test";

const std::string version_text = "tarnwick 1.3\n";
const std::string usage_text =
    "usage: tarnwick [-fhv] [-c configfile] [-W host:port]\n\noptions:\n  -f\t\t: Stays in the foreground.\n"
    "  -h\t\t: This help.\n  -v\t\t: Shows version.\n"
    "  -c configfile\t: Use an alternate configfile.\n"
    "  -W host:port\t: Tunnels standard input and output to host:port.\n";

class CliTest : public ::testing::Test {
protected:
    RunOptions options() const {
        RunOptions o = box.options();
        o.argv0 = invoked_as;
        return o;
    }
    RunResult run(const std::vector<std::string> &args) const { return run_binary(args, options()); }
    // Replaces "{conf}" and "{missing}" in each word.
    std::vector<std::string> expand(std::vector<std::string> words) const {
        auto replace = [](std::string &w, std::string_view key, const std::string &value) {
            for (std::size_t at; (at = w.find(key)) != std::string::npos;)
                w.replace(at, key.size(), value);
        };
        for (auto &w : words) {
            replace(w, "{conf}", conf);
            replace(w, "{missing}", missing);
        }
        return words;
    }

    Sandbox box;
    uint16_t listen_port = free_port();
    std::string conf = box.write_config(config_text(listen_port, 3128), "complete.conf");
    std::string missing = box.work.file("missing.conf");
};

struct RejectCase {
    const char *name;
    std::vector<std::string> args;
    std::string err;           // "{missing}" is replaced by the missing file's path
    bool err_pattern = false;  // err is a regex: getopt's diagnostic is the C library's own wording
};

class RejectedCommandLine : public CliTest, public ::testing::WithParamInterface<RejectCase> {};

// Each refusal: the exact text on standard error, nothing on standard output,
// status 1, and nothing started (not even the run directory).
TEST_P(RejectedCommandLine, ExitsOneWithMessage) {
    const RejectCase &c = GetParam();
    RunResult r = run(expand(c.args));
    EXPECT_TRUE(r.exited && r.exit_status == 1) << r.describe();
    if (c.err_pattern)
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
    else
        EXPECT_EQ(r.err, expand({c.err})[0]);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(box.run_dir()));
    EXPECT_TRUE(live_descendants().empty());
}

const std::string bad_option = support::unknown_option_pattern(invoked_as, 'x') + support::regex_literal(usage_text);
const std::string no_argument =
    support::missing_argument_pattern(invoked_as, 'c') + support::regex_literal(usage_text);

INSTANTIATE_TEST_SUITE_P(
    Options, RejectedCommandLine,
    ::testing::Values(RejectCase{"Version", {"-v"}, version_text},
                      RejectCase{"Help", {"-h"}, usage_text},
                      RejectCase{"UnknownOption", {"-x"}, bad_option, true},
                      RejectCase{"UnknownOptionAfterConfig", {"-c", "{conf}", "-x", "-v"}, bad_option, true},
                      RejectCase{"ConfigWithoutArgument", {"-c"}, no_argument, true},
                      RejectCase{"ConfigThenVersion", {"-c", "{conf}", "-v"}, version_text},
                      RejectCase{"VersionThenConfig", {"-v", "-c", "{conf}"}, version_text},
                      RejectCase{"HelpBeatsLaterVersion", {"-h", "-v"}, usage_text},
                      RejectCase{"StreamTunnelWithoutPort", {"-W", "far.example", "-c", "{conf}"}, usage_text},
                      // -f among the -c options, joined to one: the -v after them decides.
                      RejectCase{"ForegroundAmongConfigs", {"-f", "-fc", "{conf}", "-c", "{conf}", "-v"}, version_text},
                      // -cf is -c with the file "f".
                      RejectCase{"JoinedConfigNamedF", {"-cf"}, "f: No such file or directory\n"},
                      RejectCase{"MissingFile", {"-c", "{missing}"}, "{missing}: No such file or directory\n"},
                      RejectCase{"LastConfigCounts", {"-c", "{conf}", "-c", "{missing}"},
                                 "{missing}: No such file or directory\n"},
                      RejectCase{"JoinedConfigMissing", {"-c{missing}"}, "{missing}: No such file or directory\n"},
                      // Parsing stops at "run": -v is never seen, and the default file is missing.
                      RejectCase{"WordStopsParsing", {"run", "-v"}, "tarnwick.conf: No such file or directory\n"}),
    [](const auto &info) { return std::string(info.param.name); });

struct IncompleteCase {
    const char *name;
    std::string config;
    std::string err;
};

class IncompleteConfig : public CliTest, public ::testing::WithParamInterface<IncompleteCase> {};

TEST_P(IncompleteConfig, ExitsOneWithMessage) {
    std::string path = box.write_config(GetParam().config, "incomplete.conf");
    RunResult r = run({"-c", path});
    EXPECT_TRUE(r.exited && r.exit_status == 1) << r.describe();
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(box.run_dir()));
}

const std::string incomplete = "config file incomplete\n";

INSTANTIATE_TEST_SUITE_P(
    Files, IncompleteConfig,
    ::testing::Values(
        IncompleteCase{"Empty", "", incomplete},
        IncompleteCase{"NoListen", "proxy 127.0.0.1:3128\nexternal e:22\n", incomplete},
        IncompleteCase{"NoProxy", "listen 127.0.0.1:2222\nexternal e:22\n", incomplete},
        IncompleteCase{"NoExternal", "listen 127.0.0.1:2222\nproxy 127.0.0.1:3128\n", incomplete},
        IncompleteCase{"LastLineWithoutLineFeed", "listen 127.0.0.1:2222\nproxy 127.0.0.1:3128\nexternal e:22",
                       incomplete},
        IncompleteCase{"ProxyWithoutPort", "listen 127.0.0.1:2222\nproxy 127.0.0.1\nexternal e:22\n", incomplete},
        IncompleteCase{"ListenPortZero", "listen 127.0.0.1:0\nproxy 127.0.0.1:3128\nexternal e:22\n", incomplete},
        IncompleteCase{"ExternalPortNotANumber", "listen 127.0.0.1:2222\nproxy 127.0.0.1:3128\nexternal e:ssh\n",
                       incomplete},
        IncompleteCase{"CommentedOut", "listen 127.0.0.1:2222\nproxy 127.0.0.1:3128\n#external e:22\n", incomplete},
        IncompleteCase{"ForwardWithoutFarEnd", "proxy 127.0.0.1:3128\nforward 127.0.0.1:2222\n", incomplete},
        IncompleteCase{"SixtyFiveTunnels", [] {
                           std::string text = "listen 127.0.0.1:2222\nproxy 127.0.0.1:3128\nexternal e:22\n";
                           for (int i = 0; i < 64; ++i)
                               text += "forward 127.0.0.1:" + std::to_string(3000 + i) + " e:22\n";
                           return text;
                       }(), "too many tunnels: at most 64\n"},
        IncompleteCase{"UnknownKeysFirst", "bogus 1\nListen 127.0.0.1:2222\nproxy 127.0.0.1:3128\nexternal e:22\n",
                       "unknown option bogus\nunknown option Listen\n" + incomplete},
        // A login the config can't have: the later auth-scheme line counts, like every key's.
        IncompleteCase{"UnknownAuthScheme", config_text(2222, 3128) + "auth-scheme ntlm\nauth-scheme NTLMv2\nauth a:b\n",
                       "unknown auth-scheme NTLMv2 (use any, basic, digest, ntlm or negotiate)\n"},
        IncompleteCase{"DigestWithoutAuth", config_text(2222, 3128) + "auth-scheme bogus\nauth-scheme digest\r\n",
                       "auth-scheme digest needs an auth line\n"},
        IncompleteCase{"NtlmWithoutAuth", config_text(2222, 3128) + "auth-scheme ntlm\n",
                       "auth-scheme ntlm needs an auth line\n"},
        // A typo must not start a server that serves whoever connects.
        IncompleteCase{"AllowNeitherOwnerNorAny",
                       "listen 127.0.0.1:2222\nproxy 127.0.0.1:3128\nexternal e:22\nallow all\n",
                       "allow must be owner or any\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// The banner: eight lines from the server process, after the "STARTED as"
// line that begins it. Returns them (messages only) and checks their tag.
std::vector<std::string> banner(const std::string &log_path) {
    std::vector<std::string> lines = log_lines(log_path), result;
    for (std::size_t i = 0; i < lines.size() && result.size() < 8; ++i) {
        LogLine line = parse_log_line(lines[i]);
        if (result.empty() && !line.message.starts_with("STARTED as"))
            continue;
        EXPECT_EQ(line.tag, "***") << lines[i];
        result.push_back(line.message);
    }
    return result;
}

TEST_F(CliTest, BannerShowsSettingsButNeverTheCredential) {
    std::string password(690, 'p');
    password.replace(0, 12, "Sesame-9f3kQ");
    std::string credential = "alice:" + password;  // 696 bytes
    std::string path = box.write_config(
        "listen 127.0.0.1:" + std::to_string(listen_port) +
            "\nproxy 127.0.0.1:70000\nexternal ext.example:-1\nauth " + credential + "\n",
        "banner.conf");
    Server server;
    ASSERT_TRUE(start_server({"-c", path}, options(), server));
    EXPECT_EQ(server.launch.out, "");
    EXPECT_EQ(server.launch.err, "");

    std::vector<std::string> want = {
        std::string("STARTED as ") + invoked_as + " -c " + path,
        "  pid      " + box.pid_path() + " [" + std::to_string(server.pid) + "]",
        "  log      " + box.log_path(),
        "  listen   127.0.0.1:" + std::to_string(listen_port),
        "  proxy    127.0.0.1:70000",
        "  external ext.example:4294967295",
    };
    std::vector<std::string> got = banner(box.log_path());
    ASSERT_EQ(got.size(), want.size() + 2) << read_file(box.log_path());
    EXPECT_TRUE(is_kerberos_banner_line(got[5])) << got[5];
    got.erase(got.begin() + 5);
    EXPECT_TRUE(got.back() == allow_owner_line || got.back() == allow_untold_line) << got.back();
    got.pop_back();
    EXPECT_EQ(got, want);
    std::string log = read_file(box.log_path());
    EXPECT_EQ(log.find("Sesame"), std::string::npos) << log;
    EXPECT_EQ(log.find(base64_encode(credential).substr(0, 12)), std::string::npos) << log;
    EXPECT_EQ(log.find("auth"), std::string::npos) << log;

    EXPECT_TRUE(stop_server(server.pid));
    EXPECT_TRUE(live_descendants().empty());
}

struct StartCase {
    const char *name;
    std::vector<std::string> args;  // "{conf}" is the complete config's path
    bool default_file;              // also write tarnwick.conf into the working directory
    std::string first_line;         // after "STARTED as <argv0>"
};

class StartedAs : public CliTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartedAs, FirstBannerLine) {
    const StartCase &c = GetParam();
    if (c.default_file)
        box.write_config(config_text(listen_port, 3128));
    Server server;
    ASSERT_TRUE(start_server(expand(c.args), options(), server));
    std::vector<std::string> lines = banner(box.log_path());
    ASSERT_EQ(lines.size(), 8u) << read_file(box.log_path());
    EXPECT_EQ(lines[0], "STARTED as " + std::string(invoked_as) + expand({c.first_line})[0]);
    EXPECT_EQ(lines[3], "  listen   127.0.0.1:" + std::to_string(listen_port));
    EXPECT_TRUE(stop_server(server.pid));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, StartedAs,
    ::testing::Values(StartCase{"NoArguments", {}, true, ""},
                      StartCase{"OneConfig", {"-c", "{conf}"}, false, " -c {conf}"},
                      // b is read; the line shows the first three words.
                      StartCase{"TwoConfigsLastCounts", {"-c", "{missing}", "-c", "{conf}"}, false, " -c {missing}"},
                      StartCase{"WordBeforeOptions", {"run", "-v"}, true, ""},
                      StartCase{"JoinedConfigAlone", {"-c{conf}"}, false, " -c{conf} "},
                      StartCase{"JoinedConfigThenWord", {"-c{conf}", "extra"}, false, " -c{conf} extra"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
