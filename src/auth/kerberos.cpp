// A Negotiate login's tokens, made by the loaded GSSAPI library.
#include "auth/gssapi.h"

#include "auth/gssapi_abi.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// The library reads these and never writes them.
gss_OID_desc spnego_oid{sizeof spnego_oid_bytes, const_cast<unsigned char *>(spnego_oid_bytes)};
gss_OID_desc kerberos_oid{sizeof kerberos_oid_bytes, const_cast<unsigned char *>(kerberos_oid_bytes)};
gss_OID_desc hostbased_service_oid{sizeof hostbased_service_oid_bytes,
                                   const_cast<unsigned char *>(hostbased_service_oid_bytes)};

// Neither delegation (the proxy must not act as the user) nor mutual
// authentication (a proxy's 200 carries no final token to check).
constexpr OM_uint32 no_flags = 0;
// The ticket's own lifetime.
constexpr OM_uint32 default_lifetime = 0;

// A status code's texts; one code may have several, each fetched in turn.
void append_status_texts(OM_uint32 status, int type, std::string &text)
{
    OM_uint32 message_context = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc message{0, nullptr};
        if (gssapi.display_status(&minor, status, type, GSS_C_NO_OID, &message_context, &message) !=
            GSS_S_COMPLETE)
            return;
        std::string_view piece(static_cast<const char *>(message.value), message.length);
        // MIT counts the terminating zero of some texts in their length.
        while (!piece.empty() && piece.back() == '\0')
            piece.remove_suffix(1);
        if (!text.empty() && !piece.empty())
            text += ": ";
        text += piece;
        gssapi.release_buffer(&minor, &message);
    } while (message_context != 0);
}

std::string status_text(OM_uint32 major, OM_uint32 minor)
{
    std::string text;
    append_status_texts(major, GSS_C_GSS_CODE, text);
    if (minor != 0)
        append_status_texts(minor, GSS_C_MECH_CODE, text);
    return text;
}

// The service HTTP@<host>, as a host-based name that the library turns into
// a principal the way its configuration says (canonical host name or not).
gss_name_t import_service_name(std::string_view proxy_host, std::string &error)
{
    std::string service = "HTTP@";
    service += proxy_host;
    gss_buffer_desc buffer{service.size(), service.data()};
    OM_uint32 minor = 0;
    gss_name_t name = GSS_C_NO_NAME;
    const OM_uint32 major = gssapi.import_name(&minor, &buffer, &hostbased_service_oid, &name);
    if (major & gss_error_mask) {
        error = status_text(major, minor);
        return GSS_C_NO_NAME;
    }
    return name;
}

void release_output(gss_buffer_desc &output)
{
    if (output.value != nullptr) {
        OM_uint32 ignored = 0;
        gssapi.release_buffer(&ignored, &output);
    }
}

// SPNEGO reports a missing or expired ticket only as having no mechanism to
// negotiate. The Kerberos mechanism, asked the same, says which it is and
// which cache it looked in; its answer is what the log needs.
std::string credential_failure(gss_name_t name, OM_uint32 major, OM_uint32 minor)
{
    const OM_uint32 routine_error = major & gss_routine_error_mask;
    if (routine_error != GSS_S_NO_CRED && routine_error != GSS_S_CREDENTIALS_EXPIRED)
        return status_text(major, minor);
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc output{0, nullptr};
    OM_uint32 kerberos_minor = 0;
    const OM_uint32 kerberos_major = gssapi.init_sec_context(
        &kerberos_minor, GSS_C_NO_CREDENTIAL, &context, name, &kerberos_oid, no_flags, default_lifetime,
        GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &output, nullptr, nullptr);
    release_output(output);
    if (context != GSS_C_NO_CONTEXT) {
        OM_uint32 ignored = 0;
        gssapi.delete_sec_context(&ignored, &context, GSS_C_NO_BUFFER);
    }
    if (kerberos_major & gss_error_mask)
        return status_text(kerberos_major, kerberos_minor);
    return status_text(major, minor);
}

std::optional<std::string> next_token(KerberosLogin &login, gss_name_t name, std::string_view input_token,
                                      std::string &error)
{
    std::string input(input_token);
    gss_buffer_desc input_buffer{input.size(), input.data()};
    gss_buffer_desc output{0, nullptr};
    gss_ctx_id_t context = static_cast<gss_ctx_id_t>(login.context);
    OM_uint32 minor = 0;
    const OM_uint32 major = gssapi.init_sec_context(
        &minor, GSS_C_NO_CREDENTIAL, &context, name, &spnego_oid, no_flags, default_lifetime,
        GSS_C_NO_CHANNEL_BINDINGS, login.started ? &input_buffer : GSS_C_NO_BUFFER, nullptr, &output, nullptr,
        nullptr);
    login.context = context;
    std::optional<std::string> token;
    if (!(major & gss_error_mask)) {
        token.emplace();
        if (output.length != 0)
            token->assign(static_cast<const char *>(output.value), output.length);
    } else if (login.started) {
        error = status_text(major, minor);
    } else {
        error = credential_failure(name, major, minor);
    }
    release_output(output);
    return token;
}

}  // namespace

std::optional<std::string> kerberos_token(KerberosLogin &login, std::string_view proxy_host,
                                          std::string_view input_token, std::string &error)
{
    if (!gssapi_available()) {
        error = "no Kerberos: " + (gssapi.load_tried ? gssapi.failure : std::string("no library loaded"));
        return std::nullopt;
    }
    // After our token, a bare Negotiate is the proxy's refusal.
    if (login.started && input_token.empty()) {
        error = "the proxy refused the Kerberos token";
        return std::nullopt;
    }
    gss_name_t name = import_service_name(proxy_host, error);
    if (name == GSS_C_NO_NAME)
        return std::nullopt;
    std::optional<std::string> token = next_token(login, name, input_token, error);
    OM_uint32 minor = 0;
    gssapi.release_name(&minor, &name);
    if (token)
        login.started = true;
    return token;
}

void kerberos_end(KerberosLogin &login)
{
    if (login.context != nullptr && gssapi_available()) {
        gss_ctx_id_t context = static_cast<gss_ctx_id_t>(login.context);
        OM_uint32 minor = 0;
        gssapi.delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    }
    login = KerberosLogin{};
}

bool host_is_ip_address(std::string_view host)
{
    if (host.find('\0') != std::string_view::npos)
        return false;
    const std::string text(host);
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}
