# Headers that mingw-w64 lacks (UMDF 1.x, Mobile Broadband), copied from the layer so
# that they sit on the real windows.h; only these, never the layer's own windows.h.
set(BRELK_PE_STAGED ${CMAKE_BINARY_DIR}/include)
foreach(header wudfddi.h wudfddi_types.h mbnapi.h)
    configure_file(${BRELK_ROOT}/platform/include/${header} ${BRELK_PE_STAGED}/${header} COPYONLY)
endforeach()
add_library(pe_headers INTERFACE)
target_include_directories(pe_headers INTERFACE ${BRELK_PE_STAGED})

# A module with its Windows file name; it imports only system DLLs (the runtimes are
# linked in by the toolchain file).
function(brelk_pe_dll target)
    cmake_parse_arguments(ARG "" "OUTPUT_NAME;FOLDER;DEF" "SOURCES;LIBS" ${ARGN})
    add_library(${target} MODULE ${ARG_SOURCES})
    if(NOT ARG_OUTPUT_NAME)
        set(ARG_OUTPUT_NAME ${target})
    endif()
    set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".dll" OUTPUT_NAME ${ARG_OUTPUT_NAME})
    if(ARG_FOLDER)
        set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ARG_FOLDER})
    endif()
    target_link_libraries(${target} PRIVATE pe_headers ${ARG_LIBS})
    if(ARG_DEF)
        target_sources(${target} PRIVATE ${ARG_DEF})
        # A stdcall export is named without its @n suffix, the name GetProcAddress is given.
        if(NOT BRELK_PE64)
            target_link_options(${target} PRIVATE -Wl,--kill-at)
        endif()
    endif()
endfunction()
