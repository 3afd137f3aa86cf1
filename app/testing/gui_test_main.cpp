// Test entry for tests that need a QApplication (widgets, pixmaps, fonts).
#include <QApplication>
#include <gtest/gtest.h>

#include "resources_init.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery runs at build time, outside CTest's environment: never need a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initReflectivityResources();
    return RUN_ALL_TESTS();
}
