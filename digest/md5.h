#pragma once

#include <QByteArray>
#include <QByteArrayView>

// An MD5 digest computed in steps, with access to its block state so that
// Md5Lanes can hash the whole blocks of several digests side by side. Plain
// value; not thread-safe.
class Md5
{
public:
    Md5() { reset(); }

    void reset();
    void addData(QByteArrayView data);
    // The digest of the bytes added so far (16 bytes); adding may go on.
    QByteArray result() const;

    // Bytes held back as the start of a block not yet complete; the whole
    // blocks after them may be hashed elsewhere only when this is 0.
    int pending() const { return int(m_length % blockSize); }
    // The four state words, for hashing whole blocks into elsewhere, after
    // which skipBlocks() counts them.
    quint32 *state() { return m_state; }
    void skipBlocks(qint64 count) { m_length += quint64(count) * blockSize; }

    static void hashBlocks(quint32 *state, const uchar *data, qint64 count);

    static constexpr int blockSize = 64;

private:
    quint32 m_state[4];
    quint64 m_length;
    uchar m_buffer[blockSize];
};
