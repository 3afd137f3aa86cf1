#pragma once

// Registers the compiled-in window images (":/img/..."); safe to call more than once.
void initReflectivityResources();
