#include "update/updateengine.h"

#include "formats/updatechannel.h"
#include "fileops/tomcryptutil.h"
#include "net/networkaccessmanager.h"
#include "net/urltext.h"
#include "update/maintaskspecification.h"
#include "update/updateinidata.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
const quint16 defaultProxyPort = 3128;
const qint64 maxBannerSize = 270000;
const int tickInterval = 1000;
} // namespace

UpdateEngine::UpdateEngine(const RunSettings &settings, QObject *parent)
    : UpdateEngine(settings, parent, Options())
{ }

UpdateEngine::UpdateEngine(const RunSettings &settings, QObject *parent, const Options &options)
    : QObject(parent)
    , m_settings(settings)
    , m_options(options)
{
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    m_manager = new NetworkAccessManager(this);
    m_manager->setCaCertificates(m_options.caCertificates);

    applyProxy();
}

void UpdateEngine::setHooks(const Hooks &hooks)
{
    m_hooks = hooks;
}

void UpdateEngine::setSettings(const RunSettings &settings)
{
    m_settings = settings;
}

void UpdateEngine::setOptions(const Options &options)
{
    m_options = options;
    m_manager->setCaCertificates(m_options.caCertificates);
}

void UpdateEngine::applyProxy()
{
    const QString &proxy = m_settings.proxy;
    if (proxy.isEmpty()) {
        m_manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    // A URL without a host ("proxy:3128" reads as scheme and path) would give
    // a proxy that every transfer fails on; it is reported like any other
    // unusable value.
    const QUrl url(proxy);
    if (url.isValid() && !url.host().isEmpty()) {
        m_manager->setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), url.port(defaultProxyPort)));
        return;
    }
    // The engine is built inside the window's constructor, before the window
    // can connect to it: the report goes out from the event loop.
    const QString text = QStringLiteral("'%1' is an invalid proxy specification")
                             .arg(UrlText::withoutUserInfo(proxy));
    QTimer::singleShot(0, this, [this, text] { emit fatalError(text); });
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception &exception) {
        emit fatalError(QString::fromLocal8Bit(exception.what()));
        return false;
    }

    const QString mirrorsFile = m_settings.mirrorsFilePath();
    if (!QFileInfo::exists(mirrorsFile)) {
        emit fatalError(QStringLiteral("%1 is missing, cannot proceed.")
                            .arg(QFileInfo(mirrorsFile).fileName()));
        return false;
    }

    Random::seed(static_cast<quint32>(QDateTime::currentSecsSinceEpoch()));

    QString dir;
    int recordVersion = 0;
    QString recordDir;
    if (UpdateIniData::get(&recordVersion, nullptr, &recordDir)) {
        if (recordVersion == m_settings.clientVersion) {
            emit message(
                QStringLiteral("Previous update session for v. %1 found").arg(recordVersion));
            dir = recordDir;
        } else {
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(recordVersion)
                             .arg(recordDir));
            removeSessionDirectory(recordDir, true);
            UpdateIniData::cleanup();
        }
    } else if (UpdateIniData::namesForeignDirectory(&recordDir)) {
        // Not a directory this updater made: neither reused nor emptied.
        emit message(
            QStringLiteral("Session record names %1, which is no session directory of this "
                           "updater; left alone")
                .arg(recordDir));
        UpdateIniData::cleanup();
    }

    m_sessionDir = m_hooks.openSession ? m_hooks.openSession(dir) : QString();
    if (m_sessionDir.isEmpty())
        return false;
    UpdateIniData::modify(m_settings.clientVersion, m_sessionDir, m_settings.clientType);

    // The previous run's list goes; its tasks went with the end of that run.
    if (m_mirrorList)
        m_mirrorList->deleteLater();
    m_mirrorList = new Mirrors(m_options.random, this);
    m_mirrorList->setSlowTransferWindow(m_options.slowTransferWindow);
    connect(m_mirrorList, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(m_mirrorList, &Mirrors::message, this, &UpdateEngine::message);

    bool filled = false;
    if (m_settings.updateChannel == AlphaChannel)
        filled = m_mirrorList->initAlpha(m_settings.settingsFilePath(), m_settings.clientVersion);
    else
        filled = m_mirrorList->initDefault(mirrorsFile, m_settings.clientVersion);
    if (!filled)
        return false;

    m_state = EngineReady;
    return true;
}

