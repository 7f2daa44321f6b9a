#pragma once

#include "sys/uniquefd.h"

#include <QList>
#include <QObject>

class QSocketNotifier;

// Delivers POSIX signals as the Qt signal received() on the thread that made
// it: the handler only writes the signal's number into a pipe that the event
// loop watches. One instance per process.
class SignalPipe : public QObject
{
    Q_OBJECT
public:
    explicit SignalPipe(const QList<int> &signalNumbers, QObject *parent = nullptr);
    ~SignalPipe() override;

    // False if the pipe or a handler could not be set up.
    bool isValid() const { return m_valid; }

signals:
    void received(int signalNumber);

private:
    void onReadable();

    QList<int> m_signalNumbers;
    UniqueFd m_readFd;
    UniqueFd m_writeFd;
    QSocketNotifier *m_notifier = nullptr;
    bool m_valid = false;
};
