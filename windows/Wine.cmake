# PE tests run under 64-bit Wine: one CTest test per program, all in one prefix that the
# run creates first (wine_prefix_create) and whose wineserver it ends last, so nothing
# lingers after ctest.
set(BRELK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(BRELK_WINE_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR sh;${BRELK_WINE_RUN};${BRELK_WINEPREFIX})

add_test(NAME wine_prefix_create COMMAND sh ${BRELK_WINE_RUN} --create ${BRELK_WINEPREFIX})
add_test(NAME wine_prefix_stop COMMAND sh ${BRELK_WINE_RUN} --stop ${BRELK_WINEPREFIX})
set_tests_properties(wine_prefix_create PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

# The Windows form of a host path in a default prefix, where Z: is the host's root.
function(brelk_wine_path out path)
    string(REPLACE "/" "\\" windows "Z:${path}")
    set(${out} "${windows}" PARENT_SCOPE)
endfunction()

# A GoogleTest program run as one CTest test under Wine, in bin/.
function(brelk_wine_test target)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;ENVIRONMENT" ${ARGN})
    # UTF-8 as the ANSI code page (an application manifest), as on our layer.
    add_executable(${target} ${ARG_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/Utf8CodePage.rc)
    target_link_libraries(${target} PRIVATE gtest gmock gtest_main
                                            ${ARG_LIBS})
    if(ARG_DEPENDS)
        add_dependencies(${target} ${ARG_DEPENDS})
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_test(NAME ${target} COMMAND ${target} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${ARG_TIMEOUT})
    if(ARG_ENVIRONMENT)
        set_tests_properties(${target} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
endfunction()
