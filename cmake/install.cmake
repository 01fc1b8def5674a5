# What `make install` and `make package` put where. Included by the top
# CMakeLists.txt after the targets.
#
# Two layouts. The plain one (make install PREFIX=...) puts the binary, the
# manual, the man page, the licence, the examples and the service files under
# the prefix. The Debian one (KEVRA_DEB, the "package" preset, prefix /usr)
# adds what a Debian package must hold: the licence as the machine-readable
# copyright file, a gzipped changelog and man page, the unit and sysusers
# files where Debian 12's systemd looks, and /etc/kevra with its example.
include(GNUInstallDirs)

# The address the project's own commits are made under; a distributor who
# builds the package sets theirs.
set(KEVRA_MAINTAINER_MAIL "maintainers@users.noreply.c-seed-d8bc3f7b.example" CACHE STRING
    "The Maintainer address of the Debian package and its changelog")
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(gen ${PROJECT_BINARY_DIR}/packaging)

# The README links docs/… and examples/…: the same layout under the doc folder
# keeps those links working in the installed copy.
install(TARGETS kevra RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/kevra.txt docs/protocol.md docs/throughput.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit runs the binary where this layout puts it.
set(KEVRA_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(KEVRA_DOCDIR ${CMAKE_INSTALL_FULL_DOCDIR})
configure_file(${pkg}/kevra@.service.in ${gen}/kevra@.service @ONLY)

# gz(from, to): a target that gzips from into to, without name or time stamp
# (the same bytes on every build).
function(gz from to)
  add_custom_command(OUTPUT ${to} COMMAND gzip -9nc ${from} > ${to} DEPENDS ${from} VERBATIM)
  get_filename_component(name ${to} NAME)
  add_custom_target(gz-${name} ALL DEPENDS ${to})
endfunction()

if(NOT KEVRA_DEB)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES docs/kevra.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${gen}/kevra@.service DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  install(FILES ${pkg}/kevra.sysusers DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d RENAME kevra.conf)
  return()
endif()

# Debian: the licence is the copyright file (a second copy would be an extra
# licence file), the changelog dated by the last commit, so that a rebuild of
# one source gives one package.
execute_process(COMMAND git log -1 --format=%cD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE KEVRA_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 0 OR KEVRA_CHANGELOG_DATE STREQUAL "")
  string(TIMESTAMP KEVRA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
configure_file(${pkg}/debian/changelog ${gen}/changelog @ONLY)
gz(${gen}/changelog ${gen}/changelog.gz)
gz(${PROJECT_SOURCE_DIR}/docs/kevra.1 ${gen}/kevra.1.gz)
# Stripped the way Debian strips its own binaries: without symbols, and
# without the compilers' .comment and .note sections.
install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
  --strip-unneeded \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kevra COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${pkg}/debian/copyright ${gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${gen}/kevra.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian 12 keeps the units of packages in /lib and sysusers files in /usr/lib.
install(FILES ${gen}/kevra@.service DESTINATION /lib/systemd/system)
install(FILES ${pkg}/kevra.sysusers DESTINATION /usr/lib/sysusers.d RENAME kevra.conf)
# /etc/kevra itself gets root:kevra 0750 from postinst (dpkg-statoverride):
# the user does not exist before it runs.
install(FILES ${pkg}/etc/example.conf ${pkg}/etc/example.args DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kevra)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kevra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "the kevra developers <${KEVRA_MAINTAINER_MAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP relay with an optional encrypted, authenticated tunnel")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"kevra listens on one TCP port, connects every client to one fixed server
site and port, and copies bytes both ways, up to 40 connections at once on a
single thread. Two instances chain into a mutually authenticated tunnel: a
username and a shared secret that never travels, session keys derived with
PBKDF2-HMAC-SHA1, and records encrypted with RC4 or triple DES and checked
with HMAC-SHA1. A parameter file adds the tunnel options, the users and an IP
address filter. The package holds the service template kevra@.service, run
as the system user kevra, with its parameter files in /etc/kevra.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst runs systemd-sysusers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg}/debian/postinst ${pkg}/debian/postrm ${pkg}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
