# The helpers that make a launcher executable, in the order they are used: stage an application tree
# and pack it into a payload archive, then pack the archive into the prebuilt launcher (or, for a test
# program, embed it in a payload library). launcher.exe, the demo payload, and the variants the tests
# and the benchmark build all go through them. Included from the top CMakeLists.txt, so that they are there for every folder.

# Stages an application tree and packs it into the payload archive ZIP, made by the target <name>:
#   kestrel_stage_payload(<name> ZIP <zip> [TREE <folder>] [APP <program target>] [TIME <unix seconds>]
#                         [STAGE_COMMAND <command...>] [DEPENDS <file or target>...])
# The tree is staged afresh beside ZIP (velkar-demo.zip in velkar-demo/) from a copy of TREE with APP's
# program as Velkar/Velkar.exe, so a file removed from TREE does not linger; STAGE_COMMAND then adds to
# it, with DEPENDS naming what that command reads. Any change to a file or folder of TREE packs again.
function(kestrel_stage_payload name)
    cmake_parse_arguments(P "" "ZIP;TREE;APP;TIME" "STAGE_COMMAND;DEPENDS" ${ARGN})
    cmake_path(REMOVE_EXTENSION P_ZIP LAST_ONLY OUTPUT_VARIABLE staged)
    set(program)
    if(P_APP)
        set(program -DPROGRAM=$<TARGET_FILE:${P_APP}>)
        list(APPEND P_DEPENDS ${P_APP})
    endif()
    if(P_STAGE_COMMAND)
        set(P_STAGE_COMMAND COMMAND ${P_STAGE_COMMAND})
    endif()
    if(P_TIME)
        set(P_TIME --time ${P_TIME})
    endif()
    set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/stage_tree.cmake)
    add_custom_command(OUTPUT ${P_ZIP}
        COMMAND ${CMAKE_COMMAND} -DSTAGED=${staged} -DTREE=${P_TREE} ${program} -DZIP=${P_ZIP}
                -DDEPFILE=${P_ZIP}.d -P ${script}
        ${P_STAGE_COMMAND}
        COMMAND $<TARGET_FILE:pack-payload> ${P_ZIP} ${staged} ${P_TIME}
        DEPENDS ${script} $<TARGET_FILE:pack-payload> packer_native ${P_DEPENDS}
        DEPFILE ${P_ZIP}.d
        COMMENT "Staging and packing ${P_ZIP}"
        VERBATIM)
    add_custom_target(${name} DEPENDS ${P_ZIP})
endfunction()

# A library that puts the ZIP file `path` into the section .payload of the program that links it, as a
# byte array (payload/embedded_payload.h), taken in as it is by the assembler's .incbin: no generated
# source of the archive's bytes. For test programs that carry an archive without being a packed launcher;
# the launchers themselves are packed from the prebuilt one (kestrel_add_launcher). The object goes on the
# link line itself, not into a static library: nothing refers to it by name, and a library's member that
# nothing refers to is left out of the link. DEPENDS names targets that produce the ZIP.
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
    configure_file(${PROJECT_SOURCE_DIR}/payload/payload_archive.S.in ${source} @ONLY)
    # Assembled by the target's compiler driver directly, so that no extra language has to be enabled
    # in every folder that makes a payload library; the rule lists the ZIP, so a new ZIP reassembles it.
    add_custom_command(OUTPUT ${object}
        COMMAND ${CMAKE_C_COMPILER} -c ${source} -o ${object}
        DEPENDS ${source} ${PAYLOAD_ZIP_FILE}
        COMMENT "Embedding ${PAYLOAD_ZIP_FILE}"
        VERBATIM)
    add_custom_target(${name}_object DEPENDS ${object})
    if(P_DEPENDS)
        add_dependencies(${name}_object ${P_DEPENDS})
    endif()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${object} base)
    # A program linking it is linked again when the archive changes.
    set_target_properties(${name} PROPERTIES INTERFACE_LINK_DEPENDS ${object} KESTREL_PAYLOAD_ZIP ${PAYLOAD_ZIP_FILE})
    add_dependencies(${name} ${name}_object)
endfunction()

# The launcher's link options, the same for the prebuilt launcher and for every test program that links
# the launcher's objects.
function(kestrel_launcher_link_options name)
    # ASLR (with the relocations it needs) and DEP, whatever the linker's defaults.
    target_link_options(${name} PRIVATE -Wl,--dynamicbase,--nxcompat,--enable-reloc-section)
    # Sections on page boundaries in the file, so that the loader can map the payload's tens of
    # megabytes straight from the file instead of reading them into fresh memory at every start.
    # No symbols or debugging sections: the shipped program has no use for them.
    target_link_options(${name} PRIVATE -Wl,--file-alignment,4096 -s)
    # No link time stamp in the header: the same sources give the same bytes.
    target_link_options(${name} PRIVATE -Wl,--no-insert-timestamp)
    # Large-address-aware: on 64-bit Windows a 32-bit program so gets 4 GB of address space, room for
    # the payload twice (the image and the copy written out); see the README's size limit.
    target_link_options(${name} PRIVATE -Wl,--large-address-aware)
    # The header names the oldest Windows the imports run on: Vista (6.0). The linker's default (4.0)
    # would claim Windows NT 4, where the loader would fail on a missing import instead.
    target_link_options(${name} PRIVATE -Wl,--major-os-version,6,--minor-os-version,0
                                        -Wl,--major-subsystem-version,6,--minor-subsystem-version,0)
endfunction()

# A launcher executable: the prebuilt launcher (launcher/, target launcher-prebuilt) packed with the
# archive ZIP by the packer's own image writer (pe-resources pack, tools/launcher_image.h), no link of its
# own: launcher.exe itself, and the variants the end-to-end tests and the benchmark make with archives of
# their own, each the real program carrying another archive. PACK_OPTIONS go to pe-resources pack
# (--icon FILE, --version A.B.C.D, --text NAME=VALUE, --manifest FILE); DEPENDS names the targets that
# make the ZIP or the files the options name. Written to the programs' folder as <name>.exe.
#   kestrel_add_launcher(<name> ZIP <zip> [DEPENDS <target or file>...] [PACK_OPTIONS <option>...])
function(kestrel_add_launcher name)
    cmake_parse_arguments(L "" "ZIP" "DEPENDS;PACK_OPTIONS" ${ARGN})
    if(NOT L_ZIP)
        message(FATAL_ERROR "kestrel_add_launcher(${name}): ZIP <path> is required")
    endif()
    set(out ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}${CMAKE_EXECUTABLE_SUFFIX})
    add_custom_command(OUTPUT ${out}
        COMMAND $<TARGET_FILE:pe-resources> pack $<TARGET_FILE:launcher-prebuilt> ${L_ZIP} ${out} ${L_PACK_OPTIONS}
        DEPENDS ${L_ZIP} launcher-prebuilt $<TARGET_FILE:launcher-prebuilt> $<TARGET_FILE:pe-resources> packer_native
                ${L_DEPENDS}
        COMMENT "Packing ${name}${CMAKE_EXECUTABLE_SUFFIX} from the prebuilt launcher and ${L_ZIP}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${out})
    set_target_properties(${name} PROPERTIES KESTREL_LAUNCHER_FILE ${out})
endfunction()
