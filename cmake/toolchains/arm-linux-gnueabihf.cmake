# Cross build for 32-bit ARM with hardware floating point (armhf) with Debian's cross compiler
# (apt-get install g++-arm-linux-gnueabihf qemu-user-static).
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(BYTEFREQ_TRIPLET arm-linux-gnueabihf)
set(BYTEFREQ_QEMU_ARCH arm)
set(BYTEFREQ_DEBIAN_ARCH armhf)
set(BYTEFREQ_RPM_ARCH armv7hl)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
