#include "net/replyholder.h"

#include <QNetworkReply>

ReplyHolder::ReplyHolder(QObject *owner)
    : m_owner(owner)
{ }

ReplyHolder::~ReplyHolder()
{
    reset();
}

void ReplyHolder::reset(QNetworkReply *reply)
{
    // Let go of first: a receiver of the disconnection, or of the reply's
    // destruction, must find the holder empty.
    QNetworkReply *old = m_reply.data();
    m_reply = reply;
    if (!old || old == reply)
        return;
    QObject::disconnect(old, nullptr, m_owner, nullptr);
    old->deleteLater();
}

void ReplyHolder::abort()
{
    QNetworkReply *reply = m_reply.data();
    m_reply.clear();
    if (!reply)
        return;
    QObject::disconnect(reply, nullptr, m_owner, nullptr);
    reply->abort();
    reply->deleteLater();
}

bool ReplyHolder::readBounded(QByteArray &body, qint64 limit) const
{
    if (m_reply && body.size() <= limit)
        body += m_reply->read(limit + 1 - body.size());
    return body.size() <= limit;
}
