// The config file reader: line splitting, white space, comments, keys, the
// line length limit, zero bytes, a missing final line feed and CR LF files.
#include "config_test_util.h"

#include <vector>

using config_test::read_bytes;
using config_test::reference_base64;
using namespace std::string_literals;

namespace {

struct ReaderCase {
    std::string name;
    std::string input;
    Settings want;
    std::string err = "";
};

std::ostream &operator<<(std::ostream &os, const ReaderCase &c) { return os << c.name; }

Settings listen_only(std::string host, int32_t port) {
    Settings s;
    s.listen_host = std::move(host);
    s.listen_port = port;
    return s;
}

Settings auth_only(std::string_view value) {
    Settings s;
    s.auth_token = reference_base64(value);
    return s;
}

Settings with_listen(Settings s) {
    s.listen_host = "1.2.3.4";
    s.listen_port = 5;
    return s;
}

const std::string a1017(1017, 'a'), a1018(1018, 'a'), x1022(1022, 'x');

std::vector<ReaderCase> reader_cases() {
    Settings all;
    all.listen_host = "127.0.0.1", all.listen_port = 8080;
    all.proxy_host = "proxy.example", all.proxy_port = 3128;
    all.external_host = "ext.example", all.external_port = 443;
    all.auth_token = "dXNlcjpwYXNz";

    Settings keys_only;
    keys_only.listen_host = "", keys_only.proxy_host = "", keys_only.auth_token = "";

    Settings separators;
    separators.listen_host = "1.2.3.4", separators.listen_port = 5;
    separators.proxy_host = "5.6.7.8", separators.proxy_port = 9;
    separators.external_host = "e", separators.external_port = 1;
    separators.auth_token = "eA==";

    Settings later;
    later.listen_host = "2.2.2.2", later.listen_port = 2, later.auth_token = "Yg==";

    Settings external_only;
    external_only.external_host = "e", external_only.external_port = 1;

    Settings crlf = listen_only("1.2.3.4", 5);
    crlf.auth_token = "dXNlcjpwYXNzDQ==";

    return {
        {"AllKeys", "listen 127.0.0.1:8080\nproxy proxy.example:3128\nexternal ext.example:443\nauth user:pass\n", all},
        {"EmptyFile", "", {}},
        {"CommentAtFirstByte", "#listen 1.2.3.4:5\n#\n# proxy 1.1.1.1:1\n", {}},
        {"HashAfterBlankIsAKey", "  #listen 1.2.3.4:5\n", {}, "unknown option #listen\n"},
        {"EmptyLinesIgnored", "\n\nlisten 1.2.3.4:5\n\n\n", listen_only("1.2.3.4", 5)},
        {"LeadingAndSeparatingWhiteSpace", "\t\v\f\r listen\t\v\f\r 10.0.0.1:5\n", listen_only("10.0.0.1", 5)},
        {"EachWhiteSpaceEndsTheKey", "listen\t1.2.3.4:5\nproxy\v5.6.7.8:9\nexternal\fe:1\nauth\rx\n", separators},
        {"HighByteIsNotWhiteSpaceInValue", "listen \xa0" "1.2.3.4:5\n", listen_only("\xa0" "1.2.3.4", 5)},
        {"HighByteIsNotWhiteSpaceInKey", "listen\xa0" "1.2.3.4:5\n", {}, "unknown option listen\\xA01.2.3.4:5\n"},
        {"HighByteStartsKey", "\x85listen 1.2.3.4:5\n", {}, "unknown option \\x85listen\n"},
        // Shown escaped: a key can hold a terminal's control sequences.
        {"ControlBytesInKeyEscaped", "\x1b[2J\\x1B x\n", {}, "unknown option \\x1B[2J\\x5Cx1B\n"},
        {"ValueIsVerbatimAfterLeadingBlanks", "auth  a b \t\n", auth_only("a b \t")},
        {"TrailingBlanksEndThePort", "listen   1.2.3.4:5   \n", listen_only("1.2.3.4", 5)},
        {"BlankBeforeColonStaysInHost", "listen 1.2.3.4 :5\n", listen_only("1.2.3.4 ", 5)},
        {"ValueStartingWithColon", "listen :5\n", listen_only("", 5)},
        {"KeyWithoutValue", "listen\nproxy   \nauth\n", keys_only},
        {"LaterKeyReplacesEarlier", "listen 1.1.1.1:1\nauth a\nlisten 2.2.2.2:2\nauth b\n", later},
        {"LaterKeyWithoutPort", "listen 1.1.1.1:1\nlisten 2.2.2.2\n", listen_only("2.2.2.2", 0)},
        {"UnknownKeysReportedAndReadingGoesOn",
         "Listen 1.2.3.4:5\nlisten=1.2.3.4:6\nfoo bar baz\nexternal e:1\nAUTH x\n", external_only,
         "unknown option Listen\nunknown option listen=1.2.3.4:6\nunknown option foo\nunknown option AUTH\n"},
        {"LineOfBlanksHasEmptyKey", "   \t \n", {}, "unknown option \n"},
        {"ZeroByteEndsLineText", "auth ab\0cd\n"s, auth_only("ab")},
        {"ZeroByteEndsKey", "listen\0 1.2.3.4:5\n"s, listen_only("", 0)},
        {"ZeroByteAtLineStart", "\0listen 1.2.3.4:5\nexternal e:1\n"s, external_only, "unknown option \n"},
        {"LastLineWithoutLineFeedIgnored", "external e:1\nlisten 1.2.3.4:5", external_only},
        {"CrLfFile", "listen 1.2.3.4:5\r\n\r\nauth user:pass\r\n", crlf, "unknown option \n"},
        // The line limit: 1023 bytes, then one byte dropped.
        {"Line1022", "auth " + a1017 + "\nlisten 1.2.3.4:5\n", with_listen(auth_only(a1017))},
        {"Line1023", "auth " + a1018 + "\nlisten 1.2.3.4:5\n", with_listen(auth_only(a1018))},
        {"Line1024DropsLastByte", "auth " + a1018 + "b\nlisten 1.2.3.4:5\n", with_listen(auth_only(a1018))},
        {"Line1025RestIsALine", "auth " + a1018 + "bc\n", auth_only(a1018), "unknown option c\n"},
        {"DroppedByteThenSetting", "auth " + a1018 + "Zlisten 1.2.3.4:5\n", with_listen(auth_only(a1018))},
        {"LongCommentRestIsASetting", "#" + x1022 + "Zlisten 1.2.3.4:5\n", listen_only("1.2.3.4", 5)},
        {"LongCommentRestIsUnknown", "#" + x1022 + "Zmore words\n", {}, "unknown option more\n"},
        {"LongCommentRestIsAComment", "#" + x1022 + "Z#listen 1.2.3.4:5\n", {}},
        {"Last1023BytesWithoutLineFeedTaken", "auth " + a1018, auth_only(a1018)},
        {"Last1022BytesWithoutLineFeedIgnored", "auth " + a1017, {}},
        {"LongLastLineKeepsCompletePieces", "auth " + a1018 + "Zlisten 1.2.3.4:5", auth_only(a1018)},
    };
}

class ReaderTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderTest, FillsSettings) {
    const ReaderCase &c = GetParam();
    config_test::ReadResult got = read_bytes(c.input);
    EXPECT_EQ(got.settings.listen_host, c.want.listen_host);
    EXPECT_EQ(got.settings.listen_port, c.want.listen_port);
    EXPECT_EQ(got.settings.proxy_host, c.want.proxy_host);
    EXPECT_EQ(got.settings.proxy_port, c.want.proxy_port);
    EXPECT_EQ(got.settings.external_host, c.want.external_host);
    EXPECT_EQ(got.settings.external_port, c.want.external_port);
    EXPECT_EQ(got.settings.auth_token, c.want.auth_token);
    EXPECT_EQ(got.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Lines, ReaderTest, ::testing::ValuesIn(reader_cases()),
                         [](const auto &info) { return info.param.name; });

// The credential is encoded whole, whatever its length up to the line limit.
TEST(ReaderAuth, LongValuesEncodedWhole) {
    for (std::size_t length : {93u, 94u, 700u, 1018u}) {
        std::string value;
        for (std::size_t i = 0; i < length; ++i)
            value += static_cast<char>(33 + (i * 7) % 94);
        SCOPED_TRACE(length);
        config_test::ReadResult got = read_bytes("auth " + value + "\n");
        ASSERT_TRUE(got.settings.auth_token.has_value());
        EXPECT_EQ(got.settings.auth_token->size(), (length + 2) / 3 * 4);
        EXPECT_EQ(*got.settings.auth_token, reference_base64(value));
        EXPECT_EQ(got.err, "");
    }
}

// clear_settings forgets what an earlier read set.
TEST(ReaderAuth, ClearSettingsForgetsEverything) {
    read_bytes("listen 1.1.1.1:1\nproxy 2.2.2.2:2\nexternal e:3\nauth x\n");
    clear_settings();
    EXPECT_FALSE(settings.listen_host || settings.proxy_host || settings.external_host || settings.auth_token);
    EXPECT_EQ(settings.listen_port | settings.proxy_port | settings.external_port, 0);
}

}  // namespace
