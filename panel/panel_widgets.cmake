# The panel views use the window's dialog seam (header only) from the application core.
target_link_libraries(refl_panel_widgets PUBLIC refl_app_core)

reflectivity_add_test(panel_widgets_test
    SOURCES hawkwidget_test.cpp greyboard_preview_dialog_test.cpp
    LIBS refl_panel_widgets Qt5::Test
    GUI)
# The list tests need real panel TIFFs from the sample-flight generator.
if("tools" IN_LIST REFLECTIVITY_FOLDERS AND "app" IN_LIST REFLECTIVITY_FOLDERS)
    reflectivity_add_test(panel_list_test
        SOURCES mainwidget_panel_list_test.cpp
        LIBS refl_app_widgets refl_sample Qt5::Test
        GUI)
endif()
