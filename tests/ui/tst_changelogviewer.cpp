// The change log dialog against real mirrors (nginx, vsftpd) and the fault
// server for the mirrors that fail: an error, a redirection page, a transfer
// that takes longer than 2 s.

#include "app/configuration.h"
#include "net/networkaccessmanager.h"
#include "net/random.h"
#include "faultserver.h"
#include "localservers.h"
#include "scopedapproot.h"
#include "ui/changelogviewer.h"
#include "ui/inerttextdocument.h"

#include <QFile>
#include <QFontMetrics>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {
const QString version = QStringLiteral("3170");
const QByteArray changeLog = "Morvane 3.1.7\n\n- Faster start\n- New maps\n";
} // namespace

class tst_ChangeLogViewer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void loadsFromMirror_data();
    void loadsFromMirror();
    void failingMirrorsAreSkipped_data();
    void failingMirrorsAreSkipped();
    void slowMirrorIsAbandoned();
    void allMirrorsFailing();
    void alphaLocationIsTriedOnce();
    void noSourcesMeansFailure();
    void twoClicksOneDialogOneRequest();
    void closedDialogIsForgotten();
    void dialogTakesWidthOfWidestLine();
    void emptyChangeLogKeepsSize();
    void changeLogOverOneMiBFailsItsMirror_data();
    void changeLogOverOneMiBFailsItsMirror();

private:
    void writeMirrors(const QStringList &urls);
    QString shownText() const;
    int nginxRequests() const;

    LocalServers m_servers;
    QTemporaryDir m_mirrorRoot;
    QString m_http;
    QString m_https;
    // Trusts the https server.
    NetworkAccessManager m_manager;
    QString m_ftp;
    std::unique_ptr<FaultServer> m_faults;
    std::unique_ptr<FaultServer> m_movedPages;
    std::unique_ptr<ScopedAppRoot> m_appRoot;
};

void tst_ChangeLogViewer::initTestCase()
{
    QVERIFY(m_mirrorRoot.isValid());
    QVERIFY(QDir(m_mirrorRoot.path()).mkpath(version));
    QFile file(m_mirrorRoot.filePath(version + QStringLiteral("/changelog_client.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(changeLog);
    file.close();
    QVERIFY(QDir(m_mirrorRoot.path()).mkpath(QStringLiteral("9")));
    QVERIFY(QFile(m_mirrorRoot.filePath(QStringLiteral("9/changelog_client.txt")))
                .open(QIODevice::WriteOnly));

    m_https = m_servers.startNginx(m_mirrorRoot.path(), true);
    m_ftp = m_servers.startFtp(m_mirrorRoot.path());
    // Started last: its access log is the one that nginxAccessLog() reads.
    m_http = m_servers.startNginx(m_mirrorRoot.path(), false);
    QVERIFY(!m_http.isEmpty() && !m_https.isEmpty() && !m_ftp.isEmpty());
    m_manager.setCaCertificates(m_servers.caCertificates());

    m_faults = std::make_unique<FaultServer>(changeLog);
    QVERIFY(m_faults->start());
    m_movedPages = std::make_unique<FaultServer>(
        "<html><head><title>302 Found</title></head><body><h1>Found</h1>"
        "<p>The document has moved <a href=\"http://elsewhere.example/\">here</a>.</p>"
        "</body></html>\n");
    QVERIFY(m_movedPages->start());
    Random::seed(7);
}

void tst_ChangeLogViewer::init()
{
    m_appRoot = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_appRoot->isValid());
}

void tst_ChangeLogViewer::cleanup()
{
    delete ChangeLogViewer::m_instance;
    QVERIFY(!ChangeLogViewer::m_instance);
    m_appRoot.reset();
}

void tst_ChangeLogViewer::writeMirrors(const QStringList &urls)
{
    QSettings settings(m_appRoot->filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
    settings.beginWriteArray(QStringLiteral("mirrors"));
    for (int i = 0; i < urls.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("mirror"), QStringLiteral("mirror%1").arg(i));
    }
    settings.endArray();
    for (int i = 0; i < urls.size(); ++i)
        settings.setValue(QStringLiteral("mirror%1/url").arg(i), urls.at(i));
}

QString tst_ChangeLogViewer::shownText() const
{
    if (!ChangeLogViewer::m_instance)
        return QString();
    return ChangeLogViewer::m_instance->findChild<QTextEdit *>(QStringLiteral("changeLogTextEdit"))
        ->toPlainText();
}

int tst_ChangeLogViewer::nginxRequests() const
{
    return int(m_servers.nginxAccessLog().count('\n'));
}

void tst_ChangeLogViewer::loadsFromMirror_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("http") << "http";
    QTest::newRow("https") << "https";
    QTest::newRow("ftp") << "ftp";
}

void tst_ChangeLogViewer::loadsFromMirror()
{
    QFETCH(QString, scheme);
    const QString base = scheme == QLatin1String("http") ? m_http
        : scheme == QLatin1String("https")               ? m_https
                                                         : m_ftp;
    // The configured URL may end in a slash or not.
    writeMirrors({base + QLatin1Char('/')});

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version, &m_manager);
    QVERIFY(ChangeLogViewer::m_instance);
    QCOMPARE(shownText(), QStringLiteral("Loading..."));
    QCOMPARE(ChangeLogViewer::m_instance->windowTitle(), QStringLiteral("Changelog"));
    QTRY_COMPARE(shownText(), QString::fromUtf8(changeLog));
}

