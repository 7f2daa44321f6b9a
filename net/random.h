#pragma once

#include <QVector>
#include <QtGlobal>

#include <functional>

// Where a random choice draws its numbers from, one non-negative number a
// call. The mirror list takes one from its owner; by default it is the
// process-wide generator below.
using RandomSource = std::function<int()>;

// The one process-wide pseudo-random generator of the updater. An update run
// seeds it with the current time in seconds; the mirror choice and the change
// log viewer draw from it unless they are handed another source. Main thread
// only.
class Random
{
public:
    static void seed(quint32 seed);
    // A non-negative number.
    static int next();
    // A source that yields draws in turn and then the process-wide
    // generator's numbers: a choice made to order.
    static RandomSource sequence(const QVector<int> &draws);
};
