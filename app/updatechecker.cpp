#include "app/updatechecker.h"

#include "app/configuration.h"
#include "app/processtools.h"
#include "formats/updateserverquery.h"
#include "ui/timedmessagebox.h"
#include "update/replacementjournal.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

UpdateChecker::UpdateChecker(Configuration &configuration, const VersionQuery::Server &server,
                             QObject *parent)
    : QObject(parent)
    , m_configuration(configuration)
    , m_query(server)
{
    // Queued: the box and a retry come once the query is out of its signal.
    connect(&m_query, &VersionQuery::done, this, &UpdateChecker::onQueryDone,
            Qt::QueuedConnection);
}

void UpdateChecker::checkUpdate()
{
    m_versions.clear();
    m_news.clear();
    m_query.start();
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const int index = int(channel);
    if (index < 0 || index >= m_versions.size())
        return qMakePair(QString(), QString());
    return m_versions.at(index);
}

QList<QPair<QString, QString>> UpdateChecker::parseVersionList(const QByteArray &text)
{
    return UpdateServerQuery::readVersionList(text);
}

void UpdateChecker::onQueryDone(bool answered)
{
    if (answered) {
        m_versions = m_query.versions();
        m_news = m_query.news();
        emit done(m_configuration.completeDefaultParameters(
            getClientVersionByChannel(m_configuration.m_updateChannel), m_news));
        return;
    }

    // Built by hand: the static QMessageBox::critical() would make Retry the
    // default button, and this box has none. Unattended, nobody answers: the
    // query is given up at once. The cause names a host: plain text.
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"),
                    QObject::tr("Failed to query latest client\nversion from update server.")
                        + QLatin1Char('\n') + m_query.failureCause(),
                    QMessageBox::Retry | QMessageBox::Abort);
    box.setTextFormat(Qt::PlainText);
    // The installed version can be played without the server: the failure is
    // ignored. Whoever runs the updater unattended decides that for itself.
    const bool unattended = m_configuration.isUnattended();
    const QString client = Configuration::getAppRootPath() + QLatin1Char('/')
        + Configuration::getClientBinaryName();
    // Not while an interrupted replacement is not undone: the files installed
    // belong to no version.
    if (!unattended && QFileInfo(client).isFile() && !ReplacementJournal::exists())
        box.addButton(QMessageBox::Ignore)
            ->setText(QCoreApplication::translate("MainWindow", "Start Installed Version"));
    const QMessageBox::StandardButton answer
        = TimedMessageBox::exec(box, unattended, QMessageBox::Abort);
    if (answer == QMessageBox::Ignore)
        ProcessTools::startMrvClient();
    if (answer == QMessageBox::Abort || answer == QMessageBox::Ignore) {
        emit done(false);
        return;
    }
    // Any other answer asks again, the whole exchange.
    m_query.start();
}
