#pragma once

// The data beside the project that some tests read: real captures of other cameras (data/real) and
// bundle-adjustment problems (data/bal). Such a test starts with
//
//     const QString dir = sharedDataPath("data/real");
//     SKIP_WITHOUT_SHARED_DATA(dir + "/IMG_0075_3.tif");
//
// which skips it where the data is absent, or fails it in a build configured with
// -DREFLECTIVITY_REQUIRE_SHARED_DATA=ON (CI, where the data is always there), so that a moved or
// renamed file cannot quietly turn the real-capture tests off.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QString>

// `relative` under the shared folder: $REFLECTIVITY_SHARED_DIR (CTest sets it), else the folder the
// build was configured with (../shared beside the source tree).
QString sharedDataPath(const QString& relative);

// True in a build that requires the shared data.
bool sharedDataRequired();

#define SKIP_WITHOUT_SHARED_DATA(path)                                                    \
    do {                                                                                  \
        const QString sharedFile_ = (path);                                               \
        if (!QFileInfo::exists(sharedFile_)) {                                            \
            if (sharedDataRequired()) {                                                   \
                GTEST_FAIL() << "shared data missing (required in this build): "          \
                             << sharedFile_.toStdString();                                \
            } else {                                                                      \
                GTEST_SKIP() << "shared data not present: " << sharedFile_.toStdString(); \
            }                                                                             \
        }                                                                                 \
    } while (false)
