# rawmice_ui_tables(TARGET OUTPUT name.cpp LAYOUTS file.ui ...): turns the
# stored .ui layouts into one C++ table (platform/vcl/win32/layout.h) at build
# time, in the build tree, and compiles it into TARGET. The .ui files stay the
# only copy of the layouts; the table is made again whenever one changes. One
# table per program: it defines vcl::win32::find_layout.
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)

function(rawmice_ui_tables target)
    cmake_parse_arguments(T "" "OUTPUT" "LAYOUTS" ${ARGN})
    # Found again here: a function may be called from any folder of the build.
    find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
    set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/ui_table.py)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${T_OUTPUT})
    set(layouts "")
    foreach(layout IN LISTS T_LAYOUTS)
        cmake_path(ABSOLUTE_PATH layout BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
        list(APPEND layouts ${layout})
    endforeach()
    add_custom_command(
        OUTPUT ${output}
        COMMAND Python3::Interpreter ${script} --root ${PROJECT_SOURCE_DIR} --output ${output}
                ${layouts}
        DEPENDS ${script} ${layouts}
        COMMENT "Making the Win32 layout table ${T_OUTPUT}"
        VERBATIM)
    target_sources(${target} PRIVATE ${output})
endfunction()