void tst_ChangeLogViewer::failingMirrorsAreSkipped_data()
{
    QTest::addColumn<QString>("failing");
    QTest::newRow("404") << "404";
    QTest::newRow("500") << "500";
    QTest::newRow("redirect without page") << "302";
    QTest::newRow("reset") << "reset";
}

void tst_ChangeLogViewer::failingMirrorsAreSkipped()
{
    QFETCH(QString, failing);
    const int before = m_faults->requestCount(failing);
    const int movedBefore = m_movedPages->requestCount(QStringLiteral("ok"));
    const int nginxBefore = nginxRequests();
    writeMirrors({m_faults->baseUrl() + QLatin1Char('/') + failing,
                  m_movedPages->baseUrl() + QStringLiteral("/ok"), m_http});

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTRY_COMPARE(shownText(), QString::fromUtf8(changeLog));
    // Each mirror is asked at most once, the good one exactly once.
    QVERIFY(m_faults->requestCount(failing) - before <= 1);
    QVERIFY(m_movedPages->requestCount(QStringLiteral("ok")) - movedBefore <= 1);
    QCOMPARE(nginxRequests() - nginxBefore, 1);
}

void tst_ChangeLogViewer::slowMirrorIsAbandoned()
{
    const int before = m_faults->requestCount(QStringLiteral("stall"));
    writeMirrors({m_faults->baseUrl() + QStringLiteral("/stall")});
    // Only the stalling mirror: the dialog gives up after 2 s.
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTest::qWait(1500);
    QCOMPARE(shownText(), QStringLiteral("Loading..."));
    QTRY_COMPARE_WITH_TIMEOUT(shownText(), QStringLiteral("Failed to load changelog."), 3000);
    QCOMPARE(m_faults->requestCount(QStringLiteral("stall")) - before, 1);
    delete ChangeLogViewer::m_instance;

    // With a good mirror beside it, the good one is shown in the end.
    writeMirrors({m_faults->baseUrl() + QStringLiteral("/stall"), m_http});
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTRY_COMPARE_WITH_TIMEOUT(shownText(), QString::fromUtf8(changeLog), 5000);
}

void tst_ChangeLogViewer::allMirrorsFailing()
{
    const int before404 = m_faults->requestCount(QStringLiteral("404"));
    const int beforeMoved = m_movedPages->requestCount(QStringLiteral("ok"));
    const int nginxBefore = nginxRequests();
    // nginx without the version's directory answers 404 as well.
    writeMirrors({m_faults->baseUrl() + QStringLiteral("/404"),
                  m_movedPages->baseUrl() + QStringLiteral("/ok"),
                  m_http + QStringLiteral("/none")});

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTRY_COMPARE(shownText(), QStringLiteral("Failed to load changelog."));
    QCOMPARE(m_faults->requestCount(QStringLiteral("404")) - before404, 1);
    QCOMPARE(m_movedPages->requestCount(QStringLiteral("ok")) - beforeMoved, 1);
    QCOMPARE(nginxRequests() - nginxBefore, 1);

    // It stays so: asking again tries nothing more.
    ChangeLogViewer::m_instance->requestRemote(QString());
    QCOMPARE(shownText(), QStringLiteral("Failed to load changelog."));
    QTest::qWait(100);
    QCOMPARE(m_faults->requestCount(QStringLiteral("404")) - before404, 1);
}

