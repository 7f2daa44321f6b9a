#include "net/mirrors.h"

#include "net/random.h"
#include "net/schemeprofile.h"

#include <QFileInfo>
#include <QSettings>

namespace {

// A mirror list is a few dozen entries; the bound keeps a number in a file
// from deciding what is allocated.
constexpr int maxMirrors = 1000;
// Rates older than this are of no use to any window; within one second only
// the best is kept.
constexpr qint64 rateMemoryMs = 2 * 60 * 1000;
// What a mirror's section may ask for with "slots": a CDN or an object store
// takes dozens of requests at once; more than this would only hold
// connections open for nothing.
constexpr int maxSlots = 64;

QString versionUrl(QString url, int clientVersion)
{
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::number(clientVersion);
}

} // namespace

Mirrors::Mirrors(QObject *parent)
    : Mirrors(RandomSource(), parent)
{ }

Mirrors::Mirrors(RandomSource random, QObject *parent)
    : QObject(parent)
    , m_random(random ? std::move(random) : RandomSource(&Random::next))
{
    m_clock.start();
}

QVector<Mirrors::ListedMirror> Mirrors::readList(QSettings &settings, int &declared)
{
    declared = settings.beginReadArray(QStringLiteral("mirrors"));
    // The declared size is only a number in a file: nothing is allocated or
    // walked for it beyond a sane bound.
    const int count = qMin(declared, maxMirrors);
    QVector<ListedMirror> listed(qMax(count, 0));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        listed[i].name = settings.value(QStringLiteral("mirror")).toString();
    }
    settings.endArray();
    for (ListedMirror &mirror : listed) {
        settings.beginGroup(mirror.name);
        mirror.url = settings.value(QStringLiteral("url")).toString();
        settings.endGroup();
    }
    return listed;
}

bool Mirrors::initDefault(const QString &iniPath, int clientVersion)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    int declared = 0;
    const QVector<ListedMirror> listed = readList(settings, declared);
    if (declared > maxMirrors)
        emit message(QStringLiteral("%1 declares %2 mirrors; the first %3 are used")
                         .arg(QFileInfo(iniPath).fileName(), QString::number(declared),
                              QString::number(maxMirrors)));
    for (const ListedMirror &listedMirror : listed) {
        FTPSiteAccessData mirror;
        mirror.name = listedMirror.name;
        m_mirrors.append(mirror);
    }
    setDefaults(settings, clientVersion);
    return true;
}

bool Mirrors::initAlpha(const QString &iniPath, int clientVersion)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    const QString url = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (url.isEmpty()) {
        // Not translated: only the two messages of the list itself are.
        emit fatalError(
            QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("Alpha Channel");
    mirror.url = versionUrl(url, clientVersion);
    mirror.retries = 4;
    mirror.timeout = 15;
    mirror.maxUse = 1;
    m_mirrors.append(mirror);
    return true;
}

void Mirrors::setDefaults(QSettings &settings, int clientVersion)
{
    for (FTPSiteAccessData &mirror : m_mirrors) {
        settings.beginGroup(mirror.name);
        QString url = settings.value(QStringLiteral("url")).toString();
        if (const SchemeProfile *scheme = SchemeProfile::ofText(url))
            mirror.maxUse = scheme->defaultSlots;
        if (settings.contains(QStringLiteral("slots"))) {
            const QString value = settings.value(QStringLiteral("slots")).toString();
            bool ok = false;
            const int count = value.toInt(&ok);
            if (ok && count >= 1 && count <= maxSlots)
                mirror.maxUse = count;
            else
                emit message(QStringLiteral("Mirror %1: slots \"%2\" is not a number from 1 "
                                            "to %3, using %4")
                                 .arg(mirror.name, value.left(32), QString::number(maxSlots),
                                      QString::number(mirror.maxUse)));
        }
        mirror.url = versionUrl(url, clientVersion);
        // Read as unsigned: "0", garbage and values beyond the int range all give 2.
        const int retries = int(settings.value(QStringLiteral("retries"), 2u).toUInt());
        mirror.retries = retries > 0 ? retries : 2;
        settings.endGroup();
    }
}

int Mirrors::getRandomMirror(FTPSiteAccessData &mirror)
{
    return getRandomMirror(mirror, QSet<QString>());
}

int Mirrors::getRandomMirror(FTPSiteAccessData &mirror, const QSet<QString> &excluded, bool forPart)
{
    // The download that met the local fault has reported it.
    if (m_stopped)
        return NoMirrorLeft;
    if (m_mirrors.isEmpty()) {
        if (!m_noMirrorsReported) {
            emit message(tr("There are no (more) known working mirrors available"));
            m_noMirrorsReported = true;
        }
        return NoMirrorLeft;
    }
    // A part waits for a mirror that can continue it rather than start over
    // on one that sends the whole file again.
    QSet<QString> narrowed = excluded;
    if (forPart) {
        bool honouringLeft = false;
        for (const FTPSiteAccessData &candidate : std::as_const(m_mirrors)) {
            if (candidate.ignoresRanges)
                narrowed.insert(candidate.name);
            else if (!excluded.contains(candidate.name))
                honouringLeft = true;
        }
        if (!honouringLeft)
            narrowed = excluded;
    }
    int maxUse = 0;
    int useCount = 0;
    calcUseStats(maxUse, useCount, narrowed);
    if (maxUse == 0)
        return AllMirrorsExcluded;
    if (useCount >= maxUse)
        return AllSlotsBusy;

    int r = m_random() % (maxUse - useCount);
    for (FTPSiteAccessData &candidate : m_mirrors) {
        if (narrowed.contains(candidate.name))
            continue;
        r -= candidate.maxUse - candidate.useCount;
        if (r < 0) {
            ++candidate.useCount;
            mirror = candidate;
            return MirrorTaken;
        }
    }
    return NoMirrorLeft;
}

void Mirrors::stopHandingOut()
{
    m_stopped = true;
}

void Mirrors::releaseMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --m_mirrors[index].useCount;
}

