# Calls and flags beyond POSIX.1-2008 that the core library uses where the
# system has them. Each result becomes a macro TARNWICK_HAVE_<NAME>, 1 or 0, on
# tarnwick_core; the code has a portable way for every 0.
#
# -DTARNWICK_POSIX_FALLBACKS=ON sets every one of them to 0, so that a build on
# a system that has them all still runs (and tests) the portable ways.

include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)

option(TARNWICK_POSIX_FALLBACKS "Use the portable fallback for every optional system call" OFF)

set(tarnwick_features CLOSE_RANGE CLOSEFROM ACCEPT4 PIPE2 POLLRDHUP MSG_NOSIGNAL SO_NOSIGPIPE GETENTROPY DLOPEN SOCK_DIAG)

if(NOT TARNWICK_POSIX_FALLBACKS)
  check_cxx_symbol_exists(close_range "unistd.h" TARNWICK_HAVE_CLOSE_RANGE)
  check_cxx_symbol_exists(closefrom "unistd.h" TARNWICK_HAVE_CLOSEFROM)
  check_cxx_source_compiles([[
    #include <sys/socket.h>
    int main() { return accept4(0, nullptr, nullptr, SOCK_NONBLOCK); }
  ]] TARNWICK_HAVE_ACCEPT4)
  check_cxx_source_compiles([[
    #include <fcntl.h>
    #include <unistd.h>
    int main() { int ends[2]; return pipe2(ends, O_NONBLOCK); }
  ]] TARNWICK_HAVE_PIPE2)
  check_cxx_symbol_exists(POLLRDHUP "poll.h" TARNWICK_HAVE_POLLRDHUP)
  check_cxx_symbol_exists(MSG_NOSIGNAL "sys/socket.h" TARNWICK_HAVE_MSG_NOSIGNAL)
  check_cxx_symbol_exists(SO_NOSIGPIPE "sys/socket.h" TARNWICK_HAVE_SO_NOSIGPIPE)
  # glibc and musl declare getentropy in <unistd.h>, macOS in <sys/random.h>;
  # glibc 2.17 has neither it nor that header. src/auth/random.cpp includes
  # the same headers the same way.
  check_cxx_source_compiles([[
    #include <unistd.h>
    #if __has_include(<sys/random.h>)
    #include <sys/types.h>
    #include <sys/random.h>
    #endif
    int main() { unsigned char bytes[16]; return getentropy(bytes, sizeof bytes); }
  ]] TARNWICK_HAVE_GETENTROPY)
  # Loading the GSSAPI library for Kerberos logins; without it a build has no
  # Kerberos. A static musl build has the calls, but its dlopen always fails:
  # that shows at run time.
  set(CMAKE_REQUIRED_LIBRARIES ${CMAKE_DL_LIBS})
  check_cxx_source_compiles([[
    #include <dlfcn.h>
    int main() {
      void *library = dlopen("library", RTLD_NOW | RTLD_LOCAL);
      return library != nullptr && dlsym(library, "name") != nullptr && dlerror() != nullptr && dlclose(library) == 0;
    }
  ]] TARNWICK_HAVE_DLOPEN)
  unset(CMAKE_REQUIRED_LIBRARIES)
  # Linux's socket diagnostics: the kernel names the owner of a local
  # connection's other end (allow owner). Without it no system call tells.
  check_cxx_source_compiles([[
    #include <linux/inet_diag.h>
    #include <linux/netlink.h>
    #include <linux/sock_diag.h>
    #include <sys/socket.h>
    int main() {
      inet_diag_req_v2 request{};
      inet_diag_msg answer{};
      return socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG) + SOCK_DIAG_BY_FAMILY + request.sdiag_family +
             static_cast<int>(answer.idiag_uid + answer.idiag_inode);
    }
  ]] TARNWICK_HAVE_SOCK_DIAG)
endif()

set(tarnwick_feature_definitions)
foreach(feature IN LISTS tarnwick_features)
  if(TARNWICK_HAVE_${feature} AND NOT TARNWICK_POSIX_FALLBACKS)
    list(APPEND tarnwick_feature_definitions TARNWICK_HAVE_${feature}=1)
  else()
    list(APPEND tarnwick_feature_definitions TARNWICK_HAVE_${feature}=0)
  endif()
endforeach()

# The libraries the features need, for tarnwick_core to link.
set(tarnwick_feature_libraries)
if(TARNWICK_HAVE_DLOPEN AND NOT TARNWICK_POSIX_FALLBACKS)
  list(APPEND tarnwick_feature_libraries ${CMAKE_DL_LIBS})
endif()
