#include "net/random.h"
#include "net/mirrors.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_Mirrors : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void urlAndSlotsFollowScheme_data();
    void urlAndSlotsFollowScheme();
    void badRetriesFallBackToTwo_data();
    void badRetriesFallBackToTwo();
    void slotsFromSection_data();
    void slotsFromSection();
    void listKeepsFileOrder();
    void oversizedListIsCut_data();
    void oversizedListIsCut();
    void missingFileGivesEmptyList();
    void choiceFollowsFreeSlots();
    void busySlotsMakeCallerWait();
    void mirrorDroppedAfterRetriesPlusOneErrors();
    void lastMirrorGoneReportedOnce();
    void unknownNameChangesNothing();
    void alphaMirror_data();
    void alphaMirror();

private:
    QString writeFile(const QString &name, const QByteArray &content);
    QTemporaryDir m_dir;
    int m_files = 0;
};

QString tst_Mirrors::writeFile(const QString &name, const QByteArray &content)
{
    // QSettings caches a file by path, size and modification time: a new
    // file of the same size written within the same second would read as
    // the old one, so every call writes a file of its own.
    const QString path = m_dir.filePath(QString::number(++m_files) + QLatin1Char('-') + name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    return path;
}

void tst_Mirrors::init()
{
    Random::seed(12345);
}

void tst_Mirrors::urlAndSlotsFollowScheme_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("maxUse");

    QTest::newRow("http") << "http://a.example/dl"
                          << "http://a.example/dl/123" << 3;
    QTest::newRow("http, slash") << "http://a.example/dl/"
                                 << "http://a.example/dl/123" << 3;
    QTest::newRow("HTTP upper case") << "HTTP://A.example/"
                                     << "HTTP://A.example/123" << 3;
    QTest::newRow("https mixed case") << "hTtPs://s.example"
                                      << "hTtPs://s.example/123" << 3;
    QTest::newRow("ftp") << "ftp://f.example/pub/"
                         << "ftp://f.example/pub/123" << 1;
    QTest::newRow("scheme only a prefix") << "httpx://x.example"
                                          << "httpx://x.example/123" << 1;
    QTest::newRow("missing url") << QString() << "/123" << 1;
}

void tst_Mirrors::urlAndSlotsFollowScheme()
{
    QFETCH(QString, configured);
    QFETCH(QString, url);
    QFETCH(int, maxUse);

    QByteArray ini = "[mirrors]\nsize=1\n1\\mirror=one\n\n[one]\n";
    if (!configured.isNull())
        ini += "url=" + configured.toUtf8() + "\n";
    Mirrors mirrors;
    QVERIFY(mirrors.initDefault(writeFile("mirrors.ini", ini), 123));

    FTPSiteAccessData mirror;
    QCOMPARE(mirrors.getRandomMirror(mirror), 0);
    QCOMPARE(mirror.name, QStringLiteral("one"));
    QCOMPARE(mirror.url, url);
    QCOMPARE(mirror.maxUse, maxUse);
    QCOMPARE(mirror.timeout, 15);
    QCOMPARE(mirror.useCount, 1);
}

void tst_Mirrors::badRetriesFallBackToTwo_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("retries");

    QTest::newRow("missing") << QByteArray() << 2;
    QTest::newRow("zero") << QByteArray("retries=0") << 2;
    QTest::newRow("not a number") << QByteArray("retries=many") << 2;
    QTest::newRow("negative") << QByteArray("retries=-3") << 2;
    QTest::newRow("beyond int") << QByteArray("retries=4294967295") << 2;
    QTest::newRow("five") << QByteArray("retries=5") << 5;
}

void tst_Mirrors::badRetriesFallBackToTwo()
{
    QFETCH(QByteArray, line);
    QFETCH(int, retries);

    Mirrors mirrors;
    mirrors.initDefault(
        writeFile("mirrors.ini",
                  "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=ftp://m/\n" + line + "\n"),
        7);
    FTPSiteAccessData mirror;
    QCOMPARE(mirrors.getRandomMirror(mirror), 0);
    QCOMPARE(mirror.retries, retries);
}

