# Cross-compiles for x86_64 Windows with mingw-w64 (see mingw.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
