// The Debian package of the publisher's tools, made by cpack from this build
// and unpacked into a scratch root as dpkg would install it.

#include "localservers.h"

#include <QtTest>

// Runs a program to its end: its exit code (-1 if it did not end) and output.
static QPair<int, QString> run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAll())};
}

class tst_Package : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void packageHoldsThePublishersTools();
    void unpackedServerChecksTheExample();

private:
    QTemporaryDir m_dir; // the package in out/, unpacked into root/
    QString m_package;
};

void tst_Package::initTestCase()
{
    const auto [made, log] = run(QStringLiteral(MORVANE_CPACK_COMMAND),
                                 {"--config", LocalServers::binDir() + "/../CPackConfig.cmake",
                                  "-B", m_dir.filePath("out")});
    QVERIFY2(made == 0, qPrintable(log));
    const QStringList packages = QDir(m_dir.filePath("out")).entryList({"*.deb"}, QDir::Files);
    QCOMPARE(packages.size(), 1);
    m_package = m_dir.filePath("out/") + packages.first();
    QCOMPARE(run("dpkg-deb", {"-x", m_package, m_dir.filePath("root")}).first, 0);
}

// The tools, the unit naming the packaged server and the example beside the
// guide; not the updater, the reference server or a key.
void tst_Package::packageHoldsThePublishersTools()
{
    QStringList found;
    for (const QString &line : run("dpkg-deb", {"-c", m_package}).second.split('\n')) {
        if (line.startsWith('-'))
            found.append(line.section(' ', -1));
    }
    QFile unit(m_dir.filePath("root/usr/lib/systemd/system/mrvupdated.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    found += QString::fromUtf8(unit.readAll()).split('\n').filter(QRegularExpression("^ExecStart="));
    found += run("dpkg-deb", {"-f", m_package, "Package", "Depends"})
                 .second.split('\n')
                 .filter(QRegularExpression("^Package:|libqt6core6"))
                 .replaceInStrings(QRegularExpression(": .*libqt6core6.*"), ": libqt6core6 ...");
    QCOMPARE(found, QStringList({"./usr/bin/mrvpublish", "./usr/bin/mrvupdated",
                                 "./usr/lib/systemd/system/mrvupdated.service",
                                 "./usr/share/doc/MorvaneUpdate/README.md",
                                 "./usr/share/doc/MorvaneUpdate/mrvupdated.ini",
                                 "./usr/share/doc/MorvaneUpdate/publishing.md",
                                 "ExecStart=/usr/bin/mrvupdated /etc/mrvupdated/mrvupdated.ini",
                                 "Package: morvane-publisher-tools", "Depends: libqt6core6 ..."}));
}

// As the guide has it checked before the unit is started, and as CI runs it.
void tst_Package::unpackedServerChecksTheExample()
{
    const QString example = m_dir.filePath("root/usr/share/doc/MorvaneUpdate/mrvupdated.ini");
    const auto [exitCode, output]
        = run(m_dir.filePath("root/usr/bin/mrvupdated"), {"--check", example});
    QVERIFY2(exitCode == 0, qPrintable(output));
    QVERIFY2(output.startsWith(example + ": valid;"), qPrintable(output));
}

QTEST_GUILESS_MAIN(tst_Package)
#include "tst_package.moc"
