# Read by cpack when it makes the package: every timestamp in the package is
# SOURCE_DATE_EPOCH, taken from the date of CHANGELOG.md's newest entry when
# the build was set up, unless it is set already, so that builds of one
# release give the same bytes, from git or from a tarball.
if(CPACK_BYTEFREQ_EPOCH AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_BYTEFREQ_EPOCH})
endif()

# dpkg-shlibdeps takes the package's dependencies from the target's own
# libc6, installed for its architecture (libc6:arm64). Where that cannot be
# installed (riscv64, not a release architecture of Debian 12), they are
# taken from the binary itself: libc6 from the newest glibc symbol version
# it needs, libgcc-s1 where it needs libgcc_s.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  execute_process(COMMAND dpkg-query -W -f=\${Status} libc6:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}
    OUTPUT_VARIABLE status ERROR_QUIET)
  if(NOT status MATCHES "ok installed")
    execute_process(COMMAND ${CPACK_BYTEFREQ_OBJDUMP} -p -T ${CPACK_BYTEFREQ_BINARY}
      OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+" versions "${dynamic}")
    list(TRANSFORM versions REPLACE "GLIBC_" "")
    list(SORT versions COMPARE NATURAL ORDER DESCENDING)
    list(GET versions 0 newest_glibc)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest_glibc})")
    if(dynamic MATCHES "NEEDED +libgcc_s\\.so\\.1")
      string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libgcc-s1")
    endif()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  endif()
endif()
