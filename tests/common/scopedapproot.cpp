#include "scopedapproot.h"

#include "app/configuration.h"
#include "update/runsettings.h"
#include "update/updateengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QThreadPool>

namespace {
// Sees every event of the process; the first queued call of an engine that
// still has the update server as its banner server comes before its query.
class BannerRedirect : public QObject
{
public:
    explicit BannerRedirect(quint16 port)
        : m_port(port)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::MetaCall)
            return false;
        auto *engine = qobject_cast<UpdateEngine *>(watched);
        if (engine && engine->options().banner.host == Banner::Server().host) {
            UpdateEngine::Options options = engine->options();
            options.banner.host = QStringLiteral("127.0.0.1");
            options.banner.port = m_port;
            engine->setOptions(options);
        }
        return false;
    }

private:
    const quint16 m_port;
};
} // namespace

ScopedAppRoot::ScopedAppRoot(const QString &rootName)
    : m_rootName(rootName)
    , m_savedTmpDir(qgetenv("TMPDIR")), m_hadTmpDir(qEnvironmentVariableIsSet("TMPDIR"))
{
    m_valid = m_work.isValid() && QDir().mkpath(path()) && QDir().mkpath(tempPath());
    Configuration::setAppRootPath(path());
    qputenv("TMPDIR", QFile::encodeName(tempPath()));
}

ScopedAppRoot::~ScopedAppRoot()
{
    // Jobs still on the pool may write into the root or TMPDIR.
    QThreadPool::globalInstance()->waitForDone();
    m_bannerRedirect.reset();
    if (m_hadTmpDir)
        qputenv("TMPDIR", m_savedTmpDir);
    else
        qunsetenv("TMPDIR");
    Configuration::setAppRootPath(QString());
}

void ScopedAppRoot::askBannersAt(quint16 port)
{
    m_bannerRedirect = std::make_unique<BannerRedirect>(port);
}

QString ScopedAppRoot::path() const
{
    return m_work.filePath(m_rootName);
}

QString ScopedAppRoot::filePath(const QString &name) const
{
    return path() + QLatin1Char('/') + name;
}

QString ScopedAppRoot::tempPath() const
{
    return m_work.filePath(QStringLiteral("tmp"));
}

QString ScopedAppRoot::tempFilePath(const QString &name) const
{
    return tempPath() + QLatin1Char('/') + name;
}

QString ScopedAppRoot::workFilePath(const QString &name) const
{
    return m_work.filePath(name);
}

RunSettings ScopedAppRoot::settings() const
{
    RunSettings settings;
    settings.appRoot = path();
    settings.sessionDir = tempPath();
    return settings;
}
