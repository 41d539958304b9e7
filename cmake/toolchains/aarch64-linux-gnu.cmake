# Cross build for 64-bit ARM (arm64) with Debian's cross compiler
# (apt-get install g++-aarch64-linux-gnu qemu-user-static). Programs built for the
# target, the tests among them, run under qemu-user, with the target's
# libraries from /usr/aarch64-linux-gnu.
#
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
find_program(BYTEFREQ_QEMU qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BYTEFREQ_QEMU} -L /usr/aarch64-linux-gnu)
# Debian's name for the architecture, for the package.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
