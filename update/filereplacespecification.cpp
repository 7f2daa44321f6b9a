#include "update/filereplacespecification.h"

#include "formats/installationnames.h"

#include <QFileInfo>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unzipFilePath.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unzipFilePath : filePath;
}

QString FileReplaceSpecification::destFileName(const QString &prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString name = prefix + info.fileName();
    const QString dir = info.path();
    if (dir == QLatin1String("."))
        return name;
    return dir + QLatin1Char('/') + name;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(InstallationNames::specialFileRenamePrefix());
}