void tst_Mirrors::slotsFromSection_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<int>("maxUse");
    QTest::addColumn<QString>("message");

    QTest::newRow("http, 16") << QByteArray("url=http://m/\nslots=16") << 16 << QString();
    QTest::newRow("ftp, 2") << QByteArray("url=ftp://m/\nslots=2") << 2 << QString();
    QTest::newRow("one") << QByteArray("url=http://m/\nslots=1") << 1 << QString();
    QTest::newRow("64") << QByteArray("url=https://m/\nslots=64") << 64 << QString();
    const QString bad = QStringLiteral("Mirror m: slots \"%1\" is not a number from 1 to 64, "
                                       "using %2");
    QTest::newRow("65") << QByteArray("url=http://m/\nslots=65") << 3 << bad.arg("65").arg(3);
    QTest::newRow("zero") << QByteArray("url=http://m/\nslots=0") << 3 << bad.arg("0").arg(3);
    QTest::newRow("negative") << QByteArray("url=ftp://m/\nslots=-4") << 1 << bad.arg("-4").arg(1);
    QTest::newRow("not a number") << QByteArray("url=http://m/\nslots=many") << 3
                                  << bad.arg("many").arg(3);
    QTest::newRow("empty") << QByteArray("url=http://m/\nslots=") << 3 << bad.arg("").arg(3);
}

void tst_Mirrors::slotsFromSection()
{
    QFETCH(QByteArray, section);
    QFETCH(int, maxUse);
    QFETCH(QString, message);

    Mirrors mirrors;
    QSignalSpy messages(&mirrors, &Mirrors::message);
    mirrors.initDefault(
        writeFile("mirrors.ini", "[mirrors]\nsize=1\n1\\mirror=m\n[m]\n" + section + "\n"), 7);
    int total = 0, used = 0;
    mirrors.calcUseStats(total, used);
    QCOMPARE(total, maxUse);
    QCOMPARE(messages.count(), message.isNull() ? 0 : 1);
    if (!message.isNull())
        QCOMPARE(messages.at(0).at(0).toString(), message);
}

void tst_Mirrors::listKeepsFileOrder()
{
    Mirrors mirrors;
    mirrors.initDefault(
        writeFile("mirrors.ini", "[mirrors]\nsize=3\n1\\mirror=c\n2\\mirror=a\n3\\mirror=b\n"), 1);
    QCOMPARE(mirrors.getMirrorIndex("c"), 0);
    QCOMPARE(mirrors.getMirrorIndex("a"), 1);
    QCOMPARE(mirrors.getMirrorIndex("b"), 2);
    QCOMPARE(mirrors.getMirrorIndex("B"), -1);
    mirrors.removeMirror("a");
    QCOMPARE(mirrors.getMirrorIndex("c"), 0);
    QCOMPARE(mirrors.getMirrorIndex("b"), 1);
}

void tst_Mirrors::oversizedListIsCut_data()
{
    QTest::addColumn<int>("size");

    QTest::newRow("at the limit") << 1000;
    QTest::newRow("one more") << 1001;
    QTest::newRow("two billion") << 2000000000;
}

// The first 1000 mirrors are read, a line says so, and the run goes on.
void tst_Mirrors::oversizedListIsCut()
{
    QFETCH(int, size);

    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(size) + "\n";
    for (int i = 1; i <= qMin(size, 1001); ++i)
        ini += QByteArray::number(i) + "\\mirror=m" + QByteArray::number(i) + "\n";
    Mirrors mirrors;
    QSignalSpy messages(&mirrors, &Mirrors::message);
    const QString path = writeFile("mirrors.ini", ini);
    QVERIFY(mirrors.initDefault(path, 1));
    QCOMPARE(mirrors.getMirrorIndex("m1000"), 999);
    QCOMPARE(mirrors.getMirrorIndex("m1001"), -1);
    QCOMPARE(messages.count(), size > 1000 ? 1 : 0);
    if (size > 1000)
        QCOMPARE(messages.at(0).at(0).toString(),
                 QStringLiteral("%1 declares %2 mirrors; the first 1000 are used")
                     .arg(QFileInfo(path).fileName())
                     .arg(size));
}

