#include "app/configuration.h"

#include "formats/installationnames.h"
#include "formats/productini.h"
#include "sys/uniquefd.h"
#include "update/replacementjournal.h"
#include "update/updateinidata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QUrl>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString installedSection = QStringLiteral("installed");
const QStringList channelNames
    = {QStringLiteral("stable"), QStringLiteral("beta"), QStringLiteral("alpha")};

// The group of a client type's record in [installed]: the type with every
// character other than letters, digits and "-._~" written as %XX, so that no
// type reads as a path of groups and each has a group of its own.
QString installedGroup(const QString &type)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(type));
}

} // namespace

Configuration::Configuration(QObject *parent)
    : QObject(parent)
{ }

QString Configuration::getAppRootPath()
{
    return InstallationNames::appRoot();
}

void Configuration::setAppRootPath(const QString &path)
{
    InstallationNames::setAppRoot(path);
}

QString Configuration::getSettingsFilePath()
{
    return InstallationNames::settingsFilePath(getAppRootPath());
}

QString Configuration::getMirrorsFilePath()
{
    return InstallationNames::mirrorsFilePath(getAppRootPath());
}

QString Configuration::getUpdateType()
{
    return InstallationNames::updateType();
}

QString Configuration::getClientBinaryName()
{
    return InstallationNames::clientBinaryName();
}

QStringList Configuration::getProtectedFileNames()
{
    return InstallationNames::protectedFileNames();
}

const QString &Configuration::getSpecialFileRenamePrefix()
{
    return InstallationNames::specialFileRenamePrefix();
}

QStringList Configuration::getSpecialFileNames()
{
    return InstallationNames::specialFileNames();
}

QString Configuration::getTempDirPrefix()
{
    return InstallationNames::tempDirPrefix();
}

QString Configuration::getSessionMarkerName()
{
    return InstallationNames::sessionMarkerName();
}

bool Configuration::isSpecialFileName(const QString &name) const
{
    return InstallationNames::isSpecialFileName(name);
}

RunSettings Configuration::settings() const
{
    RunSettings settings;
    settings.appRoot = getAppRootPath();
    settings.updateChannel = m_updateChannel;
    settings.clientType = m_clientType;
    settings.clientVersion = m_clientVersion;
    settings.clientVersionName = m_clientVersionName;
    settings.newsText = m_newsText;
    settings.unattended = isUnattended();
    settings.noUserMode = m_noUserMode == 1;
    settings.verifyAll = m_verifyAll;
    settings.proxy = m_proxy;
    settings.downloadConcurrency = m_downloadConcurrency;
    return settings;
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_proxy = settings.value(QStringLiteral("proxy")).toString();
    bool ok = false;
    m_downloadConcurrency
        = settings.value(QStringLiteral("streams"), DefaultDownloadConcurrency).toInt(&ok);
    if (!ok || m_downloadConcurrency < 1)
        m_downloadConcurrency = DefaultDownloadConcurrency;
}

void Configuration::getUpdateChannel()
{
    QSettings settings(getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        m_updateChannel = AlphaChannel;
        // Text that is not a number gives 0: the version is then asked from the server.
        m_clientVersion = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else {
        m_updateChannel = beta ? BetaChannel : StableChannel;
        m_clientVersion = 0;
    }
}

Configuration::ParseResult Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

Configuration::ParseResult Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    getUpdateChannel();
    m_noUserMode = 0;
    m_versionFromServer = false;

    const int n = arguments.size() - 1;
    m_noUserRequested = n >= 1 && arguments.at(1) == QLatin1String("--nouser");
    if (m_noUserRequested) {
        if (n >= 3 && !getClientTypeVersion(arguments, 2))
            return ParseFailed;
        if (n >= 4 && arguments.at(4) != QLatin1String("#"))
            m_clientVersionName = arguments.at(4);
        if (n >= 5)
            m_newsText = arguments.at(5);
        const ParseResult result = getDefaultParameters();
        // Unattended once the version is settled; completeDefaultParameters()
        // says so after the update server's answer.
        if (result == Parsed)
            m_noUserMode = 1;
        return result;
    }
    if (n == 2)
        return getClientTypeVersion(arguments, 1) ? Parsed : ParseFailed;
    return getDefaultParameters();
}

