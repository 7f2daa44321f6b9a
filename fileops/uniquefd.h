#pragma once

#include <unistd.h>

// Owns one file descriptor and closes it when it goes out of scope; a
// negative descriptor (a failed open or socket) is held and never closed.
class UniqueFd
{
public:
    explicit UniqueFd(int fd)
        : m_fd(fd)
    { }
    ~UniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }

private:
    int m_fd;
};
