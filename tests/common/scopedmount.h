#pragma once

#include <QString>

// A mount made for one test over an existing directory, undone with the
// object: a small tmpfs, where a volume runs full, or the directory itself
// bound read-only. Mounting needs root; a test skips when isValid() is false.
class ScopedMount
{
public:
    // A tmpfs of tmpfsBytes (whole pages) over dir; with -1, dir bound over
    // itself read-only.
    ScopedMount(const QString &dir, qint64 tmpfsBytes);
    ~ScopedMount();
    ScopedMount(const ScopedMount &) = delete;
    ScopedMount &operator=(const ScopedMount &) = delete;

    bool isValid() const { return !m_dir.isEmpty(); }
    // Gives a tmpfs the size it uses now plus spare bytes.
    bool shrinkTo(qint64 spare);

private:
    QString m_dir;
};
