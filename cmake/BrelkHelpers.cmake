include(GoogleTest)

# A Windows-style module (Brelk.dll, Parlex.dll, Flashkit.dll): an ELF shared object
# that keeps its Windows file name and exports only what it marks __declspec(dllexport).
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