void tst_Mirrors::missingFileGivesEmptyList()
{
    Mirrors mirrors;
    QSignalSpy messages(&mirrors, &Mirrors::message);
    QVERIFY(mirrors.initDefault(m_dir.filePath("absent.ini"), 1));
    FTPSiteAccessData mirror;
    QCOMPARE(mirrors.getRandomMirror(mirror), 1);
    QCOMPARE(messages.count(), 1);
}

static QByteArray threeMirrors()
{
    return "[mirrors]\nsize=3\n1\\mirror=h1\n2\\mirror=h2\n3\\mirror=f\n"
           "[h1]\nurl=http://one/\n[h2]\nurl=https://two\n[f]\nurl=ftp://three/\n";
}

void tst_Mirrors::choiceFollowsFreeSlots()
{
    Mirrors mirrors;
    mirrors.initDefault(writeFile("mirrors.ini", threeMirrors()), 1);

    QHash<QString, int> picks;
    const int draws = 7000;
    for (int i = 0; i < draws; ++i) {
        FTPSiteAccessData mirror;
        QCOMPARE(mirrors.getRandomMirror(mirror), 0);
        ++picks[mirror.name];
        mirrors.releaseMirror(mirror.name);
    }
    // Odds 3:3:1, i.e. 3000, 3000 and 1000 expected.
    QVERIFY2(qAbs(picks["h1"] - 3000) < 250, qPrintable(QString::number(picks["h1"])));
    QVERIFY2(qAbs(picks["h2"] - 3000) < 250, qPrintable(QString::number(picks["h2"])));
    QVERIFY2(qAbs(picks["f"] - 1000) < 150, qPrintable(QString::number(picks["f"])));

    // A mirror with no free slot is never chosen.
    FTPSiteAccessData held[3];
    int taken = 0;
    while (taken < 3) {
        FTPSiteAccessData mirror;
        QCOMPARE(mirrors.getRandomMirror(mirror), 0);
        if (mirror.name == "h1")
            held[taken++] = mirror;
        else
            mirrors.releaseMirror(mirror.name);
    }
    for (int i = 0; i < 200; ++i) {
        FTPSiteAccessData mirror;
        QCOMPARE(mirrors.getRandomMirror(mirror), 0);
        QVERIFY(mirror.name != "h1");
        mirrors.releaseMirror(mirror.name);
    }
}

void tst_Mirrors::busySlotsMakeCallerWait()
{
    Mirrors mirrors;
    mirrors.initDefault(writeFile("mirrors.ini", threeMirrors()), 1);
    QSignalSpy messages(&mirrors, &Mirrors::message);

    QHash<QString, int> uses;
    for (int i = 0; i < 7; ++i) {
        FTPSiteAccessData mirror;
        QCOMPARE(mirrors.getRandomMirror(mirror), 0);
        QCOMPARE(mirror.useCount, ++uses[mirror.name]);
    }
    QCOMPARE(uses.value("h1"), 3);
    QCOMPARE(uses.value("h2"), 3);
    QCOMPARE(uses.value("f"), 1);

    FTPSiteAccessData mirror;
    QCOMPARE(mirrors.getRandomMirror(mirror), 2);
    QCOMPARE(mirrors.getRandomMirror(mirror), 2);
    int maxUse = 0, useCount = 0;
    mirrors.calcUseStats(maxUse, useCount);
    QCOMPARE(maxUse, 7);
    QCOMPARE(useCount, 7);

    mirrors.releaseMirror("f");
    QCOMPARE(mirrors.getRandomMirror(mirror), 0);
    QCOMPARE(mirror.name, QStringLiteral("f"));
    QCOMPARE(messages.count(), 0);
}

