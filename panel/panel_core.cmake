reflectivity_add_test(panel_recognition_test
    SOURCES panel_recognition_test.cpp
    LIBS refl_panel refl_sample)
if(TARGET panel_recognition_test)
    target_include_directories(panel_recognition_test PRIVATE ${CMAKE_SOURCE_DIR}/metadata)
endif()
