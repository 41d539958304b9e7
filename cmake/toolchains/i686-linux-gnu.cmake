# Cross build for 32-bit x86 (i386) with Debian's cross compiler
# (apt-get install g++-i686-linux-gnu qemu-user-static).
#
#   cmake -S . -B build-i386 --toolchain cmake/toolchains/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(BYTEFREQ_TRIPLET i686-linux-gnu)
set(BYTEFREQ_QEMU_ARCH i386)
set(BYTEFREQ_DEBIAN_ARCH i386)
set(BYTEFREQ_RPM_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
