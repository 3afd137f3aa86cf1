#include "shared_data.h"

QString sharedDataPath(const QString& relative) {
    const QString dir = qEnvironmentVariable("REFLECTIVITY_SHARED_DIR", QStringLiteral(REFL_SHARED_DIR));
    return relative.isEmpty() ? dir : dir + '/' + relative;
}

bool sharedDataRequired() { return REFL_REQUIRE_SHARED_DATA; }
