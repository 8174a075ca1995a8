# Cross-compiles for Windows with Debian's mingw-w64 (posix threads); the
# including toolchain file sets CMAKE_SYSTEM_PROCESSOR (i686 or x86_64), which
# names the compiler triple. Everything but the system DLLs is linked in
# statically (the C++ runtime, libgcc, winpthread), so every .exe runs with
# nothing beside it.
set(CMAKE_SYSTEM_NAME Windows)

set(RAWMICE_MINGW_TRIPLE ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${RAWMICE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RAWMICE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RAWMICE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RAWMICE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
