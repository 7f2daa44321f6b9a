#include "update/updateinidata.h"

#include "formats/installationnames.h"
#include "formats/productini.h"
#include "tasks/foldersync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString sectionName = QStringLiteral("current");
const QString versionKey = QStringLiteral("version");
const QString dirKey = QStringLiteral("dir");
const QString typeKey = QStringLiteral("type");

// Whether dir (absolute) exists in any form, a dangling link included.
bool entryExists(const QString &dir)
{
    struct stat status;
    return ::lstat(QFile::encodeName(dir).constData(), &status) == 0;
}

// An entry that belongs to the current user and that no one else may write to.
bool isPrivate(const QByteArray &path, bool directory)
{
    struct stat status;
    if (::lstat(path.constData(), &status) != 0)
        return false;
    const bool kind = directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
    return kind && status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
} // namespace

QString UpdateIniData::filename()
{
    return InstallationNames::settingsFilePath(InstallationNames::appRoot());
}

bool UpdateIniData::get(int *version, QString *type, QString *dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(sectionName);
    bool versionOk = false;
    const int recordVersion = settings.value(versionKey).toInt(&versionOk);
    const QString recordDir = settings.value(dirKey).toString();
    const QString recordType = settings.value(typeKey).toString();
    settings.endGroup();

    if (!versionOk || !ProductIni::isValidClientType(recordType) || recordDir.isEmpty())
        return false;
    if (!isSessionDirectory(recordDir))
        return false;

    if (version)
        *version = recordVersion;
    if (type)
        *type = recordType;
    if (dir)
        *dir = recordDir;
    return true;
}

bool UpdateIniData::isSessionDirectory(const QString &dir)
{
    // The directory of a record is emptied and removed when the record belongs
    // to another version, and its files are copied into the installation when
    // it belongs to this one: so it is trusted only if it is one that this
    // updater made, which nobody else can have filled or pointed elsewhere.
    if (!QDir::isAbsolutePath(dir))
        return false;
    const QFileInfo info(QDir::cleanPath(dir));
    if (info.path() != QDir::cleanPath(QDir::tempPath())
        || !info.fileName().startsWith(InstallationNames::tempDirPrefix()))
        return false;
    const QByteArray path = QFile::encodeName(info.filePath());
    return isPrivate(path, true)
        && isPrivate(path + '/' + QFile::encodeName(InstallationNames::sessionMarkerName()), false);
}

bool UpdateIniData::namesForeignDirectory(QString *dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    const QString recordDir = settings.value(sectionName + QLatin1Char('/') + dirKey).toString();
    if (recordDir.isEmpty() || !QDir::isAbsolutePath(recordDir) || !entryExists(recordDir)
        || isSessionDirectory(recordDir))
        return false;
    if (dir)
        *dir = recordDir;
    return true;
}

void UpdateIniData::modify(int version, const QString &dir, const QString &type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(sectionName);
    settings.setValue(versionKey, version);
    settings.setValue(dirKey, dir);
    settings.setValue(typeKey, type);
    settings.endGroup();
    syncRecord(settings);
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(sectionName);
    syncRecord(settings);
}

void UpdateIniData::syncRecord(QSettings &settings)
{
    // The settings file is written under a temporary name, synced and renamed
    // over update.ini; the rename is durable once its folder is synced.
    settings.sync();
    FolderSync::syncFolder(QFileInfo(settings.fileName()).absolutePath());
}
