#include "signalpipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the pipe, for the handler; the SignalPipe owns it.
int writeFd = -1;

void handler(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe loses the byte; the ones already in it are enough.
    [[maybe_unused]] const ssize_t written = ::write(writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalPipe::SignalPipe(const QList<int> &signalNumbers, QObject *parent)
    : QObject(parent)
    , m_signalNumbers(signalNumbers)
{
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    m_readFd.reset(fds[0]);
    m_writeFd.reset(fds[1]);
    writeFd = m_writeFd.get();
    m_notifier = new QSocketNotifier(m_readFd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalPipe::onReadable);

    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_valid = true;
    for (const int signalNumber : signalNumbers)
        m_valid = ::sigaction(signalNumber, &action, nullptr) == 0 && m_valid;
}

SignalPipe::~SignalPipe()
{
    if (!m_readFd.isValid())
        return;
    for (const int signalNumber : std::as_const(m_signalNumbers))
        ::signal(signalNumber, SIG_DFL);
    // The handler writes nowhere from now on; the pipe closes with its owners.
    writeFd = -1;
}

void SignalPipe::onReadable()
{
    unsigned char bytes[64];
    ssize_t count;
    while ((count = ::read(m_readFd.get(), bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit received(bytes[i]);
    }
}
