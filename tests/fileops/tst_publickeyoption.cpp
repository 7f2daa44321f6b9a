#include "localservers.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The build option MORVANE_PUBLIC_KEY: configuring with a key file that is
// missing, empty or too long for the 2048-byte key buffer fails at once,
// naming the option and the file.
class tst_PublicKeyOption : public QObject
{
    Q_OBJECT

private slots:
    void badKeyFileFailsConfigure_data();
    void badKeyFileFailsConfigure();
};

void tst_PublicKeyOption::badKeyFileFailsConfigure_data()
{
    QTest::addColumn<int>("size"); // -1: no file
    QTest::addColumn<bool>("accepted");
    QTest::newRow("missing file") << -1 << false;
    QTest::newRow("empty file") << 0 << false;
    QTest::newRow("longer than the key buffer") << 2049 << false;
    QTest::newRow("exactly the key buffer") << 2048 << true;
}

void tst_PublicKeyOption::badKeyFileFailsConfigure()
{
    QFETCH(int, size);
    QFETCH(bool, accepted);
    QTemporaryDir dir;
    const QString key = dir.filePath("publisher key.der");
    if (size >= 0) {
        QFile file(key);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, '\x30'));
    }
    QProcess cmake;
    cmake.setProcessChannelMode(QProcess::MergedChannels);
    cmake.start("cmake",
                {"-S", LocalServers::sourceDir(), "-B", dir.filePath("build"),
                 "-DBUILD_TESTING=OFF", "-DMORVANE_PUBLIC_KEY=" + key});
    QVERIFY(cmake.waitForFinished(240000));
    const QString output = QString::fromLocal8Bit(cmake.readAll()).simplified();
    QCOMPARE(cmake.exitCode() == 0, accepted);
    if (!accepted) {
        QVERIFY2(output.contains("MORVANE_PUBLIC_KEY: public key file"), qPrintable(output));
        QVERIFY2(output.contains("publisher key.der"), qPrintable(output));
    }
}

QTEST_GUILESS_MAIN(tst_PublicKeyOption)
#include "tst_publickeyoption.moc"
