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
    kestrel_expect_test_summary(${name})
    if(T_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
endfunction()

# A test program passes only when GoogleTest's closing summary says so, not on its exit code alone: under
# qemu a 32-bit test program that dies of a fault in one of Wine's threads has been seen to end with
# exit code 0 before it ran all its tests.
function(kestrel_expect_test_summary name)
    set_tests_properties(${name} PROPERTIES
        PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
        FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()

# A DLL that a test loads, or plants where a program looks for a system DLL: named <name>.dll (no "lib"
# prefix), its stdcall routines exported by their plain names as the system's own DLLs export them
# (--kill-at drops the "@<bytes>" that MinGW appends).
#   kestrel_add_test_dll(<name> <source>...)
function(kestrel_add_test_dll name)
    add_library(${name} SHARED ${ARGN})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_link_options(${name} PRIVATE -Wl,--kill-at)
endfunction()

# Registers the test `name` of kestrel_add_test a second time, as `name`_wow64, to run the same program
# in the 64-bit prefix (KESTREL_WINEPREFIX64), under WoW64, with the same time-out, serial mark and
# environment.
function(kestrel_add_wow64_test name)
    add_test(NAME ${name}_wow64
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-run --prefix=${KESTREL_WINEPREFIX64} --arch=win64
                $<TARGET_FILE:${name}>)
    foreach(property TIMEOUT RUN_SERIAL ENVIRONMENT PASS_REGULAR_EXPRESSION FAIL_REGULAR_EXPRESSION)
        get_test_property(${name} ${property} value)
        if(value)
            set_tests_properties(${name}_wow64 PROPERTIES ${property} "${value}")
        endif()
    endforeach()
endfunction()
