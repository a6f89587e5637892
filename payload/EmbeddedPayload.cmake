# The embedded payload and the byte-array operations (ToByteArray, WriteBytesToFile).

add_library(payload_bytes STATIC ${CMAKE_CURRENT_LIST_DIR}/bytes.cpp)
target_link_libraries(payload_bytes PUBLIC base)

# A static library that holds the constant PayloadArchive (payload/embedded_payload.h) made from the ZIP
# file `path`, taken in as it is by the assembler's .incbin: no generated source of the archive's bytes.
# The object is rebuilt whenever the ZIP changes. DEPENDS names targets that produce the ZIP.
#   kestrel_add_payload_library(<name> ZIP <path> [DEPENDS <target>...])
# The ZIP's path is kept as the target property KESTREL_PAYLOAD_ZIP for tests that compare against it.
function(kestrel_add_payload_library name)
    cmake_parse_arguments(P "" "ZIP" "DEPENDS" ${ARGN})
    if(NOT P_ZIP)
        message(FATAL_ERROR "kestrel_add_payload_library(${name}): ZIP <path> is required")
    endif()
    get_filename_component(PAYLOAD_ZIP_FILE "${P_ZIP}" ABSOLUTE)
    if(PAYLOAD_ZIP_FILE MATCHES "[\"\\\\\n]")
        message(FATAL_ERROR "kestrel_add_payload_library(${name}): the path cannot hold quotes or backslashes")
    endif()
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${name}.S)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}.S.obj)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/payload_archive.S.in ${source} @ONLY)
    # Assembled by the target's compiler driver directly, so that no extra language has to be enabled
    # in every folder that makes a payload library; the rule lists the ZIP, so a new ZIP reassembles it.
    add_custom_command(OUTPUT ${object}
        COMMAND ${CMAKE_C_COMPILER} -c ${source} -o ${object}
        DEPENDS ${source} ${PAYLOAD_ZIP_FILE}
        COMMENT "Embedding ${PAYLOAD_ZIP_FILE}"
        VERBATIM)
    add_library(${name} STATIC ${object})
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
    target_link_libraries(${name} PUBLIC base)
    set_target_properties(${name} PROPERTIES KESTREL_PAYLOAD_ZIP ${PAYLOAD_ZIP_FILE})
    if(P_DEPENDS)
        add_dependencies(${name} ${P_DEPENDS})
    endif()
endfunction()

# The launcher's payload: the archive named by PAYLOAD_ZIP, or else the demo payload that demo/ packs.
if(PAYLOAD_ZIP)
    # An archive made elsewhere is checked by the packer's install rules (pack-payload --check) first.
    set(payload_check_stamp ${CMAKE_CURRENT_BINARY_DIR}/payload-check.stamp)
    add_custom_command(OUTPUT ${payload_check_stamp}
        COMMAND ${PACK_PAYLOAD_EXE} --check ${PAYLOAD_ZIP}
        COMMAND ${CMAKE_COMMAND} -E touch ${payload_check_stamp}
        DEPENDS ${PAYLOAD_ZIP} ${PACK_PAYLOAD_EXE} packer_native
        COMMENT "Checking ${PAYLOAD_ZIP} against the launcher's install rules"
        VERBATIM)
    add_custom_target(payload_check DEPENDS ${payload_check_stamp})
    kestrel_add_payload_library(payload_archive ZIP ${PAYLOAD_ZIP} DEPENDS payload_check)
else()
    kestrel_add_payload_library(payload_archive ZIP ${CMAKE_BINARY_DIR}/demo/velkar-demo.zip DEPENDS demo_payload)
endif()
