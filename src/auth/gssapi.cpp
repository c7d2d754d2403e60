#include "auth/gssapi.h"

#include "auth/gssapi_abi.h"

#if TARNWICK_HAVE_DLOPEN
#include <dlfcn.h>
#endif

GssapiLibrary gssapi;

namespace {

#if TARNWICK_HAVE_DLOPEN
// Tried in this order on every system: a name that is not there costs one
// failed dlopen.
constexpr const char *library_names[] = {
    "libgssapi_krb5.so.2",                          // MIT
    "libgssapi.so.3",                               // Heimdal
    "/System/Library/Frameworks/GSS.framework/GSS", // macOS
};

std::string last_dl_error(const char *fallback)
{
    const char *text = dlerror();
    return text != nullptr ? text : fallback;
}

template <typename Function>
bool find_function(void *handle, const char *name, Function *&slot, std::string &failure)
{
    void *symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        failure = last_dl_error(name);
        return false;
    }
    slot = reinterpret_cast<Function *>(symbol);
    return true;
}

bool find_functions(void *handle, GssapiLibrary &found, std::string &failure)
{
    return find_function(handle, "gss_import_name", found.import_name, failure) &&
           find_function(handle, "gss_init_sec_context", found.init_sec_context, failure) &&
           find_function(handle, "gss_delete_sec_context", found.delete_sec_context, failure) &&
           find_function(handle, "gss_release_buffer", found.release_buffer, failure) &&
           find_function(handle, "gss_release_name", found.release_name, failure) &&
           find_function(handle, "gss_display_status", found.display_status, failure);
}

void note_failure(const std::string &reason)
{
    gssapi.failure += gssapi.failure.empty() ? "no GSSAPI library loads: " : "; ";
    gssapi.failure += reason;
}

// A static binary (musl's) has a dlopen that fails for every library, the
// program itself included: said once, plainly, rather than once per library.
bool can_load_libraries()
{
    void *program = dlopen(nullptr, RTLD_NOW);
    if (program == nullptr) {
        gssapi.failure = "this build can't load libraries: " + last_dl_error("dlopen");
        return false;
    }
    dlclose(program);
    return true;
}

// Bound now, in the server, rather than lazily in each connection process.
bool load_library(const char *name)
{
    void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        note_failure(last_dl_error(name));
        return false;
    }
    GssapiLibrary found;
    std::string failure;
    if (!find_functions(handle, found, failure)) {
        note_failure(failure);
        dlclose(handle);
        return false;
    }
    found.load_tried = true;
    found.handle = handle;
    found.name = name;
    gssapi = found;
    return true;
}
#endif

}  // namespace

void load_gssapi()
{
    if (gssapi.load_tried)
        return;
    gssapi.load_tried = true;
#if TARNWICK_HAVE_DLOPEN
    if (!can_load_libraries())
        return;
    for (const char *name : library_names)
        if (load_library(name))
            return;
#else
    gssapi.failure = "this build can't load libraries";
#endif
}

std::string gssapi_banner()
{
    if (gssapi_available())
        return std::string("kerberos ") + gssapi.name;
    if (!gssapi.load_tried)
        return "kerberos none (not loaded)";
    return "kerberos none (" + gssapi.failure + ")";
}

bool gssapi_available()
{
    return gssapi.handle != nullptr;
}
