#include "resources_init.h"

#include <QtGlobal>

static void initResourcesOnce() { Q_INIT_RESOURCE(resources); }

void initReflectivityResources() {
    static const bool done = (initResourcesOnce(), true);
    Q_UNUSED(done);
}
