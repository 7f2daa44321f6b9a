#pragma once

#include "net/ftpsiteaccessdata.h"

#include <QObject>
#include <QString>
#include <QVector>

class QSettings;

// The mirror list of one update run: read once from mirrors.ini (or the alpha
// mirror from update.ini), it hands out download slots on mirrors chosen at
// random in proportion to their free slots, counts errors and drops mirrors
// that fail too often. Owned by the update engine; shared by every download.
class Mirrors : public QObject
{
    Q_OBJECT
public:
    explicit Mirrors(QObject *parent = nullptr);

    // Appends the mirrors listed in the file at iniPath; their URLs point at
    // the directory of clientVersion. True also for an empty list; false,
    // after fatalError, for a list of more than 1000 mirrors.
    bool initDefault(const QString &iniPath, int clientVersion);
    // Appends the single mirror of the alpha channel from the settings file.
    // False, after fatalError, when the setting is missing or empty.
    bool initAlpha(const QString &iniPath, int clientVersion);
    // Reads each listed mirror's own section.
    void setDefaults(QSettings &settings, int clientVersion);

    // 0: a slot was taken and mirror is filled; 1: no mirror left; 2: every
    // slot is busy, ask again after a transfer has ended.
    int getRandomMirror(FTPSiteAccessData &mirror);
    void releaseMirror(const QString &name);
    // A mirror is dropped at its (retries + 1)-th error.
    void addMirrorError(const QString &name);
    void removeMirror(const QString &name);
    int getMirrorIndex(const QString &name);
    void calcUseStats(int &maxUse, int &useCount);

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    QVector<FTPSiteAccessData> m_mirrors;
    bool m_noMirrorsReported = false;
};
