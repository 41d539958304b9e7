# Cross build for 64-bit ARM (arm64) with Debian's cross compiler
# (apt-get install g++-aarch64-linux-gnu qemu-user-static).
#
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(BYTEFREQ_TRIPLET aarch64-linux-gnu)
set(BYTEFREQ_QEMU_ARCH aarch64)
set(BYTEFREQ_DEBIAN_ARCH arm64)
set(BYTEFREQ_RPM_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
