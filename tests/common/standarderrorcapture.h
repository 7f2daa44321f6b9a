#pragma once

#include <QByteArray>
#include <QTemporaryFile>

// Sends what the process writes to standard error into a file while the
// object lives, for a test to read; the old standard error is back after
// text() or destruction.
class StandardErrorCapture
{
public:
    StandardErrorCapture();
    ~StandardErrorCapture();
    StandardErrorCapture(const StandardErrorCapture &) = delete;
    StandardErrorCapture &operator=(const StandardErrorCapture &) = delete;

    // Ends the capture and returns all that was written.
    QByteArray text();

private:
    void restore();

    QTemporaryFile m_file;
    int m_saved = -1;
};
