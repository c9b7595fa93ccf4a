# Cross build of the 64-bit Windows executables with mingw-w64 on Debian,
# their tests run under wine:
#
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Needs g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)

# The posix thread model: std::thread and std::mutex through winpthreads.
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_AR           /usr/bin/${MINGW_TRIPLE}-ar     CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Headers, libraries and packages from the mingw sysroot only (so the host's
# libdeflate is never picked up); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables that need no DLL besides the system's: with the posix thread
# model, -static-libgcc -static-libstdc++ alone still leave
# libwinpthread-1.dll to load; -static takes it in too.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# The static zlib: Windows suffix order would pick libz.dll.a (zlib1.dll).
set(ZLIB_USE_STATIC_LIBS ON)
if(NOT DEFINED ZLIB_LIBRARY AND EXISTS /usr/${MINGW_TRIPLE}/lib/libz.a)
  set(ZLIB_LIBRARY /usr/${MINGW_TRIPLE}/lib/libz.a CACHE FILEPATH "static mingw zlib")
endif()

# ctest runs every target executable through wine. /usr/bin/wine is Debian's
# wrapper; the raw loaders are the fallback.
find_program(WINE_EXECUTABLE NAMES wine wine64 wine-stable
             PATHS /usr/bin /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
