# Cross-builds for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) against the arm64 libraries installed through
# multiarch (liblmdb-dev:arm64, libxxhash-dev:arm64, libgtest-dev:arm64), as
# scripts/cross_aarch64.sh does. Programs built here run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps the arm64 libraries and CMake packages in the host's
# /usr/lib/aarch64-linux-gnu; with the library architecture fixed, CMake
# searches there and never in the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config reads only the arm64 .pc files and the architecture-free ones.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# try_run, the discovery of the unit tests and ctest run target programs
# through the emulator. The loader and the C and C++ runtimes all come from
# the cross sysroot: the loader would otherwise find multiarch's libc6:arm64
# (a dependency of the arm64 libraries) first, and a loader and a libc of
# different builds do not work together (threads hang in pthread_create).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
