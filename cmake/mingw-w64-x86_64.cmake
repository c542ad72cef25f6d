# Cross-compiles for 64-bit Windows with the mingw-w64 toolchain (Debian: g++-mingw-w64-x86-64-win32).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(toolchainPrefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${toolchainPrefix}-gcc)
set(CMAKE_CXX_COMPILER ${toolchainPrefix}-g++)
set(CMAKE_RC_COMPILER ${toolchainPrefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${toolchainPrefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
