# Cross build for big-endian 64-bit IBM Z (s390x) with Debian's cross compiler
# (apt-get install g++-s390x-linux-gnu qemu-user-static).
#
#   cmake -S . -B build-s390x --toolchain cmake/toolchains/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(BYTEFREQ_TRIPLET s390x-linux-gnu)
set(BYTEFREQ_QEMU_ARCH s390x)
set(BYTEFREQ_DEBIAN_ARCH s390x)
set(BYTEFREQ_RPM_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
