#include "formats/updateserverquery.h"

#include <QTest>

// The replies that the servers write, the updater reads back as written.
class tst_UpdateServerQuery : public QObject
{
    Q_OBJECT
private slots:
    void versionListReadsBack_data();
    void versionListReadsBack();
};

void tst_UpdateServerQuery::versionListReadsBack_data()
{
    QTest::addColumn<QStringList>("versions");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("three channels")
        << QStringList {"1000", "1001", "1002"} << QStringList {"3.0", "", "a # b"};
    QTest::newRow("beta left out") << QStringList {"7", "", "9"} << QStringList {"", "", ""};
}

void tst_UpdateServerQuery::versionListReadsBack()
{
    QFETCH(QStringList, versions);
    QFETCH(QStringList, names);
    QStringList entries;
    for (int i = 0; i < versions.size(); ++i)
        entries << UpdateServerQuery::versionEntry(versions[i], names[i]);
    const QByteArray reply = UpdateServerQuery::versionListReply(entries);
    QVERIFY(reply.endsWith('\0'));
    const QList<QPair<QString, QString>> read
        = UpdateServerQuery::readVersionList(reply.chopped(1));
    QCOMPARE(read.size(), versions.size());
    for (int i = 0; i < versions.size(); ++i)
        QCOMPARE(read[i], qMakePair(versions[i], names[i]));
}

QTEST_GUILESS_MAIN(tst_UpdateServerQuery)
#include "tst_updateserverquery.moc"
