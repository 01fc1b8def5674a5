# Cross-build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, so that std::thread works in the tests):
#   apt-get install g++-mingw-w64-x86-64-posix
#   cmake --preset windows && cmake --build build/windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEVRA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KEVRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEVRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KEVRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KEVRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One kevra.exe that runs on any Windows without the compiler's DLLs
# (libstdc++, libgcc, winpthread): only the system's own DLLs remain.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
