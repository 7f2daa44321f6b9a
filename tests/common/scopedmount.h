#pragma once

#include <QString>

// A mount made for one test over an existing directory, undone with the
// object: a small tmpfs, where a volume runs full, or the directory itself
// bound read-only. Mounting needs root; a test skips when isValid() is false.
class ScopedMount
{
public:
    // A tmpfs of bytes (whole pages) over dir.
    static ScopedMount tmpfs(const QString &dir, qint64 bytes);
    // dir bound over itself, read-only.
    static ScopedMount readOnly(const QString &dir);

    ScopedMount(ScopedMount &&other) noexcept;
    ScopedMount &operator=(ScopedMount &&other) noexcept;
    ~ScopedMount();

    bool isValid() const { return !m_dir.isEmpty(); }
    // Gives a tmpfs the size it uses now plus spare bytes.
    bool shrinkTo(qint64 spare);

private:
    ScopedMount() = default;
    void release();

    QString m_dir;
};
