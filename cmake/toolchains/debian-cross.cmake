# Included by each toolchain file here, after it sets the target's GNU
# triplet, qemu's name for it, and Debian's and RPM's names for it. Builds
# with Debian's cross compiler; programs built for the target, the tests
# among them, run under qemu-user (no binfmt_misc needed).
#
# They run with the C library the cross compiler links against, from
# /usr/TRIPLET/lib, whether or not the target's own libc6 is installed as
# well (dpkg --add-architecture). qemu's -L serves the loader from there,
# but the loader then searches /lib/TRIPLET first, which it finds on the
# host when the target's libc6 is installed: a loader and a C library from
# two builds of glibc, which abort ("stack smashing detected") on ppc64el
# and s390x. LD_LIBRARY_PATH is searched before it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${BYTEFREQ_TRIPLET}-g++)
# Without qemu-user, what is built cannot run here: bytefreq and its
# packages build, and the tests are left out.
find_program(BYTEFREQ_QEMU qemu-${BYTEFREQ_QEMU_ARCH}-static)
if(BYTEFREQ_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BYTEFREQ_QEMU} -L /usr/${BYTEFREQ_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${BYTEFREQ_TRIPLET}/lib)
endif()
# The packages' architecture names.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BYTEFREQ_DEBIAN_ARCH})
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${BYTEFREQ_RPM_ARCH})
