#include "formats/installationnames.h"

#include "formats/productini.h"

#include <QCoreApplication>

namespace {
QString &appRootOverride()
{
    static QString path;
    return path;
}
} // namespace

QString InstallationNames::appRoot()
{
    if (!appRootOverride().isEmpty())
        return appRootOverride();
    return QCoreApplication::applicationDirPath();
}

void InstallationNames::setAppRoot(const QString &path)
{
    QString root = path;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    appRootOverride() = root;
}

QString InstallationNames::settingsFilePath(const QString &root)
{
    return root + QStringLiteral("/update.ini");
}

QString InstallationNames::mirrorsFilePath(const QString &root)
{
    return root + QStringLiteral("/mirrors.ini");
}

QString InstallationNames::updateType()
{
    return QStringLiteral("client_linux_amd64");
}

QString InstallationNames::clientBinaryName()
{
    return QStringLiteral("mrvclient_runscript.sh");
}

QStringList InstallationNames::protectedFileNames()
{
    return ProductIni::updaterFiles();
}

const QString &InstallationNames::specialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

QStringList InstallationNames::specialFileNames()
{
    return {QStringLiteral("update"),
            QStringLiteral("libQtCore.so.4"),
            QStringLiteral("libQtGui.so.4"),
            QStringLiteral("libQtNetwork.so.4"),
            QStringLiteral("libqgif.so"),
            QStringLiteral("libqjpeg.so"),
            QStringLiteral("libqtaccessiblewidgets.so")};
}

bool InstallationNames::isSpecialFileName(const QString &name)
{
    return specialFileNames().contains(name, Qt::CaseSensitive);
}

QString InstallationNames::tempDirPrefix()
{
    return QStringLiteral("morvane_temp_");
}

QString InstallationNames::sessionMarkerName()
{
    return QStringLiteral(".morvane_session");
}
