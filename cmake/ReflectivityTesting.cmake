# reflectivity_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [GUI]
#                       [SLOW <gtest filter>])
#
# GUI: the test needs a QApplication (widgets, pixmaps); its main comes from refl_gui_test_main.
# SLOW: the cases matching the filter (e.g. "SfmFlight.*:RunTest.FullRun*") run for minutes (whole
# generated flights) and carry the label `slow` besides LABELS; the sanitizer build leaves them out.
# Builds one GoogleTest executable and registers its cases with CTest. Every test runs
# in a private working directory so that log folders and scratch files never land in the
# source tree; REFLECTIVITY_SHARED_DIR points at the data beside the project (tests that read it link
# refl_test_support, testing/shared_data.h).
function(reflectivity_add_test name)
    if(NOT REFLECTIVITY_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(T "GUI" "SLOW" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    if(T_GUI)
        target_link_libraries(${name} PRIVATE ${T_LIBS} refl_gui_test_main GTest::gtest Threads::Threads)
    else()
        target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    endif()
    set(workdir ${CMAKE_CURRENT_BINARY_DIR}/${name}_work)
    file(MAKE_DIRECTORY ${workdir})
    # One variable only: a list here would be split into separate properties. Widget tests
    # get the offscreen platform from their own main.
    set(environment "REFLECTIVITY_SHARED_DIR=${REFLECTIVITY_SHARED_DIR}")
    if(NOT T_SLOW)
        gtest_discover_tests(${name}
            WORKING_DIRECTORY ${workdir}
            PROPERTIES ENVIRONMENT "${environment}" LABELS "${T_LABELS}"
            DISCOVERY_TIMEOUT 60)
        return()
    endif()
    gtest_discover_tests(${name}
        TEST_FILTER "-${T_SLOW}"
        WORKING_DIRECTORY ${workdir}
        PROPERTIES ENVIRONMENT "${environment}" LABELS "${T_LABELS}"
        DISCOVERY_TIMEOUT 60)
    gtest_discover_tests(${name}
        TEST_FILTER "${T_SLOW}"
        TEST_LIST ${name}_SLOW_TESTS
        WORKING_DIRECTORY ${workdir}
        PROPERTIES ENVIRONMENT "${environment}"
        DISCOVERY_TIMEOUT 60)
    # A list of labels does not pass through the discovery's properties either: the slow cases get
    # theirs after the discovered tests are read.
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_slow_labels.cmake)
    file(WRITE ${labels_file}
        "if(${name}_SLOW_TESTS)\n"
        "    set_tests_properties(\${${name}_SLOW_TESTS} PROPERTIES LABELS \"${T_LABELS};slow\")\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()

# Data beside the project (real captures, bundle-adjustment problems). Tests that use it
# skip themselves when it is absent, or fail where REFLECTIVITY_REQUIRE_SHARED_DATA is on (CI).
if(NOT DEFINED REFLECTIVITY_SHARED_DIR)
    get_filename_component(REFLECTIVITY_SHARED_DIR ${CMAKE_CURRENT_SOURCE_DIR}/../shared ABSOLUTE)
endif()
option(REFLECTIVITY_REQUIRE_SHARED_DATA
    "Tests that read ../shared fail instead of skipping when a file is missing" OFF)
if(REFLECTIVITY_BUILD_TESTS AND REFLECTIVITY_REQUIRE_SHARED_DATA AND NOT IS_DIRECTORY ${REFLECTIVITY_SHARED_DIR}/data)
    message(FATAL_ERROR "REFLECTIVITY_REQUIRE_SHARED_DATA is on but ${REFLECTIVITY_SHARED_DIR}/data is missing "
                        "(set REFLECTIVITY_SHARED_DIR)")
endif()

# Coverage-guided fuzz targets (libFuzzer, clang only), one per parser of outside data, each in
# the folder of the code it reads. scripts/fuzz.sh builds them with the sanitizers and runs them.
option(REFLECTIVITY_FUZZ "Build the libFuzzer targets (clang)" OFF)
