#include "update/updateinidata.h"

#include "app/configuration.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString sectionName = QStringLiteral("current");
const QString versionKey = QStringLiteral("version");
const QString dirKey = QStringLiteral("dir");
const QString typeKey = QStringLiteral("type");

// The directory of a record is emptied and removed when the record belongs to
// another version, and its files are copied into the installation when it
// belongs to this one; so it is trusted only if nobody else can have put
// anything there, or have pointed it somewhere else.
bool isPrivateDirectory(const QString &dir)
{
    if (!QDir::isAbsolutePath(dir))
        return false;
    struct stat status;
    if (::lstat(QFile::encodeName(dir).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
        && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
} // namespace

QString UpdateIniData::filename()
{
    return Configuration::getAppRootPath() + QStringLiteral("/update.ini");
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

    if (!versionOk || recordType.isEmpty() || recordDir.isEmpty())
        return false;
    if (!isPrivateDirectory(recordDir))
        return false;

    if (version)
        *version = recordVersion;
    if (type)
        *type = recordType;
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
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(sectionName);
}
