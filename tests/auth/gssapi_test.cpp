// Kerberos tokens from the system's GSSAPI library, loaded at run time, for
// tickets from a KDC of our own on loopback.

#include "auth/gssapi.h"
#include "support/support.h"

#include <gmock/gmock.h>

namespace {

using testing::HasSubstr;

// An SPNEGO initial token is an [APPLICATION 0] (0x60), then its length,
// then the mechanism's OID, 1.3.6.1.5.5.2.
const std::string spnego_oid_tlv = "\x06\x06\x2b\x06\x01\x05\x05\x02";

class KerberosToken : public testing::Test {
protected:
    static void SetUpTestSuite() {
        load_gssapi();
        if (!gssapi_available())
            return;
        dir = new support::TempDir;
        kdc = new support::Kdc;
        started = kdc->start(dir->path());
        kdc->set_env();
    }
    static void TearDownTestSuite() {
        delete kdc;
        delete dir;
    }
    void SetUp() override {
        if (!gssapi_available())
            GTEST_SKIP() << gssapi_banner();
        ASSERT_TRUE(started);
    }
    void TearDown() override { kerberos_end(login); }

    std::optional<std::string> first_token(std::string_view host) {
        kerberos_end(login);
        error.clear();
        return kerberos_token(login, host, "", error);
    }

    static inline support::TempDir *dir = nullptr;
    static inline support::Kdc *kdc = nullptr;
    static inline testing::AssertionResult started = testing::AssertionFailure();
    KerberosLogin login;
    std::string error;
};

// The login a Negotiate proxy on localhost gets, and what becomes of the
// proxy's answers to it.
TEST_F(KerberosToken, TicketGivesSpnegoTokenAndTheContextContinues) {
    ASSERT_TRUE(kdc->kinit());
    const std::optional<std::string> token = first_token("localhost");
    ASSERT_TRUE(token) << error;
    ASSERT_GT(token->size(), 100u);
    EXPECT_EQ(static_cast<unsigned char>((*token)[0]), 0x60);
    EXPECT_THAT(token->substr(0, 16), HasSubstr(spnego_oid_tlv));
    EXPECT_TRUE(login.started);
    EXPECT_NE(login.context, nullptr);
    EXPECT_THAT(support::read_file(dir->file("kdc.log")), HasSubstr("for HTTP/localhost@TEST.LAB"));
    printf("SPNEGO token for HTTP@localhost: %zu bytes\n", token->size());

    // A bare Negotiate after our token is a refusal, and a token that is
    // none the library's error; neither is sent on.
    EXPECT_FALSE(kerberos_token(login, "localhost", "", error));
    EXPECT_THAT(error, HasSubstr("refused"));
    error.clear();
    EXPECT_FALSE(kerberos_token(login, "localhost", std::string(40, '\x7f'), error));
    EXPECT_FALSE(error.empty());

    kerberos_end(login);
    EXPECT_EQ(login.context, nullptr);
    EXPECT_FALSE(login.started);
}

// Each login reads the ticket cache anew: a kinit after a failed login is
// what the next one uses.
TEST_F(KerberosToken, EmptyCacheNamesTheMissingCredentialsUntilKinit) {
    kdc->kdestroy();
    EXPECT_FALSE(first_token("localhost"));
    EXPECT_THAT(error, HasSubstr("No Kerberos credentials available"));
    EXPECT_THAT(error, HasSubstr(kdc->cache_path()));
    ASSERT_TRUE(kdc->kinit());
    EXPECT_TRUE(first_token("localhost")) << error;
}

// A proxy given by its address, with the library told not to look names up:
// no such service in the realm, in the KDC's words.
TEST_F(KerberosToken, ServiceWithoutPrincipalIsNotFound) {
    ASSERT_TRUE(kdc->kinit());
    EXPECT_FALSE(first_token("127.0.0.1"));
    EXPECT_THAT(error, HasSubstr("HTTP/127.0.0.1@TEST.LAB not found in Kerberos database"));
    EXPECT_FALSE(login.started);
}

}  // namespace
