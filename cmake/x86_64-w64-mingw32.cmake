# Cross build of the workstation program for 64-bit Windows with Debian's mingw-w64
# (posix threads model, for std::thread and std::mutex). Boost and jsoncpp come from
# tools/win64/build_deps.sh (see cmake/win64_deps.cmake); tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that needs no DLL beside it: the C++ runtime, winpthreads and libgcc linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest starts the test programs through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/win64/wine_run.sh
  ${CMAKE_BINARY_DIR}/wineprefix)
