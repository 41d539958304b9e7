# Cross build for 32-bit ARM, soft floating point (armel) with Debian's cross compiler
# (apt-get install g++-arm-linux-gnueabi qemu-user-static).
#
#   cmake -S . -B build-armel --toolchain cmake/toolchains/arm-linux-gnueabi.cmake
set(CMAKE_SYSTEM_PROCESSOR armv5tel)
set(BYTEFREQ_TRIPLET arm-linux-gnueabi)
set(BYTEFREQ_QEMU_ARCH arm)
set(BYTEFREQ_DEBIAN_ARCH armel)
set(BYTEFREQ_RPM_ARCH armv5tel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
