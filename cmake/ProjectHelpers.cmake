# kvr_library(NAME SOURCES... [LIBS libs...])
# A static library of one folder; its headers are included as "folder/header.h" from the root.
function(kvr_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    if(ARG_LIBS)
        target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    endif()
endfunction()

# kvr_test(NAME SOURCES... [LIBS libs...] [LABELS labels...])
# A GoogleTest executable whose cases CTest runs one by one.
function(kvr_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    kvr_discover_tests(${name} PROPERTIES LABELS "${ARG_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# kvr_skip_on_windows(REASON SOURCES...)
# The test sources a Windows build leaves out, and why, printed when it is configured (and by
# "./run windows"). Returns in LEFT the sources that stay.
function(kvr_skip_on_windows reason)
    cmake_parse_arguments(ARG "" "LEFT" "SOURCES;SKIP" ${ARGN})
    set(left ${ARG_SOURCES})
    if(WIN32)
        list(REMOVE_ITEM left ${ARG_SKIP})
        foreach(src ${ARG_SKIP})
            message(STATUS "windows test skipped: ${CMAKE_CURRENT_SOURCE_DIR}/${src}: ${reason}")
        endforeach()
    endif()
    set(${ARG_LEFT} ${left} PARENT_SCOPE)
endfunction()

# kvr_discover_tests(TARGET [TEST_SUFFIX s] [PROPERTIES ...])
# CTest runs each case of a GoogleTest executable on its own. In a cross build (its tests run
# through an emulator such as wine, where starting a process costs a second or more) the whole
# executable is one CTest test instead, and its output lists the cases and the skipped ones.
function(kvr_discover_tests name)
    cmake_parse_arguments(ARG "" "TEST_SUFFIX" "PROPERTIES" ${ARGN})
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${name}${ARG_TEST_SUFFIX} COMMAND ${name})
        if(ARG_PROPERTIES)
            set_tests_properties(${name}${ARG_TEST_SUFFIX} PROPERTIES ${ARG_PROPERTIES})
        endif()
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_SUFFIX "${ARG_TEST_SUFFIX}"
            PROPERTIES ${ARG_PROPERTIES})
    endif()
endfunction()
