// Starting the client's start script after an update.

#include "app/configuration.h"
#include "app/processtools.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestProcessTools : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void scriptInRootWithSpacesStarts();
    void missingScriptIsNotReported();
};

void TestProcessTools::cleanup()
{
    Configuration::setAppRootPath(QString());
}

void TestProcessTools::scriptInRootWithSpacesStarts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.filePath(QStringLiteral("Morvane 3 Client"));
    QVERIFY(QDir().mkpath(root));
    const QString marker = root + QStringLiteral("/started");

    // The script leaves the number of arguments it was given.
    QFile script(root + QLatin1Char('/') + Configuration::getClientBinaryName());
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/started.part\"\n"
                 "mv \"$(dirname \"$0\")/started.part\" \"$(dirname \"$0\")/started\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));

    Configuration::setAppRootPath(root);
    ProcessTools::startMrvClient();

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    QFile result(marker);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll().trimmed(), QByteArray("0"));
}

void TestProcessTools::missingScriptIsNotReported()
{
    QTemporaryDir dir;
    Configuration::setAppRootPath(dir.path());
    ProcessTools::startMrvClient();
    QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

QTEST_GUILESS_MAIN(TestProcessTools)

#include "tst_processtools.moc"
