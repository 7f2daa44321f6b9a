#include "ui/changelogviewer.h"

#include "formats/installationnames.h"
#include "formats/productini.h"
#include "net/mirrors.h"
#include "net/networkaccessmanager.h"
#include "net/random.h"
#include "ui/inerttextdocument.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int requestTimeoutMs = 2000;
// A change log is a page of text; a mirror that sends more has failed.
constexpr qint64 maxChangeLogSize = 1024 * 1024;
constexpr int widthMargin = 50;
constexpr int fallbackWidth = 500;
constexpr int heightLimit = 500;
} // namespace

ChangeLogViewer *ChangeLogViewer::m_instance = nullptr;

ChangeLogViewer::ChangeLogViewer(QWidget *parent)
    : QDialog(parent, Qt::WindowSystemMenuHint)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    m_textEdit = new QTextEdit(this);
    m_textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    m_textEdit->setDocument(new InertTextDocument(m_textEdit));
    m_textEdit->setReadOnly(true);
    m_textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont typewriter;
    typewriter.setStyleHint(QFont::TypeWriter);
    QFont font = m_textEdit->font();
    font.setFamily(typewriter.defaultFamily());
    m_textEdit->setFont(font);

    auto *buttonBox = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    // From the program's catalogue: Qt's own is rarely installed.
    buttonBox->button(QDialogButtonBox::Close)->setText(tr("Close"));
    connect(buttonBox, &QDialogButtonBox::rejected, this, &ChangeLogViewer::close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_textEdit);
    layout->addWidget(buttonBox);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget *parent, const QString &version,
                                                QNetworkAccessManager *manager)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->m_manager = manager;
        m_instance->requestRemote(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

void ChangeLogViewer::requestRemote(const QString &version)
{
    if (m_reply)
        return;
    m_textEdit->setText(tr("Loading..."));
    if (!version.isEmpty())
        m_version = version;

    const QString base = getRemoteUrl();
    if (base.isEmpty()) {
        m_textEdit->setText(tr("Failed to load changelog."));
        return;
    }
    QString url = base;
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    url += m_version + QLatin1Char('/') + ProductIni::ChangelogName;

    if (!m_manager)
        m_manager = new NetworkAccessManager(this);
    m_reply.reset(m_manager->get(QNetworkRequest(QUrl(url))));
    connect(m_reply.get(), &QNetworkReply::readyRead, this, &ChangeLogViewer::onReadyRead);
    connect(m_reply.get(), &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);

    if (!m_timeoutTimer) {
        m_timeoutTimer = new QTimer(this);
        m_timeoutTimer->setSingleShot(true);
        m_timeoutTimer->setInterval(requestTimeoutMs);
        connect(m_timeoutTimer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    m_timeoutTimer->start();
}

void ChangeLogViewer::onRequestTimeout()
{
    // Aborting makes the reply finish with an error, which moves on to the
    // next mirror.
    if (m_reply)
        m_reply->abort();
}

void ChangeLogViewer::onReadyRead()
{
    // Counted as the bytes arrive, never held beyond the limit; aborting
    // makes the reply finish with an error, which moves on to the next mirror.
    if (!m_reply.readBounded(m_body, maxChangeLogSize))
        m_reply->abort();
}

void ChangeLogViewer::onRequestFinished()
{
    if (!m_reply)
        return;
    // Redirections are not followed: a mirror that redirects has failed,
    // whatever page it sends along.
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool redirected = status >= 300 && status < 400;
    if (m_reply->error() == QNetworkReply::NoError && !redirected
        && m_reply.readBounded(m_body, maxChangeLogSize)) {
        QTextStream stream(m_body);
        const QString text = stream.readAll();
        // Some servers answer a moved file with a page saying so.
        if (!text.contains(QLatin1String("document has moved"))) {
            releaseReply();
            load(text);
            return;
        }
    }
    releaseReply();
    requestRemote(QString());
}

void ChangeLogViewer::releaseReply()
{
    m_body.clear();
    m_reply.reset();
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (m_mirrorsLoaded)
        return getRandomMirror();
    m_mirrorsLoaded = true;

    const QString updateIni = InstallationNames::settingsFilePath(InstallationNames::appRoot());
    if (QFile::exists(updateIni)) {
        QSettings settings(updateIni, QSettings::IniFormat);
        const QString alpha = settings.value(QStringLiteral("Channel/alpha")).toString();
        // The alpha channel reads its change log from the alpha location only.
        if (!alpha.isEmpty())
            return alpha;
    }

    const QString mirrorsIni = InstallationNames::mirrorsFilePath(InstallationNames::appRoot());
    if (QFile::exists(mirrorsIni)) {
        QSettings settings(mirrorsIni, QSettings::IniFormat);
        // As for the run, a longer list is read up to its limit.
        int declared = 0;
        const QVector<Mirrors::ListedMirror> listed = Mirrors::readList(settings, declared);
        for (const Mirrors::ListedMirror &mirror : listed) {
            if (!mirror.url.isEmpty())
                m_mirrorUrls.append(mirror.url);
        }
        return getRandomMirror();
    }
    return QString();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (m_mirrorUrls.isEmpty())
        return QString();
    return m_mirrorUrls.takeAt(Random::next() % m_mirrorUrls.size());
}

void ChangeLogViewer::load(const QString &text)
{
    m_textEdit->setText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(m_textEdit->currentFont());
    int widest = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const int wantedWidth = widest > 0 ? widest + widthMargin : fallbackWidth;

    const QScreen *shown = screen();
    if (!shown)
        return;
    const QRect available = shown->availableGeometry();
    if (!available.isValid())
        return;
    resize(qMin(wantedWidth, available.width()), qMin(heightLimit, available.height()));
}
