#pragma once

#include <QString>
#include <Qt>

class UpdateEngine;

// Cancels the engine's run once the occurrence-th message line matching
// pattern has appeared. Queued by default, as a click comes from the event
// loop: the line may be emitted from deep inside a task that is about to end.
// Directly where the cancel has to come while a pool job runs.
void cancelOnMessage(UpdateEngine *engine, const QString &pattern, int occurrence = 1,
                     Qt::ConnectionType type = Qt::QueuedConnection);
