# The fake-mice driver on a real X server: a library for the tests and the x11
# benchmark, and the `xfake` command that runs its scripts; the tools under it.
# Included by the tests, and by the benchmarks when the tests are not built.
pkg_check_modules(XTST REQUIRED IMPORTED_TARGET xtst)
set(xfake_dir ${PROJECT_SOURCE_DIR}/tests/support)

# What tests and benchmarks share, without Qt or GoogleTest: running another
# program, and writing evemu recordings.
add_library(rawmice_test_tools STATIC ${xfake_dir}/process.h ${xfake_dir}/process.cpp
    ${xfake_dir}/evemu_text.h ${xfake_dir}/evemu_text.cpp)
target_include_directories(rawmice_test_tools PUBLIC ${PROJECT_SOURCE_DIR})
rawmice_strict(rawmice_test_tools)

add_library(rawmice_xfake STATIC ${xfake_dir}/xfake.h ${xfake_dir}/xfake.cpp ${xfake_dir}/xvfb.h
    ${xfake_dir}/xvfb.cpp ${xfake_dir}/xvfb_fixture.h)
target_link_libraries(rawmice_xfake PUBLIC PkgConfig::X11 PkgConfig::XTST rawmice_test_tools)
target_include_directories(rawmice_xfake PUBLIC ${PROJECT_SOURCE_DIR})
rawmice_strict(rawmice_xfake)

add_executable(xfake ${xfake_dir}/xfake_main.cpp)
target_link_libraries(xfake PRIVATE rawmice_xfake)
rawmice_strict(xfake)
