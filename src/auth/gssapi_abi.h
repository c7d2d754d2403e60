// The part of the GSSAPI C interface (RFC 2744) that a Kerberos login uses,
// declared here to match the libraries' binary interface, so that no Kerberos
// headers are needed to build and no library to run. Only src/auth uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef uint32_t OM_uint32;

struct gss_name_struct;
struct gss_ctx_id_struct;
struct gss_cred_id_struct;
struct gss_channel_bindings_struct;
typedef gss_name_struct *gss_name_t;
typedef gss_ctx_id_struct *gss_ctx_id_t;
typedef gss_cred_id_struct *gss_cred_id_t;
typedef gss_channel_bindings_struct *gss_channel_bindings_t;

// Apple's GSS.framework, and the Kerberos headers of every system built for
// those processors, pack these records on 2-byte boundaries: on an Intel Mac
// gss_OID_desc is 12 bytes with its pointer at offset 4. The library decides
// the layout, so the guard is the one its headers use.
#if defined(__APPLE__) && (defined(__i386__) || defined(__x86_64__) || defined(__ppc__) || defined(__ppc64__))
#define TARNWICK_GSS_PACKED 1
#pragma pack(push, 2)
#else
#define TARNWICK_GSS_PACKED 0
#endif

struct gss_OID_desc {
    OM_uint32 length;
    void *elements;
};

struct gss_buffer_desc {
    std::size_t length;
    void *value;
};

#if TARNWICK_GSS_PACKED
#pragma pack(pop)
static_assert(sizeof(void *) != 8 || (sizeof(gss_OID_desc) == 12 && offsetof(gss_OID_desc, elements) == 4),
              "gss_OID_desc must have the packed layout of Apple's GSS.framework");
#else
static_assert(offsetof(gss_OID_desc, elements) == alignof(void *), "gss_OID_desc must have the natural layout");
#endif

typedef gss_OID_desc *gss_OID;
typedef gss_buffer_desc *gss_buffer_t;

inline constexpr OM_uint32 GSS_S_COMPLETE = 0;
inline constexpr OM_uint32 GSS_S_CONTINUE_NEEDED = 1;
// The calling-error and routine-error fields of a major status; the rest are
// informatory bits such as GSS_S_CONTINUE_NEEDED.
inline constexpr OM_uint32 gss_error_mask = 0xffff0000u;
inline constexpr OM_uint32 gss_routine_error_mask = 0x00ff0000u;
inline constexpr OM_uint32 GSS_S_NO_CRED = 7u << 16;
inline constexpr OM_uint32 GSS_S_CREDENTIALS_EXPIRED = 11u << 16;

inline constexpr int GSS_C_GSS_CODE = 1;
inline constexpr int GSS_C_MECH_CODE = 2;

inline constexpr gss_cred_id_t GSS_C_NO_CREDENTIAL = nullptr;
inline constexpr gss_ctx_id_t GSS_C_NO_CONTEXT = nullptr;
inline constexpr gss_name_t GSS_C_NO_NAME = nullptr;
inline constexpr gss_buffer_t GSS_C_NO_BUFFER = nullptr;
inline constexpr gss_OID GSS_C_NO_OID = nullptr;
inline constexpr gss_channel_bindings_t GSS_C_NO_CHANNEL_BINDINGS = nullptr;

// Object identifiers in their DER content bytes. The libraries export some
// of them as data symbols, each in its own way (MIT a pointer variable, Apple
// a record), and none exports SPNEGO's: written out here instead.
// SPNEGO, 1.3.6.1.5.5.2
inline constexpr unsigned char spnego_oid_bytes[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
// Kerberos 5, 1.2.840.113554.1.2.2
inline constexpr unsigned char kerberos_oid_bytes[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
// GSS_C_NT_HOSTBASED_SERVICE, 1.2.840.113554.1.2.1.4: a "service@host" name
inline constexpr unsigned char hostbased_service_oid_bytes[] = {0x2a, 0x86, 0x48, 0x86, 0xf7,
                                                                0x12, 0x01, 0x02, 0x01, 0x04};

// The functions as the libraries define them.
typedef OM_uint32 GssImportName(OM_uint32 *minor, gss_buffer_t name, gss_OID name_type, gss_name_t *output);
typedef OM_uint32 GssInitSecContext(OM_uint32 *minor, gss_cred_id_t credential, gss_ctx_id_t *context,
                                    gss_name_t target, gss_OID mech, OM_uint32 req_flags, OM_uint32 time_req,
                                    gss_channel_bindings_t bindings, gss_buffer_t input_token,
                                    gss_OID *actual_mech, gss_buffer_t output_token, OM_uint32 *ret_flags,
                                    OM_uint32 *time_rec);
typedef OM_uint32 GssDeleteSecContext(OM_uint32 *minor, gss_ctx_id_t *context, gss_buffer_t output_token);
typedef OM_uint32 GssReleaseBuffer(OM_uint32 *minor, gss_buffer_t buffer);
typedef OM_uint32 GssReleaseName(OM_uint32 *minor, gss_name_t *name);
typedef OM_uint32 GssDisplayStatus(OM_uint32 *minor, OM_uint32 status, int status_type, gss_OID mech,
                                   OM_uint32 *message_context, gss_buffer_t text);

// The loaded library: filled once by load_gssapi(), each pointer looked up
// by its name. Either every pointer is set or the handle is null.
struct GssapiLibrary {
    bool load_tried = false;
    void *handle = nullptr;
    const char *name = nullptr;  // the file that was loaded
    std::string failure;         // why none was
    GssImportName *import_name = nullptr;
    GssInitSecContext *init_sec_context = nullptr;
    GssDeleteSecContext *delete_sec_context = nullptr;
    GssReleaseBuffer *release_buffer = nullptr;
    GssReleaseName *release_name = nullptr;
    GssDisplayStatus *display_status = nullptr;
};

extern GssapiLibrary gssapi;
