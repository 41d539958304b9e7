# Cross build for 64-bit RISC-V (riscv64) with Debian's cross compiler
# (apt-get install g++-riscv64-linux-gnu qemu-user-static).
#
#   cmake -S . -B build-riscv64 --toolchain cmake/toolchains/riscv64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(BYTEFREQ_TRIPLET riscv64-linux-gnu)
set(BYTEFREQ_QEMU_ARCH riscv64)
set(BYTEFREQ_DEBIAN_ARCH riscv64)
set(BYTEFREQ_RPM_ARCH riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
