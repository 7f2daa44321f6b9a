// Starting the client's start script after an update.

#include "app/configuration.h"
#include "app/processtools.h"
#include "scopedapproot.h"

#include <QFile>
#include <QDir>
#include <QtTest>

class tst_ProcessTools : public QObject
{
    Q_OBJECT

private slots:
    void scriptInRootWithSpacesStarts();
    void missingScriptIsNotReported();
};

void tst_ProcessTools::scriptInRootWithSpacesStarts()
{
    const ScopedAppRoot appRoot(QStringLiteral("Morvane 3 Client"));
    QVERIFY(appRoot.isValid());
    const QString root = appRoot.path();
    const QString marker = root + QStringLiteral("/started");

    // The script leaves the number of arguments it was given.
    QFile script(root + QLatin1Char('/') + Configuration::getClientBinaryName());
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$#\" > \"$(dirname \"$0\")/started.part\"\n"
                 "mv \"$(dirname \"$0\")/started.part\" \"$(dirname \"$0\")/started\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));

    ProcessTools::startMrvClient();

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    QFile result(marker);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll().trimmed(), QByteArray("0"));
}

void tst_ProcessTools::missingScriptIsNotReported()
{
    const ScopedAppRoot appRoot;
    ProcessTools::startMrvClient();
    QVERIFY(QDir(appRoot.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

QTEST_GUILESS_MAIN(tst_ProcessTools)

#include "tst_processtools.moc"
