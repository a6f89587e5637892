# Helpers shared by the folders' build files.

# The Windows spelling of a path of the build machine, as Wine's drive Z: shows it.
function(kestrel_windows_path out path)
    string(REPLACE "/" "\\" converted "${path}")
    set(${out} "Z:${converted}" PARENT_SCOPE)
endfunction()

# A test program: gtest_main plus the libraries it tests, run by CTest under Wine.
#   kestrel_add_test(NAME SOURCES a.cpp ... LIBS host ... [SERIAL] [TIMEOUT s] [DEPENDS target ...])
# SERIAL marks tests that use the fixed install folder or the process list: they run one at a time.
function(kestrel_add_test name)
    cmake_parse_arguments(T "SERIAL" "TIMEOUT" "SOURCES;LIBS;DEPENDS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} test_support gtest_main)
    if(T_DEPENDS)
        add_dependencies(${name} ${T_DEPENDS})
    endif()
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
    if(T_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
endfunction()
