# reflectivity_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [GUI])
#
# GUI: the test needs a QApplication (widgets, pixmaps); its main comes from refl_gui_test_main.
# Builds one GoogleTest executable and registers its cases with CTest. Every test runs
# in a private working directory so that log folders and scratch files never land in the
# source tree; REFLECTIVITY_SHARED_DIR points at the data beside the project.
function(reflectivity_add_test name)
    if(NOT REFLECTIVITY_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    if(T_GUI)
        target_link_libraries(${name} PRIVATE ${T_LIBS} refl_gui_test_main GTest::gtest Threads::Threads)
    else()
        target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    endif()
    set(workdir ${CMAKE_CURRENT_BINARY_DIR}/${name}_work)
    file(MAKE_DIRECTORY ${workdir})
    gtest_discover_tests(${name}
        WORKING_DIRECTORY ${workdir}
        # One variable only: a list here would be split into separate properties. Widget tests
        # get the offscreen platform from their own main.
        PROPERTIES ENVIRONMENT "REFLECTIVITY_SHARED_DIR=${REFLECTIVITY_SHARED_DIR}"
                   LABELS "${T_LABELS}"
        DISCOVERY_TIMEOUT 60)
endfunction()

# Data beside the project (real captures, bundle-adjustment problems). Tests that use it
# skip themselves when it is absent.
if(NOT DEFINED REFLECTIVITY_SHARED_DIR)
    get_filename_component(REFLECTIVITY_SHARED_DIR ${CMAKE_CURRENT_SOURCE_DIR}/../shared ABSOLUTE)
endif()

# Coverage-guided fuzz targets (libFuzzer, clang only), one per parser of outside data, each in
# the folder of the code it reads. scripts/fuzz.sh builds them with the sanitizers and runs them.
option(REFLECTIVITY_FUZZ "Build the libFuzzer targets (clang)" OFF)
