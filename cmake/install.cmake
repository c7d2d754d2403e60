# Install rules, the Debian package, and the tests that check both.
#
#   cmake --install build [--prefix DIR]      binary, man page, docs, user unit
#   cd build && cpack -G DEB                 tarnwick_1.3_<arch>.deb
#
# Everything the user gets is in the component "runtime"; the package holds
# that component only. Uninstalling works from build/install_manifest.txt:
# see the README.

include(GNUInstallDirs)

set(TARNWICK_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the systemd user unit goes, relative to the install prefix")

install(TARGETS tarnwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES tarnwick.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
# Debian's machine-readable form, which also serves as the licence of an
# install from source.
install(FILES contrib/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
# The launchd agent for macOS, with its paths still to fill in (see the README).
install(FILES contrib/local.tarnwick.plist DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# Debian wants man pages compressed, and without a name or time stamp in the
# gzip header so that the same page always gives the same bytes.
find_program(TARNWICK_GZIP gzip)
if(TARNWICK_GZIP)
  set(tarnwick_man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/tarnwick.1.gz)
  add_custom_command(OUTPUT ${tarnwick_man_gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/man/tarnwick.1 man/tarnwick.1
    COMMAND ${TARNWICK_GZIP} -9nf man/tarnwick.1
    DEPENDS man/tarnwick.1
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    VERBATIM)
  add_custom_target(tarnwick_man ALL DEPENDS ${tarnwick_man_gz})
  install(FILES ${tarnwick_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
else()
  message(WARNING "gzip not found: the man page is installed uncompressed")
  install(FILES man/tarnwick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()

# The installed README is README.md without what makes sense only in a source
# tree (the demo, the build recipes): the blocks between the two markers.
set(tarnwick_readme_begin "<!-- source tree only -->\n")
set(tarnwick_readme_end "<!-- end of source tree only -->\n")
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/README.md tarnwick_readme_rest)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md)
set(tarnwick_readme "")
while(TRUE)
  string(FIND "${tarnwick_readme_rest}" "${tarnwick_readme_begin}" begin)
  if(begin EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${tarnwick_readme_rest}" 0 ${begin} kept)
  string(APPEND tarnwick_readme "${kept}")
  string(SUBSTRING "${tarnwick_readme_rest}" ${begin} -1 tarnwick_readme_rest)
  string(FIND "${tarnwick_readme_rest}" "${tarnwick_readme_end}" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "README.md: a source-tree-only block has no end marker")
  endif()
  string(LENGTH "${tarnwick_readme_end}" end_length)
  math(EXPR end "${end} + ${end_length}")
  string(SUBSTRING "${tarnwick_readme_rest}" ${end} -1 tarnwick_readme_rest)
endwhile()
string(APPEND tarnwick_readme "${tarnwick_readme_rest}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md "${tarnwick_readme}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# The unit names the binary by its absolute path, which is known only at
# install time ("cmake --install --prefix" may move it), so it is written
# then, from contrib/tarnwick.service with /usr/bin replaced.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(tarnwick_unit_bindir "${CMAKE_INSTALL_BINDIR}")
else()
  set(tarnwick_unit_bindir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
set(tarnwick_unit_src "${CMAKE_CURRENT_SOURCE_DIR}/contrib/tarnwick.service")
string(CONFIGURE [[
  file(READ "@tarnwick_unit_src@" unit)
  string(REPLACE "ExecStart=/usr/bin/tarnwick " "ExecStart=@tarnwick_unit_bindir@/tarnwick " unit "${unit}")
  set(unit_path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@TARNWICK_UNIT_DIR@/tarnwick.service")
  message(STATUS "Installing: ${unit_path}")
  file(WRITE "${unit_path}" "${unit}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_path}")
]] tarnwick_unit_code @ONLY)
install(CODE "${tarnwick_unit_code}" COMPONENT runtime)

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarnwick developers")
# The licence, MIT. A Debian package has no control field for it: there it
# is the "License: MIT" of /usr/share/doc/tarnwick/copyright.
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "tarnwick developers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tunnel local TCP connections through an HTTP proxy")
set(CPACK_PACKAGE_DESCRIPTION
"tarnwick is a small daemon that listens on a local IPv4 address and port
and, for every connection it accepts, asks an HTTP proxy with a CONNECT
request (with the user's proxy login when the proxy asks for one: Basic,
Digest, NTLM, or a Kerberos ticket) for a tunnel to one fixed remote host
and port, then copies bytes both ways until either side closes.
It lets SSH and other TCP clients out of networks whose only way out is an
HTTP proxy. It keeps a pid file and a log of every connection under
~/.tarnwick/, and ships a systemd user unit.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends: computed from the binary's shared libraries where dpkg-dev is
# installed; otherwise read by cpack from the libraries and glibc symbol
# versions the built binary names.
find_program(TARNWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARNWICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackDebianDepends.cmake
       INPUT ${CMAKE_CURRENT_LIST_DIR}/debian_depends.cmake.in)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackDebianDepends.cmake)
endif()
# Kerberos: the library is loaded at run time when it is there (see the
# README), so the package runs without it and only recommends it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libgssapi-krb5-2)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};tarnwick;runtime;/")
include(CPack)

if(TARNWICK_TESTS)
  set(tarnwick_pkg_tests ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging)
  set(tarnwick_src ${CMAKE_CURRENT_SOURCE_DIR})
  add_test(NAME packaging.man_page
           COMMAND python3 ${tarnwick_pkg_tests}/man_page.py
                   ${tarnwick_src} $<TARGET_FILE:tarnwick> ${PROJECT_VERSION})
  add_test(NAME packaging.install
           COMMAND bash ${tarnwick_pkg_tests}/install_tree.sh
                   ${tarnwick_src} ${CMAKE_BINARY_DIR} ${CMAKE_COMMAND} ${PROJECT_VERSION})
  add_test(NAME packaging.debian_package
           COMMAND bash ${tarnwick_pkg_tests}/debian_package.sh
                   ${tarnwick_src} ${CMAKE_BINARY_DIR} ${CMAKE_CPACK_COMMAND} ${PROJECT_VERSION})
  add_test(NAME packaging.service_verify
           COMMAND bash ${tarnwick_pkg_tests}/service_unit.sh verify
                   ${tarnwick_src} ${CMAKE_BINARY_DIR} ${CMAKE_COMMAND})
  add_test(NAME packaging.launchd_agent
           COMMAND python3 ${tarnwick_pkg_tests}/launchd_agent.py ${tarnwick_src})
  add_test(NAME packaging.service_run
           COMMAND bash ${tarnwick_pkg_tests}/service_unit.sh run
                   ${tarnwick_src} $<TARGET_FILE:tarnwick>)
  set_tests_properties(packaging.man_page packaging.install packaging.debian_package
                       packaging.service_verify packaging.service_run packaging.launchd_agent
                       PROPERTIES LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 120)
  # cpack has been seen to take half a minute on a busy machine.
  set_tests_properties(packaging.debian_package PROPERTIES TIMEOUT 300)
  # They install the component "runtime", which keeps its manifest apart from
  # the install_manifest.txt of the user's own "cmake --install" (the
  # uninstall recipe reads that one); all three write the component's.
  set_tests_properties(packaging.install packaging.debian_package packaging.service_verify
                       PROPERTIES RESOURCE_LOCK tarnwick_install_manifest)
endif()
