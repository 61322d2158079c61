# The Debian package for Linux guests, made by CPack from this build:
#   cpack --config CPackConfig.cmake      (scripts/pack.sh runs it)
# gives chanpipe_VERSION_ARCH.deb (amd64; arm64 from linux-arm64) with the
# static program, its man page, the self-test kit's Linux guest side as
# chanpipe-selftest with its man page, the README and the copyright file.
# With SOURCE_DATE_EPOCH set, every
# member carries that time, so the same build packs to the same bytes.

# The man page, compressed as Debian keeps them; -n leaves out the name and
# time of the source.
set(CHANPIPE_MAN_GZ ${CMAKE_BINARY_DIR}/chanpipe.1.gz)
add_custom_command(OUTPUT ${CHANPIPE_MAN_GZ}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/chanpipe.1 > ${CHANPIPE_MAN_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/chanpipe.1 VERBATIM)
# The changelog is history, written by hand; its newest entry must be the
# version being packed.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog CHANPIPE_CHANGELOG_TOP LIMIT_COUNT 1)
string(REPLACE "." "\\." CHANPIPE_VERSION_PATTERN ${PROJECT_VERSION})
if(NOT CHANPIPE_CHANGELOG_TOP MATCHES "^chanpipe \\(${CHANPIPE_VERSION_PATTERN}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with \"${CHANPIPE_CHANGELOG_TOP}\", "
    "not with version ${PROJECT_VERSION}: add an entry for it")
endif()
set(CHANPIPE_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${CHANPIPE_CHANGELOG_GZ}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CHANPIPE_CHANGELOG_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
set(CHANPIPE_README_GZ ${CMAKE_BINARY_DIR}/README.md.gz)
add_custom_command(OUTPUT ${CHANPIPE_README_GZ}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/README.md > ${CHANPIPE_README_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/README.md VERBATIM)
set(CHANPIPE_SELFTEST_MAN_GZ ${CMAKE_BINARY_DIR}/chanpipe-selftest.1.gz)
add_custom_command(OUTPUT ${CHANPIPE_SELFTEST_MAN_GZ}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/chanpipe-selftest.1 > ${CHANPIPE_SELFTEST_MAN_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/chanpipe-selftest.1 VERBATIM)
add_custom_target(chanpipe_docs ALL
  DEPENDS ${CHANPIPE_MAN_GZ} ${CHANPIPE_CHANGELOG_GZ} ${CHANPIPE_README_GZ}
          ${CHANPIPE_SELFTEST_MAN_GZ})

# The compilers' version notes are of no use in the installed program.
add_custom_command(TARGET chanpipe POST_BUILD
  COMMAND ${CMAKE_STRIP} --remove-section=.comment $<TARGET_FILE:chanpipe> VERBATIM)
install(TARGETS chanpipe RUNTIME DESTINATION bin)
install(FILES ${CHANPIPE_MAN_GZ} ${CHANPIPE_SELFTEST_MAN_GZ} DESTINATION share/man/man1)
# The kit's guest side runs the chanpipe beside it.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/selftest/chanpipe-selftest.sh DESTINATION bin
  RENAME chanpipe-selftest)
install(FILES ${CHANPIPE_CHANGELOG_GZ} ${CHANPIPE_README_GZ} ${CMAKE_SOURCE_DIR}/packaging/copyright
  DESTINATION share/doc/chanpipe)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
  DESTINATION share/lintian/overrides RENAME chanpipe)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chanpipe)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package's architecture is the program's, not the build machine's
# (which CPack would take): a cross build for aarch64 gives an arm64
# package.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
else()
  message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
  "Seed 6b334434 maintainers <maintainers@users.noreply.c-seed-6b334434.example>")
# The program is linked statically, so it needs no other package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "join standard streams to a named virtio-serial channel
chanpipe runs in the guest of a virtual machine and joins its standard
input or standard output to one virtio-serial port, found by the name
that the virtual machine's configuration (QEMU, libvirt) gives it.
In mode w it sends standard input to the host on the named channel; in
mode r it writes what the host sends on the channel to standard output.
Bytes pass untouched, diagnostics go to standard error, and the exit
status tells the outcome. Use it to script guests: pull logs and build
artefacts out, push inputs in. chanpipe-selftest checks one channel
with the host side of chanpipe's self-test kit.

The program is statically linked, so it also runs in a minimal guest.")
include(CPack)
