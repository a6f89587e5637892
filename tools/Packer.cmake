# The packer for the cross build: the archive writer as a target library (zip_writer, for test
# programs that make archives in memory) and the command-line tools built natively for the build
# machine as an external project.
include(ExternalProject)

set(KESTREL_TOOLS_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "the packer's sources")

if(NOT TARGET zip_writer)
    add_library(zip_writer STATIC
        ${KESTREL_TOOLS_DIR}/zip_writer.cpp
        ${KESTREL_TOOLS_DIR}/full_size_archive.cpp)
    target_link_libraries(zip_writer PUBLIC /usr/i686-w64-mingw32/lib/libz.a)
endif()

set(KESTREL_TOOLS_BINARY_DIR ${CMAKE_BINARY_DIR}/tools-native CACHE INTERNAL "")
set(PACK_PAYLOAD_EXE ${KESTREL_TOOLS_BINARY_DIR}/pack-payload CACHE INTERNAL "the native packer")
set(MAKE_FULL_SIZE_ARCHIVE_EXE ${KESTREL_TOOLS_BINARY_DIR}/make-full-size-archive CACHE INTERNAL "")
if(NOT TARGET packer_native)
    # BUILD_ALWAYS: the native build is checked on every build, so editing the packer rebuilds it
    # (and, through the file dependency below, every archive made with it).
    ExternalProject_Add(packer_native
        SOURCE_DIR ${KESTREL_TOOLS_DIR}
        BINARY_DIR ${KESTREL_TOOLS_BINARY_DIR}
        CMAKE_ARGS -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -G Ninja
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${PACK_PAYLOAD_EXE} ${MAKE_FULL_SIZE_ARCHIVE_EXE})
endif()

# kestrel_pack_payload(OUTPUT <zip> SOURCE_DIR <dir> [DEPENDS <targets/files>...] [TIME <unix seconds>])
# Packs the contents of SOURCE_DIR into OUTPUT at build time. List in DEPENDS whatever puts files into
# SOURCE_DIR (targets and files), so that a change repacks the archive.
function(kestrel_pack_payload)
    cmake_parse_arguments(P "" "OUTPUT;SOURCE_DIR;TIME" "DEPENDS" ${ARGN})
    if(NOT P_OUTPUT OR NOT P_SOURCE_DIR)
        message(FATAL_ERROR "kestrel_pack_payload needs OUTPUT and SOURCE_DIR")
    endif()
    set(time_args)
    if(DEFINED P_TIME AND NOT P_TIME STREQUAL "")
        set(time_args --time ${P_TIME})
    endif()
    file(GLOB_RECURSE tree_files CONFIGURE_DEPENDS ${P_SOURCE_DIR}/*)
    add_custom_command(OUTPUT ${P_OUTPUT}
        COMMAND ${PACK_PAYLOAD_EXE} ${P_OUTPUT} ${P_SOURCE_DIR} ${time_args}
        DEPENDS ${PACK_PAYLOAD_EXE} packer_native ${tree_files} ${P_DEPENDS}
        COMMENT "Packing ${P_SOURCE_DIR} into ${P_OUTPUT}"
        VERBATIM)
endfunction()

# The full-size test archive (50 entries, about 39 MB of contents), made once for the tests and the
# benchmark by the target full_size_archive.
set(FULL_SIZE_ARCHIVE ${CMAKE_BINARY_DIR}/test-data/full-size.zip CACHE INTERNAL "the full-size test archive")
if(NOT TARGET full_size_archive)
    add_custom_command(OUTPUT ${FULL_SIZE_ARCHIVE}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/test-data
        COMMAND ${MAKE_FULL_SIZE_ARCHIVE_EXE} ${FULL_SIZE_ARCHIVE}
        DEPENDS ${MAKE_FULL_SIZE_ARCHIVE_EXE} packer_native
        COMMENT "Making the full-size test archive"
        VERBATIM)
    add_custom_target(full_size_archive DEPENDS ${FULL_SIZE_ARCHIVE})
endif()
