#include "standarderrorcapture.h"

#include <cstdio>
#include <unistd.h>

StandardErrorCapture::StandardErrorCapture()
{
    if (!m_file.open())
        return;
    std::fflush(stderr);
    m_saved = ::dup(STDERR_FILENO);
    ::dup2(m_file.handle(), STDERR_FILENO);
}

StandardErrorCapture::~StandardErrorCapture()
{
    restore();
}

QByteArray StandardErrorCapture::text()
{
    restore();
    m_file.seek(0);
    return m_file.readAll();
}

void StandardErrorCapture::restore()
{
    if (m_saved < 0)
        return;
    std::fflush(stderr);
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
    m_saved = -1;
}
