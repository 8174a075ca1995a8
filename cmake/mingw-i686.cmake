# Cross-compiles for i686 Windows with mingw-w64 (see mingw.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
