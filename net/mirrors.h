#pragma once

#include "net/ftpsiteaccessdata.h"
#include "net/random.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

class QSettings;

// The mirror list of one update run: read once from mirrors.ini (or the alpha
// mirror from update.ini), it hands out download slots on mirrors chosen at
// random in proportion to their free slots, counts errors and drops mirrors
// that fail too often. Owned by the update engine; shared by every download.
// The owner hands in where the choice draws from (the process-wide generator
// by default) and the window over which a transfer's rate is judged.
class Mirrors : public QObject
{
    Q_OBJECT
public:
    explicit Mirrors(QObject *parent = nullptr);
    explicit Mirrors(RandomSource random, QObject *parent = nullptr);

    // A mirror as the mirror list file names it, with the url of its section.
    struct ListedMirror
    {
        QString name;
        QString url;
    };
    // The mirrors that a mirror list file lists, in file order, at most 1000
    // of them; declared receives the number the file declares, which may be
    // larger. Both the run's list and the change log dialog read mirrors.ini
    // through this.
    static QVector<ListedMirror> readList(QSettings &settings, int &declared);

    // Appends the mirrors listed in the file at iniPath; their URLs point at
    // the directory of clientVersion. Always true, also for an empty list;
    // of a list declaring more than 1000 entries the first 1000 are read,
    // and a message says so.
    bool initDefault(const QString &iniPath, int clientVersion);
    // Appends the single mirror of the alpha channel from the settings file.
    // False, after fatalError, when the setting is missing or empty.
    bool initAlpha(const QString &iniPath, int clientVersion);
    // Reads each listed mirror's own section.
    void setDefaults(QSettings &settings, int clientVersion);

    // The answers of getRandomMirror(): a slot was taken and mirror is
    // filled; no mirror is left; every slot is busy, ask again after a
    // transfer has ended; every mirror left is excluded.
    static constexpr int MirrorTaken = 0;
    static constexpr int NoMirrorLeft = 1;
    static constexpr int AllSlotsBusy = 2;
    static constexpr int AllMirrorsExcluded = 3;

    // MirrorTaken, NoMirrorLeft or AllSlotsBusy.
    int getRandomMirror(FTPSiteAccessData &mirror);
    // The same among the mirrors not named in excluded, or AllMirrorsExcluded.
    // With forPart, a mirror that ignores ranges is chosen only when none
    // that honours them is left (AllSlotsBusy while those are all busy).
    int getRandomMirror(FTPSiteAccessData &mirror, const QSet<QString> &excluded,
                        bool forPart = false);
    // After a fault of this machine (the session's disk full, read-only or
    // failing) no download of the run can go on: from now on every request
    // gets NoMirrorLeft, without a message, and no mirror is charged.
    void stopHandingOut();
    void releaseMirror(const QString &name);
    // A mirror is dropped at its (retries + 1)-th error.
    void addMirrorError(const QString &name);
    void removeMirror(const QString &name);
    // The named mirror answered a range request with the whole file; it
    // keeps the mark for the run, and the log hears of it once.
    void noteIgnoresRanges(const QString &name);
    bool ignoresRanges(const QString &name);
    int getMirrorIndex(const QString &name);
    void calcUseStats(int &maxUse, int &useCount);
    void calcUseStats(int &maxUse, int &useCount, const QSet<QString> &excluded);

    // The rate of one transfer from the named mirror, in bytes a second: the
    // average over its last window, or over a whole transfer that ended.
    void noteRate(const QString &name, qint64 bytesPerSecond);
    // The best rate that a transfer from any other mirror than name was noted
    // with in the last withinMs milliseconds; 0 when none was.
    qint64 bestRateElsewhere(const QString &name, qint64 withinMs) const;

    // The one-second ticks over which the downloads of this list judge a
    // transfer's rate and compare it with the other mirrors'; at least 1.
    static constexpr int DefaultSlowTransferWindow = 30;
    void setSlowTransferWindow(int ticks) { m_slowTransferWindow = qMax(1, ticks); }
    int slowTransferWindow() const { return m_slowTransferWindow; }

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    RandomSource m_random;
    int m_slowTransferWindow = DefaultSlowTransferWindow;
    QVector<FTPSiteAccessData> m_mirrors;
    bool m_noMirrorsReported = false;
    bool m_stopped = false;

    struct RateNote
    {
        qint64 at; // ms on m_clock
        qint64 bytesPerSecond;
    };
    QElapsedTimer m_clock;
    QHash<QString, QVector<RateNote>> m_rates;
};