void tst_Mirrors::mirrorDroppedAfterRetriesPlusOneErrors()
{
    Mirrors mirrors;
    mirrors.initDefault(writeFile("mirrors.ini", threeMirrors()), 1);
    QSignalSpy messages(&mirrors, &Mirrors::message);

    mirrors.addMirrorError("h2");
    mirrors.addMirrorError("h2");
    QCOMPARE(mirrors.getMirrorIndex("h2"), 1);
    QCOMPARE(messages.count(), 0);
    mirrors.addMirrorError("h2");
    QCOMPARE(mirrors.getMirrorIndex("h2"), -1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Mirror h2 failed too many times, removing"));
    // The others keep their places and their own counts.
    QCOMPARE(mirrors.getMirrorIndex("h1"), 0);
    QCOMPARE(mirrors.getMirrorIndex("f"), 1);
}

void tst_Mirrors::lastMirrorGoneReportedOnce()
{
    Mirrors mirrors;
    mirrors.initDefault(writeFile("mirrors.ini", threeMirrors()), 1);
    QSignalSpy messages(&mirrors, &Mirrors::message);
    mirrors.removeMirror("h1");
    mirrors.removeMirror("h2");
    mirrors.removeMirror("f");
    QCOMPARE(messages.count(), 0);

    FTPSiteAccessData mirror;
    QCOMPARE(mirrors.getRandomMirror(mirror), 1);
    QCOMPARE(mirrors.getRandomMirror(mirror), 1);
    QCOMPARE(mirrors.getRandomMirror(mirror), 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("There are no (more) known working mirrors available"));
}

void tst_Mirrors::unknownNameChangesNothing()
{
    Mirrors mirrors;
    mirrors.initDefault(writeFile("mirrors.ini", threeMirrors()), 1);
    QSignalSpy messages(&mirrors, &Mirrors::message);
    for (int i = 0; i < 5; ++i) {
        mirrors.addMirrorError("nobody");
        mirrors.releaseMirror("nobody");
        mirrors.removeMirror("nobody");
        mirrors.releaseMirror(QString());
    }
    int maxUse = 0, useCount = 0;
    mirrors.calcUseStats(maxUse, useCount);
    QCOMPARE(maxUse, 7);
    QCOMPARE(useCount, 0);
    QCOMPARE(messages.count(), 0);
    QCOMPARE(mirrors.getMirrorIndex("f"), 2);
}

void tst_Mirrors::alphaMirror_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("url");

    QTest::newRow("value") << QByteArray("[Channel]\nalpha=http://alpha.example/a\n")
                           << "http://alpha.example/a/42";
    QTest::newRow("empty") << QByteArray("[Channel]\nalpha=\n") << QString();
    QTest::newRow("missing") << QByteArray("[update]\nstreams=6\n") << QString();
}

void tst_Mirrors::alphaMirror()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, url);

    Mirrors mirrors;
    QSignalSpy fatal(&mirrors, &Mirrors::fatalError);
    const bool ok = mirrors.initAlpha(writeFile("update.ini", ini), 42);
    FTPSiteAccessData mirror;
    if (url.isNull()) {
        QVERIFY(!ok);
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(),
                 QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        QCOMPARE(mirrors.getRandomMirror(mirror), 1);
        return;
    }
    QVERIFY(ok);
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(mirrors.getRandomMirror(mirror), 0);
    QCOMPARE(mirror.name, QStringLiteral("Alpha Channel"));
    QCOMPARE(mirror.url, url);
    QCOMPARE(mirror.retries, 4);
    QCOMPARE(mirror.maxUse, 1); // no scheme test for the alpha mirror
    QCOMPARE(mirrors.getRandomMirror(mirror), 2);
    // Dropped at its fifth error.
    for (int i = 0; i < 4; ++i)
        mirrors.addMirrorError("Alpha Channel");
    QCOMPARE(mirrors.getMirrorIndex("Alpha Channel"), 0);
    mirrors.addMirrorError("Alpha Channel");
    QCOMPARE(mirrors.getMirrorIndex("Alpha Channel"), -1);
}

QTEST_GUILESS_MAIN(tst_Mirrors)
#include "tst_mirrors.moc"
