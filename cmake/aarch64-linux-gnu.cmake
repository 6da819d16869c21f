# Cross build for the device: aarch64 Linux with Debian's cross compiler and
# the multiarch arm64 libraries (libssl-dev:arm64, libgtest-dev:arm64).
# ./tools/cross-test installs them; the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "strip for the target")

# Programs come from the build machine; libraries, headers and CMake packages
# from the target's side: with CMAKE_LIBRARY_ARCHITECTURE set, Debian's
# multiarch paths (/usr/lib/aarch64-linux-gnu) are searched, not x86_64 ones.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Without this pkg-config hands FindOpenSSL the build machine's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# ctest and gtest_discover_tests run the aarch64 test programs through
# qemu-user. Not "qemu-aarch64 -L /usr/aarch64-linux-gnu": with libc6:arm64
# installed, that pairing of the cross loader with the multiarch libc makes any
# threaded program spin for ever. Plain qemu-aarch64 finds the multiarch
# loader and libraries by itself.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
