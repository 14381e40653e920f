include(GoogleTest)

# A Windows-style module (Brelk.dll, Parlex.dll, Flashkit.dll): an ELF shared object
# that keeps its Windows file name and exports only what it marks __declspec(dllexport).
# A module that FreeLibrary unloads must leave the process as it does on Windows: the
# dynamic loader never unmaps an object that defines a GCC unique symbol (which any
# inline static of the standard library makes), so code of a module goes without them.
include(CheckCXXCompilerFlag)
check_cxx_compiler_flag(-fno-gnu-unique BRELK_HAVE_NO_GNU_UNIQUE)
function(brelk_unloadable_code target)
    if(BRELK_HAVE_NO_GNU_UNIQUE)
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
endfunction()

function(brelk_add_dll target)
    cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
    add_library(${target} MODULE ${ARG_SOURCES})
    if(NOT ARG_OUTPUT_NAME)
        set(ARG_OUTPUT_NAME ${target})
    endif()
    set_target_properties(${target} PROPERTIES
        PREFIX "" SUFFIX ".dll" OUTPUT_NAME ${ARG_OUTPUT_NAME}
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_link_libraries(${target} PRIVATE winplat ${ARG_LIBS})
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    brelk_unloadable_code(${target})
endfunction()

# A GoogleTest suite; each test becomes one CTest test, discovered when ctest runs.
function(brelk_add_test target)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;DEPENDS" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main ${ARG_LIBS})
    if(ARG_DEPENDS)
        add_dependencies(${target} ${ARG_DEPENDS})
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
        PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()

function(brelk_add_benchmark target)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE benchmark::benchmark ${ARG_LIBS})
    if(ARG_DEPENDS)
        add_dependencies(${target} ${ARG_DEPENDS})
    endif()
endfunction()

function(brelk_collect_targets folder out)
    get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(children DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
    foreach(child IN LISTS children)
        brelk_collect_targets(${child} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# One line a target: name, source folder, the include folders it compiles with (its own
# and those its links hand on), the folders it hands on, what it links, what it waits on.
function(brelk_write_layer_model file)
    brelk_collect_targets(${CMAKE_SOURCE_DIR} targets)
    set(lines "")
    foreach(t IN LISTS targets)
        get_target_property(type ${t} TYPE)
        get_target_property(dir ${t} SOURCE_DIR)
        get_target_property(links ${t} LINK_LIBRARIES)
        get_target_property(ilinks ${t} INTERFACE_LINK_LIBRARIES)
        get_target_property(deps ${t} MANUALLY_ADDED_DEPENDENCIES)
        foreach(v links ilinks deps)
            if(NOT ${v})
                set(${v} "")
            endif()
            # Static libraries hand on their private links as $<LINK_ONLY:...>.
            string(REGEX REPLACE "\\$<LINK_ONLY:([^>]*)>" "\\1" ${v} "${${v}}")
        endforeach()
        set(includes "")
        if(NOT type STREQUAL "UTILITY" AND NOT type STREQUAL "INTERFACE_LIBRARY")
            set(includes "$<TARGET_PROPERTY:${t},INCLUDE_DIRECTORIES>")
        endif()
        set(passed "")
        if(NOT type STREQUAL "UTILITY" AND NOT type STREQUAL "EXECUTABLE")
            set(passed "$<TARGET_PROPERTY:${t},INTERFACE_INCLUDE_DIRECTORIES>")
        endif()
        string(APPEND lines "${t}\t${dir}\t${includes}\t${passed}\t${links};${ilinks}\t${deps}\n")
    endforeach()
    file(GENERATE OUTPUT ${file} CONTENT "${lines}")
endfunction()
