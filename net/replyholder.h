#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>

// Holds the one network reply its owner waits on and releases it in one
// place: disconnected from the owner, then deleteLater(), as the reply may be
// the sender of the signal being handled. A reply that goes first (its
// manager destroyed with the owner's parent) is let go without a second
// release. The owner, lent, is the receiver of the reply's signals; the
// holder releases what it holds when it goes.
class ReplyHolder
{
public:
    explicit ReplyHolder(QObject *owner);
    ~ReplyHolder();
    ReplyHolder(const ReplyHolder &) = delete;
    ReplyHolder &operator=(const ReplyHolder &) = delete;

    // Releases the reply held, then holds reply (none when null).
    void reset(QNetworkReply *reply = nullptr);
    // Stops the transfer of the reply held, then releases it; the owner
    // hears nothing of its end.
    void abort();

    QNetworkReply *get() const { return m_reply.data(); }
    QNetworkReply *operator->() const { return m_reply.data(); }
    explicit operator bool() const { return !m_reply.isNull(); }

    // Appends what the reply has to body, never more than one byte beyond
    // limit: false once body is longer than limit. A body counted this way
    // while it arrives never grows with what a server sends.
    bool readBounded(QByteArray &body, qint64 limit) const;

private:
    QObject *m_owner;
    QPointer<QNetworkReply> m_reply;
};
