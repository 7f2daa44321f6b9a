#pragma once

#include "app/configuration.h"

// The settings that start-up makes the engine and the window with: update.ini's
// proxy and streams are read into the configuration first.
inline RunSettings startupSettings(Configuration &configuration)
{
    configuration.getProxyAndDownloadConcurrency();
    return configuration.settings();
}
