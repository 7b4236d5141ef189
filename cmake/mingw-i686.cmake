# Windows 32-bit, the release target.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ECUB_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
