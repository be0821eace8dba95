# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads
# variant, which C++ threads need), the programs run under Wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# (the windows presets do this). The programs link everything statically
# (libgcc, libstdc++, winpthread), so an .exe runs with no mingw DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(corv_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${corv_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${corv_mingw}-g++-posix)
set(CMAKE_ASM_COMPILER ${corv_mingw}-gcc-posix)
set(CMAKE_RC_COMPILER ${corv_mingw}-windres)

# Libraries, headers and packages come from the mingw tree only, never from the
# build machine's; programs (the tools that run during the build) from the build
# machine.
set(CMAKE_FIND_ROOT_PATH /usr/${corv_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest and the test discovery run the cross-built programs through Wine:
# tests/wine/run.sh picks the build's own Wine prefix and keeps Wine quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run.sh)
