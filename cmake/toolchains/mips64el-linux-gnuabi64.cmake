# Cross build for little-endian 64-bit MIPS (mips64el) with Debian's cross compiler
# (apt-get install g++-mips64el-linux-gnuabi64 qemu-user-static).
#
#   cmake -S . -B build-mips64el --toolchain cmake/toolchains/mips64el-linux-gnuabi64.cmake
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(BYTEFREQ_TRIPLET mips64el-linux-gnuabi64)
set(BYTEFREQ_QEMU_ARCH mips64el)
set(BYTEFREQ_DEBIAN_ARCH mips64el)
set(BYTEFREQ_RPM_ARCH mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
