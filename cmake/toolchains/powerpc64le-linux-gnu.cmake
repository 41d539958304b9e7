# Cross build for little-endian 64-bit POWER (ppc64el) with Debian's cross compiler
# (apt-get install g++-powerpc64le-linux-gnu qemu-user-static).
#
#   cmake -S . -B build-ppc64el --toolchain cmake/toolchains/powerpc64le-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(BYTEFREQ_TRIPLET powerpc64le-linux-gnu)
set(BYTEFREQ_QEMU_ARCH ppc64le)
set(BYTEFREQ_DEBIAN_ARCH ppc64el)
set(BYTEFREQ_RPM_ARCH ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