void Mirrors::addMirrorError(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData &mirror = m_mirrors[index];
    ++mirror.errorCount;
    if (mirror.errorCount <= mirror.retries)
        return;
    emit message(tr("Mirror %1 failed too many times, removing").arg(mirror.name));
    m_mirrors.remove(index);
}

void Mirrors::removeMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        m_mirrors.remove(index);
}

void Mirrors::noteIgnoresRanges(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index < 0 || m_mirrors.at(index).ignoresRanges)
        return;
    m_mirrors[index].ignoresRanges = true;
    emit message(QStringLiteral("Mirror %1 ignores ranges: parts are continued on other "
                                "mirrors, or fetched from the start on it")
                     .arg(name));
}

bool Mirrors::ignoresRanges(const QString &name)
{
    const int index = getMirrorIndex(name);
    return index >= 0 && m_mirrors.at(index).ignoresRanges;
}

int Mirrors::getMirrorIndex(const QString &name)
{
    for (int i = 0; i < m_mirrors.size(); ++i) {
        if (m_mirrors.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int &maxUse, int &useCount)
{
    calcUseStats(maxUse, useCount, QSet<QString>());
}

void Mirrors::calcUseStats(int &maxUse, int &useCount, const QSet<QString> &excluded)
{
    maxUse = 0;
    useCount = 0;
    for (const FTPSiteAccessData &mirror : std::as_const(m_mirrors)) {
        if (excluded.contains(mirror.name))
            continue;
        maxUse += mirror.maxUse;
        useCount += mirror.useCount;
    }
}

void Mirrors::noteRate(const QString &name, qint64 bytesPerSecond)
{
    const qint64 now = m_clock.elapsed();
    QVector<RateNote> &notes = m_rates[name];
    while (!notes.isEmpty() && now - notes.first().at > rateMemoryMs)
        notes.removeFirst();
    if (!notes.isEmpty() && notes.last().at / 1000 == now / 1000) {
        notes.last().at = now;
        notes.last().bytesPerSecond = qMax(notes.last().bytesPerSecond, bytesPerSecond);
        return;
    }
    notes.append({now, bytesPerSecond});
}

qint64 Mirrors::bestRateElsewhere(const QString &name, qint64 withinMs) const
{
    const qint64 now = m_clock.elapsed();
    qint64 best = 0;
    for (auto it = m_rates.cbegin(); it != m_rates.cend(); ++it) {
        if (it.key() == name)
            continue;
        for (const RateNote &note : it.value()) {
            if (now - note.at <= withinMs)
                best = qMax(best, note.bytesPerSecond);
        }
    }
    return best;
}