void tst_ChangeLogViewer::alphaLocationIsTriedOnce()
{
    const int before = m_faults->requestCount(QStringLiteral("404"));
    const int nginxBefore = nginxRequests();
    writeMirrors({m_http});
    QSettings settings(m_appRoot->filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Channel/alpha"),
                      m_faults->baseUrl() + QStringLiteral("/404"));
    settings.sync();

    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTRY_COMPARE(shownText(), QStringLiteral("Failed to load changelog."));
    QCOMPARE(m_faults->requestCount(QStringLiteral("404")) - before, 1);
    QTest::qWait(100);
    QCOMPARE(nginxRequests() - nginxBefore, 0);
}

void tst_ChangeLogViewer::noSourcesMeansFailure()
{
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QCOMPARE(shownText(), QStringLiteral("Failed to load changelog."));
}

void tst_ChangeLogViewer::twoClicksOneDialogOneRequest()
{
    const int nginxBefore = nginxRequests();
    writeMirrors({m_http});
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QPointer<ChangeLogViewer> first = ChangeLogViewer::m_instance;
    // A second click, even for another version, only brings it to the front.
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("9"));
    QCOMPARE(ChangeLogViewer::m_instance, first.data());
    QTRY_COMPARE(shownText(), QString::fromUtf8(changeLog));
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTest::qWait(100);
    QCOMPARE(ChangeLogViewer::m_instance, first.data());
    QCOMPARE(nginxRequests() - nginxBefore, 1);
}

void tst_ChangeLogViewer::closedDialogIsForgotten()
{
    writeMirrors({m_http});
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QPointer<ChangeLogViewer> dialog = ChangeLogViewer::m_instance;
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
    QVERIFY(!ChangeLogViewer::m_instance);
}

void tst_ChangeLogViewer::dialogTakesWidthOfWidestLine()
{
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    ChangeLogViewer *dialog = ChangeLogViewer::m_instance;
    const QString wide = QStringLiteral("- A line that is clearly the widest one of all");
    const QString text = QStringLiteral("short\n\n") + wide + QStringLiteral("\nend");
    dialog->load(text);

    const QTextEdit *view = dialog->findChild<QTextEdit *>(QStringLiteral("changeLogTextEdit"));
    QCOMPARE(view->toPlainText(), text);
    QVERIFY(view->isReadOnly());
    QVERIFY(qobject_cast<InertTextDocument *>(view->document()));
    QCOMPARE(view->lineWrapMode(), QTextEdit::NoWrap);
    const int widest = QFontMetrics(view->currentFont()).horizontalAdvance(wide);
    const QRect available = dialog->screen()->availableGeometry();
    QCOMPARE(dialog->width(), qMin(widest + 50, available.width()));
    QCOMPARE(dialog->height(), qMin(500, available.height()));
}

void tst_ChangeLogViewer::emptyChangeLogKeepsSize()
{
    writeMirrors({m_http});
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("9"));
    const QSize before = ChangeLogViewer::m_instance->size();
    QCOMPARE(shownText(), QStringLiteral("Loading..."));
    QTRY_COMPARE(shownText(), QString());
    QCOMPARE(ChangeLogViewer::m_instance->size(), before);
}

void tst_ChangeLogViewer::changeLogOverOneMiBFailsItsMirror_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("shown");
    QTest::newRow("1 MiB") << 1024 * 1024 << true;
    QTest::newRow("1 MiB and a byte") << 1024 * 1024 + 1 << false;
}

void tst_ChangeLogViewer::changeLogOverOneMiBFailsItsMirror()
{
    QFETCH(int, size);
    QFETCH(bool, shown);
    const QByteArray text = QByteArray(63, '-').append('\n').repeated(size / 64 + 1).left(size);
    FaultServer mirror(text);
    QVERIFY(mirror.start());
    writeMirrors({mirror.baseUrl() + QStringLiteral("/ok")});
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
    QTRY_COMPARE(shownText(), shown ? QString::fromLatin1(text) : "Failed to load changelog.");
}

QTEST_MAIN(tst_ChangeLogViewer)

#include "tst_changelogviewer.moc"
