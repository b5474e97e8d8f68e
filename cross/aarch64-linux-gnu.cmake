# Cross-compiling the package for aarch64 with Debian's cross toolchain
# against the arm64 CPython that multiarch installs beside the host's
# (`make check-aarch64`).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Debian's Python.h reaches its per-architecture pyconfig.h through
# /usr/include, which the cross compiler does not search: after its own
# headers, so no host header can stand in for a target one.
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")
# FindPython runs the arm64 interpreter through qemu (with policy CMP0190,
# which the make target turns on) to read the target's include directory
# and extension suffix, not the host's.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
