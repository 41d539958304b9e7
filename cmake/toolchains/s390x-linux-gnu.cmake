# Cross build for big-endian 64-bit IBM Z (s390x) with Debian's cross compiler
# (apt-get install g++-s390x-linux-gnu qemu-user-static). Programs built for the
# target, the tests among them, run under qemu-user, with the target's
# libraries from /usr/s390x-linux-gnu.
#
#   cmake -S . -B build-s390x --toolchain cmake/toolchains/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
find_program(BYTEFREQ_QEMU qemu-s390x-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BYTEFREQ_QEMU} -L /usr/s390x-linux-gnu)
# Debian's name for the architecture, for the package.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE s390x)
