# Cross build for 32-bit x86 (i386) with Debian's cross compiler
# (apt-get install g++-i686-linux-gnu qemu-user-static). Programs built for the
# target, the tests among them, run under qemu-user, with the target's
# libraries from /usr/i686-linux-gnu.
#
#   cmake -S . -B build-i386 --toolchain cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
find_program(BYTEFREQ_QEMU qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BYTEFREQ_QEMU} -L /usr/i686-linux-gnu)
# Debian's name for the architecture, for the package.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
