#pragma once

#include <QtGlobal>

// How far a run has got, as the driver counts it on its own thread. The faces see it only in
// the values of the progress and counter events.
struct RunProgress {
    qint32 position = 0;  // listing: contracts counted; card phase: cards started
    qint32 maximum = 0;   // listing: the first search's count; card phase: the cards to fetch
    qint32 contractsFound = 0;
    qint32 refusalsQueued = 0;
    // When the progress and the counters were last reported (TickCount); 0 forces the next one.
    quint32 lastProgressUpdate = 0;
    quint32 lastCountersUpdate = 0;
};
