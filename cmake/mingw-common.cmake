# Cross build for Windows with MinGW-w64 for ECUB_MINGW_PREFIX, posix thread model so
# std::thread works. Everything is linked statically: the executables run on a bare Windows
# machine without the compiler's run-time DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ECUB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ECUB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ECUB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ECUB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