bool Configuration::getClientTypeVersion(const QStringList &args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    // The type names a file on the mirrors and in the session directory: it
    // is refused before anything is asked or fetched.
    if (!ProductIni::isValidClientType(args.at(index))) {
        emit fatalError(QStringLiteral("Invalid client type (%1)")
                            .arg(ProductIni::escapedText(args.at(index))));
        return false;
    }
    m_clientType = args.at(index);
    if (index + 1 >= args.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(args.at(index + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString &text, const QString &errorFormat)
{
    if (m_clientVersion != 0)
        return true;
    // Only digits: toInt() would also take a sign ("-5", "+5") and blanks
    // around the number, and a negative version names no release.
    const bool digitsOnly = !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    bool ok = false;
    m_clientVersion = digitsOnly ? text.toInt(&ok, 10) : 0;
    if (!ok) {
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    return true;
}

Configuration::ParseResult Configuration::getDefaultParameters()
{
    if (m_clientType.isEmpty())
        m_clientType = getUpdateType();
    return m_clientVersion != 0 ? Parsed : NeedsUpdateServer;
}

bool Configuration::completeDefaultParameters(const QPair<QString, QString> &latest,
                                              const QString &news)
{
    // The news text of the reply replaces one given on the command line.
    m_newsText = news;
    if (latest.first.isEmpty())
        return false;
    // The reply's number is read as a decimal integer, blanks around it
    // allowed ("1, 2,3" and a line end after the last entry are the
    // server's to send); a sign, a point or other text is refused.
    if (!getClientVersionFromString(latest.first.trimmed(),
                                    QObject::tr("Update server returned invalid version nr (%1)")))
        return false;
    // A server, or someone answering in its place, cannot take the
    // installation back to an older release: a publisher rolls back by
    // publishing a new, higher version. A stopped roll-out offers the
    // version before it: the installed one is kept, and the run ends as an
    // up-to-date run does. A version the user names, or a change of
    // channel, is the user's choice.
    const int installed = getInstalledVersion(m_clientType, m_updateChannel);
    if (m_clientVersion < installed) {
        const QString offer = QStringLiteral("The update server offers version %1, older than "
                                             "the installed version %2; ")
                                  .arg(m_clientVersion)
                                  .arg(installed);
        // Files half of one version and half of another belong to no
        // version: they are not kept as installed, and nothing is started.
        if (ReplacementJournal::exists()) {
            emit fatalError(offer + QStringLiteral("nothing was changed."));
            return false;
        }
        m_olderOffered = offer + QStringLiteral("the installed version is kept.");
        m_clientVersion = installed;
    } else {
        m_clientVersionName = latest.second;
        m_versionFromServer = true;
    }
    if (m_noUserRequested)
        m_noUserMode = 1;
    return true;
}

int Configuration::getInstalledVersion(const QString &type, UpdateChannel channel)
{
    QSettings settings(getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(installedSection);
    // A record without a client type comes from an updater that kept one
    // record for all types; the default type is the one it was almost
    // always written for. It counts until that type has a record of its own.
    const QString group = installedGroup(type);
    if (settings.childGroups().contains(group) || type != getUpdateType())
        settings.beginGroup(group);
    if (settings.value(QStringLiteral("channel")).toString() != channelNames.value(channel))
        return 0;
    bool ok = false;
    const int version = settings.value(QStringLiteral("version")).toInt(&ok);
    return ok ? version : 0;
}

void Configuration::recordInstalledVersion() const
{
    // Only what the server offered is a floor for its later offers: a version
    // the user named may be a test build, or a rollback of their own.
    if (!m_versionFromServer)
        return;
    QSettings settings(getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(installedSection);
    if (m_clientType == getUpdateType()) {
        settings.remove(QStringLiteral("version"));
        settings.remove(QStringLiteral("channel"));
    }
    settings.beginGroup(installedGroup(m_clientType));
    settings.setValue(QStringLiteral("version"), m_clientVersion);
    settings.setValue(QStringLiteral("channel"), channelNames.value(m_updateChannel));
    UpdateIniData::syncRecord(settings);
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');

    // The system temporary directory is shared with other users: the name is
    // drawn at random and made in the same step, private to this user
    // (mkdtemp), so that nobody can take it first or plant anything there.
    QByteArray path = QFile::encodeName(base + getTempDirPrefix()) + "XXXXXX";
    if (::mkdtemp(path.data())) {
        // The marker tells a later run that the directory is one of ours.
        const QByteArray marker = path + '/' + QFile::encodeName(getSessionMarkerName());
        const UniqueFd fd(
            ::open(marker.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.isValid()) {
            m_tempDir = QFile::decodeName(path);
            return true;
        }
        ::rmdir(path.constData());
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

bool Configuration::initalizeStart(const QString &dir)
{
    if (dir.isEmpty())
        return createTempDir();
    m_tempDir = dir;
    return true;
}
