#pragma once

#include <QtGlobal>

// The one process-wide pseudo-random generator of the updater. An update run
// seeds it with the current time in seconds; the mirror choice and the change
// log viewer draw from it. Main thread only.
class Random
{
public:
    static void seed(quint32 seed);
    // A non-negative number.
    static int next();
};
