# Stages an application tree for the packer; kestrel_stage_payload (KestrelLauncher.cmake) runs it at
# build time:
#   cmake -DSTAGED=<folder> -DTREE=<folder or empty> [-DPROGRAM=<exe>] -DZIP=<zip> -DDEPFILE=<file> -P stage_tree.cmake
# STAGED is made afresh from a copy of TREE, with PROGRAM as Velkar/Velkar.exe. DEPFILE names every file
# and folder of TREE as an input of ZIP (a folder's time changes when an entry is added to it or removed),
# so that the build packs again after any change to TREE without listing its files at configure time.
file(REMOVE_RECURSE ${STAGED})
file(MAKE_DIRECTORY ${STAGED})
# This script is one input too: a rule whose depfile names nothing would be run again at every build.
set(inputs ${CMAKE_CURRENT_LIST_FILE})
if(TREE)
    file(COPY ${TREE}/ DESTINATION ${STAGED})
    file(GLOB_RECURSE inputs LIST_DIRECTORIES true ${TREE}/*)
    list(APPEND inputs ${TREE})
endif()
if(PROGRAM)
    file(MAKE_DIRECTORY ${STAGED}/Velkar)
    file(COPY_FILE ${PROGRAM} ${STAGED}/Velkar/Velkar.exe)
endif()
list(TRANSFORM inputs REPLACE " " "\\\\ ")
list(JOIN inputs " \\\n  " inputs)
file(WRITE ${DEPFILE} "${ZIP}: ${inputs}\n")
