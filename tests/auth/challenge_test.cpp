// Proxy-Authenticate values as real proxies and servers write them, and as a
// careless or hostile one might.
#include "auth/challenge.h"

#include <gtest/gtest.h>

namespace {

// `Scheme[token68]{name=value;...}`, the challenges one after another.
std::string render(const std::vector<Challenge> &challenges) {
    std::string out;
    for (const Challenge &c : challenges) {
        out += (out.empty() ? "" : " ") + c.scheme;
        if (!c.token68.empty())
            out += "[" + c.token68 + "]";
        for (std::size_t i = 0; i < c.params.size(); ++i)
            out += (i == 0 ? "{" : ";") + c.params[i].first + "=" + c.params[i].second;
        out += c.params.empty() ? "" : "}";
    }
    return out;
}

struct HeaderCase {
    std::vector<std::string> values;
    const char *want;
};

TEST(ParseChallenges, Table) {
    const HeaderCase cases[] = {
        {{R"(Basic realm="simple", Newauth realm="apps", type=1, title="Login to \"apps\"")"},
         R"(Basic{realm=simple} Newauth{realm=apps;type=1;title=Login to "apps"})"},
        {{"NTLM TlRMTVNTUAACAAAA/+8=, Negotiate"}, "NTLM[TlRMTVNTUAACAAAA/+8=] Negotiate"},
        {{R"(NTLM,Basic realm="")"}, "NTLM Basic{realm=}"},
        {{R"(Digest realm="x", nonce="a,b", qop="auth,auth-int")"}, "Digest{realm=x;nonce=a,b;qop=auth,auth-int}"},
        // squid: one challenge per line.
        {{"Negotiate", "NTLM", R"(Digest realm="proxyrealm", nonce="87e0", qop="auth", stale=false)",
          R"(Basic realm="proxyrealm")"},
         "Negotiate NTLM Digest{realm=proxyrealm;nonce=87e0;qop=auth;stale=false} Basic{realm=proxyrealm}"},
        // The lines are one list: a parameter may start the next one.
        {{R"(Digest realm="r")", R"(nonce="n")"}, "Digest{realm=r;nonce=n}"},
        {{R"(DIGEST Realm="first", REALM=second,Nonce = "n" ,, )"}, "DIGEST{realm=first;nonce=n}"},
        {{"Negotiate abc==, realm=\"x\", Basic"}, "Negotiate[abc==] Basic"},
        // Nonsense is passed over, element by element.
        {{R"(realm=orphan, "quoted", Basic realm="a" trailing, bad(scheme, =x, NTLM)"}, "Basic NTLM"},
        {{R"(Digest realm="open)", R"(Basic realm="b\)"}, "Digest Basic"},
        {{"Digest opaque=\"a\rb\", nonce=\"n\\\x01\", qop=auth"}, "Digest{qop=auth}"},
        {{"", " , "}, ""},
    };
    for (const HeaderCase &c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(render(parse_challenges(c.values)), c.want);
    }
}

}  // namespace