bool UpdateEngine::startUpdate()
{
    RunSettings run = m_settings;
    run.sessionDir = m_sessionDir;
    m_mainTask = new MainTaskSpecification(m_manager, m_mirrorList, run, this, 1.0);
    connect(m_mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    // The first cause is what went wrong; those after it are its consequences.
    m_failureCause.clear();
    connect(m_mainTask, &TaskSpecification::failureCause, this, [this](const QString &cause) {
        if (m_failureCause.isEmpty())
            m_failureCause = cause;
    });
    m_installationWhole = true;
    m_state = EngineRunning;
    m_timer->start(tickInterval);
    m_mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return m_state == EngineReady || m_state == EngineRunning;
}

void UpdateEngine::reset()
{
    m_state = EngineIdle;
    // The timer runs only while a run is under way.
    m_timer->stop();
    releaseMainTask();
}

void UpdateEngine::cancelUpdate()
{
    // The end of the run arrives later through onTaskCanceled().
    if (m_state == EngineRunning && m_mainTask)
        m_mainTask->userCanceled();
}

void UpdateEngine::onTimer()
{
    if (m_state != EngineRunning || !m_mainTask)
        return;
    // Also the time base of the download time-outs, counted in ticks.
    unsigned long long downloadDone = 0;
    unsigned long long downloadTotal = 0;
    unsigned long long speed = 0;
    bool downloading = false;
    m_mainTask->timeTick(downloadDone, downloadTotal, speed, downloading);
    // A time-out in this tick may have ended the run, whose end has already
    // cleared the figures: they are not brought back.
    if (m_state != EngineRunning)
        return;
    emit downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    m_timer->stop();
    cleanup();
    if (m_hooks.recordInstalledVersion)
        m_hooks.recordInstalledVersion();
    m_state = EngineFinished;
    if (m_mainTask)
        emit message(m_mainTask->summaryLine());
    emit message(QStringLiteral("Update successfully finished"));
    // The main task is still inside its own finished() signal.
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    m_timer->stop();
    m_state = EngineCanceled;
    // A run that failed has reported why; only a user cancel gets a line here.
    if (m_mainTask && m_mainTask->state == UserCanceled)
        emit message(QStringLiteral("User aborted update"));
    const bool failed = m_mainTask && m_mainTask->state == ErrorCanceled;
    m_installationWhole = !m_mainTask || m_mainTask->installationWhole();
    // The temporary directory and the session record stay for the next attempt.
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    if (failed && !m_failureCause.isEmpty())
        emit failureCause(m_failureCause);
    emit updateCanceled();
}

void UpdateEngine::releaseMainTask()
{
    if (!m_mainTask)
        return;
    // Disconnected first, so that a run reaches the window with one end only.
    disconnect(m_mainTask, nullptr, this, nullptr);
    m_mainTask->deleteLater();
    m_mainTask = nullptr;
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    const QString prefix = dir + QLatin1Char('/') + InstallationNames::specialFileRenamePrefix();
    const QStringList names = InstallationNames::specialFileNames();
    for (const QString &name : names)
        QFile::remove(prefix + name);
}

void UpdateEngine::cleanupDirectory(const QString &dir)
{
    // Symbolic links are neither deleted nor followed. QDir::System lists a
    // dangling link despite QDir::NoSymLinks, so every entry is asked again.
    const QDir::Filters common
        = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    QDir directory(dir);
    const QFileInfoList files = directory.entryInfoList(QDir::Files | common);
    for (const QFileInfo &file : files) {
        if (!file.isSymLink())
            directory.remove(file.fileName());
    }
    const QFileInfoList subdirectories = directory.entryInfoList(QDir::Dirs | common);
    for (const QFileInfo &subdirectory : subdirectories) {
        if (subdirectory.isSymLink())
            continue;
        cleanupDirectory(subdirectory.filePath());
        directory.rmdir(subdirectory.fileName());
    }
}

void UpdateEngine::removeSessionDirectory(const QString &dir, bool report)
{
    cleanupDirectory(dir);
    QDir parent(dir);
    if (!parent.cdUp())
        return;
    const bool removed = parent.rmdir(QFileInfo(dir).fileName());
    if (report)
        emit message(removed ? QStringLiteral("Ok") : QStringLiteral("Failed to remove directory"));
}

void UpdateEngine::cleanup()
{
    emit message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir)) {
        removeSessionDirectory(dir, false);
        UpdateIniData::cleanup();
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::getBanner()
{
    if (m_bannerReply)
        return;
    // Asked once the event loop runs: a start that ends on its command line
    // sends nothing anywhere.
    QTimer::singleShot(0, this, [this] {
        auto *banner = new Banner(m_options.banner, this);
        connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
        banner->run();
    });
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    const QUrl url(bannerUrl);
    if (!url.isValid())
        return;
    // A second reply of the same query replaces a transfer still under way.
    m_bannerReply.abort();
    m_bannerClickUrl = clickUrl;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_bannerReply.reset(m_manager->get(request));
    connect(m_bannerReply.get(), &QNetworkReply::finished, this,
            &UpdateEngine::onBannerDownloadFinished);
    connect(m_bannerReply.get(), &QNetworkReply::metaDataChanged, this,
            &UpdateEngine::onBannermetaDataChanged);
    // A reply that announces no length is held to the same limit while it
    // arrives, so that a banner cannot fill the memory.
    connect(m_bannerReply.get(), &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64) {
                if (received > maxBannerSize)
                    m_bannerReply.abort();
            });
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!m_bannerReply)
        return;
    const QVariant length = m_bannerReply->header(QNetworkRequest::ContentLengthHeader);
    bool ok = false;
    const qint64 size = length.toLongLong(&ok);
    if (length.isValid() && ok && size > maxBannerSize)
        m_bannerReply.abort();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!m_bannerReply)
        return;
    QByteArray bannerImage;
    const bool whole = m_bannerReply.readBounded(bannerImage, maxBannerSize);
    m_bannerReply.abort();
    if (whole)
        emit bannerFound(bannerImage, m_bannerClickUrl);
}
