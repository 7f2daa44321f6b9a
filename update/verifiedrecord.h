#pragma once

#include "digest/verifieddigests.h"

#include <QString>

#include <vector>

// The record of verified files of an installation as one list step uses it:
// loads the record (unless every file is to be read, or it is not fit to be
// used), lends it to the digests of the installed files, collects what this
// run read or found unchanged, and writes the new record whole when it says
// something new. Belongs to the list step's thread.
class VerifiedRecord
{
public:
    VerifiedRecord(const QString &appRoot, const QString &updaterPath, bool readAll);

    // Why an existing record is not used; empty when it is, or when there is
    // none.
    const QString &problem() const { return m_problem; }
    // The record to take digests from; null when none is used.
    const VerifiedDigests *known() const { return m_used ? &m_loaded : nullptr; }

    // The installed file at path (encoded) has the raw digest md5, as read
    // when it had identity.
    void verified(const QByteArray &path, const VerifiedDigests::Identity &identity,
                  const QByteArray &md5);
    // The installed file of the loaded record's entry at index still has its
    // recorded identity and digest.
    void unchanged(qint64 index);
    // Writes the new record if it differs from the one loaded.
    bool save(QString *error);

private:
    QString m_path;
    VerifiedDigests::Owner m_owner;
    bool m_ownerKnown = false;
    VerifiedDigests m_loaded;
    bool m_used = false;
    VerifiedDigests m_new;
    // Which entries of the loaded record were found unchanged.
    std::vector<bool> m_kept;
    qint64 m_keptCount = 0;
    QString m_problem;
    qint64 m_now = 0;
    qint64 m_recentNs = 0;
};
