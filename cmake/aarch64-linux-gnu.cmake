# Cross build for the device (ARM Linux, arm64) with Debian's cross toolchain.
# Libraries come from Debian multiarch (/usr/lib/aarch64-linux-gnu, e.g.
# libboost-thread-dev:arm64); headers that do not depend on the machine
# (rapidjson, Boost) are the host's. Tests run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Search the cross toolchain's own tree first, then the host's multiarch
# folders; host programs (qemu, cmake tools) come from the host only.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The arm64 loader and libraries of Debian multiarch (libc6:arm64) live under
# the host root, so qemu resolves them from "/".
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
