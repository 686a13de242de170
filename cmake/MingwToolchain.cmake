# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, for std::thread and std::mutex), against the libraries that
# tools/windows/deps.sh builds, with the tests run under Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/MingwToolchain.cmake
#
# BARNBLAST_WINDOWS_PREFIX is the libraries' prefix: by default the one
# deps.sh fills (its cache folder, moved by BARNBLAST_WINDOWS_DEPS, + /prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER ${triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${triple}-windres REQUIRED)

if(NOT BARNBLAST_WINDOWS_PREFIX)
  if(DEFINED ENV{BARNBLAST_WINDOWS_DEPS})
    set(BARNBLAST_WINDOWS_PREFIX $ENV{BARNBLAST_WINDOWS_DEPS}/prefix)
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(BARNBLAST_WINDOWS_PREFIX $ENV{XDG_CACHE_HOME}/barnblast/windows-deps/prefix)
  else()
    set(BARNBLAST_WINDOWS_PREFIX $ENV{HOME}/.cache/barnblast/windows-deps/prefix)
  endif()
endif()
set(BARNBLAST_WINDOWS_PREFIX ${BARNBLAST_WINDOWS_PREFIX} CACHE PATH "Prefix of the cross-built libraries")
# try_compile runs this file again in a fresh project: hand the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BARNBLAST_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${BARNBLAST_WINDOWS_PREFIX} /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the cross-built libraries, and with --static the
# libraries they need in turn.
set(ENV{PKG_CONFIG_LIBDIR} ${BARNBLAST_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_ARGN --static)

# One .exe with no DLLs beside it: the C++ runtime and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(BARNBLAST_WINE NAMES wine wine64)
if(BARNBLAST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BARNBLAST_WINE})
endif()
