#include "scopedapproot.h"

#include "app/configuration.h"
#include "app/updatechecker.h"
#include "net/banner.h"

#include <QDir>
#include <QFile>
#include <QThreadPool>

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
    Banner::setServer(QString(), 0);
    UpdateChecker::setServer(QString(), 0);
    if (m_hadTmpDir)
        qputenv("TMPDIR", m_savedTmpDir);
    else
        qunsetenv("TMPDIR");
    Configuration::setAppRootPath(QString());
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
