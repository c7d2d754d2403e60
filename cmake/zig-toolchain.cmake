# Cross builds with zig as the C++ compiler and linker.
#
#   cmake -S . -B build-T -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake \
#         -DTARNWICK_TARGET=T -DTARNWICK_TESTS=OFF
#
# T is a zig target: x86_64-macos, aarch64-macos, x86_64-linux-musl,
# aarch64-linux-musl, arm-linux-musleabihf, x86_64-linux-gnu.2.17, ...
# The zig binary is TARNWICK_ZIG, else the pinned one that scripts/install-zig
# installs. The musl targets link statically: that is the binary that runs on
# any Linux of its architecture without installing anything.

set(TARNWICK_TARGET "" CACHE STRING "zig target to build tarnwick for")
set(TARNWICK_ZIG "" CACHE FILEPATH "zig binary (default: the pinned one from scripts/install-zig)")
# try_compile projects read this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWICK_TARGET TARNWICK_ZIG TARNWICK_ZIG_WRAPPERS)

if(NOT TARNWICK_TARGET)
  message(FATAL_ERROR "zig-toolchain.cmake: set TARNWICK_TARGET, e.g. -DTARNWICK_TARGET=x86_64-linux-musl")
endif()

if(NOT TARNWICK_ZIG)
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/install-zig"
                  OUTPUT_VARIABLE zig_path OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE zig_result)
  if(NOT zig_result EQUAL 0 OR NOT EXISTS "${zig_path}")
    message(FATAL_ERROR "zig-toolchain.cmake: scripts/install-zig failed")
  endif()
  set(TARNWICK_ZIG "${zig_path}" CACHE FILEPATH "zig binary (default: the pinned one from scripts/install-zig)" FORCE)
endif()

string(REPLACE "-" ";" target_parts "${TARNWICK_TARGET}")
list(GET target_parts 0 target_arch)
list(GET target_parts 1 target_os)

set(target_flags -target ${TARNWICK_TARGET})
# zig builds its C++ runtime for each optimisation mode it is asked for, and
# CMake's compiler checks pass no -O at all: without a default here every
# target's runtime would be built twice, once for the checks and once for the
# program. A later -O (CMAKE_BUILD_TYPE's) still wins.
list(APPEND target_flags -O2)
if(target_arch STREQUAL "arm")
  # zig 0.11 crashes linking for the generic 32-bit ARM cpu; ARMv7 (a
  # Raspberry Pi 2 or 3 in 32-bit mode) is the oldest board worth serving.
  list(APPEND target_flags -mcpu=cortex_a7)
endif()

if(target_os STREQUAL "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  if(target_arch STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
  else()
    set(CMAKE_SYSTEM_PROCESSOR ${target_arch})
  endif()
  # No Apple SDK here: zig brings the headers and libraries it links against.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
  set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
elseif(target_os STREQUAL "linux")
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${target_arch})
  if(TARNWICK_TARGET MATCHES "-musl")
    set(TARNWICK_STATIC ON CACHE BOOL "Link tarnwick fully statically")
  endif()
else()
  message(FATAL_ERROR "zig-toolchain.cmake: no system name known for target ${TARNWICK_TARGET}")
endif()

# CMake wants one path per tool, so each zig subcommand gets a small wrapper,
# written once into the top-level build tree.
if(NOT TARNWICK_ZIG_WRAPPERS)
  set(TARNWICK_ZIG_WRAPPERS "${CMAKE_BINARY_DIR}/zig-wrappers" CACHE INTERNAL "")
endif()
string(REPLACE ";" " " target_words "${target_flags}")
foreach(tool IN ITEMS cc c++ ar ranlib)
  if(tool MATCHES "^c")
    set(wrapper_args "${tool} ${target_words}")
  else()
    set(wrapper_args "${tool}")
  endif()
  set(wrapper_text "#!/bin/sh\nexec \"${TARNWICK_ZIG}\" ${wrapper_args} \"$@\"\n")
  set(wrapper "${TARNWICK_ZIG_WRAPPERS}/zig-${tool}")
  set(wrapper_old "")
  if(EXISTS "${wrapper}")
    file(READ "${wrapper}" wrapper_old)
  endif()
  if(NOT wrapper_old STREQUAL wrapper_text)
    file(WRITE "${wrapper}" "${wrapper_text}")
    file(CHMOD "${wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                        WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

set(CMAKE_C_COMPILER "${TARNWICK_ZIG_WRAPPERS}/zig-cc")
set(CMAKE_CXX_COMPILER "${TARNWICK_ZIG_WRAPPERS}/zig-c++")
set(CMAKE_AR "${TARNWICK_ZIG_WRAPPERS}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${TARNWICK_ZIG_WRAPPERS}/zig-ranlib" CACHE FILEPATH "" FORCE)

# Headers and libraries come from zig for the target, never from this host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
