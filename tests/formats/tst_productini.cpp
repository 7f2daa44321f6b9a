#include "formats/fileline.h"
#include "formats/patchlistline.h"
#include "formats/productini.h"
#include "formats/productinireader.h"

#include <QSettings>
#include <QTemporaryDir>

#include <QTest>

Q_DECLARE_METATYPE(FileLine)

// What the publisher writes, the updater reads back as it was written.
class tst_ProductIni : public QObject
{
    Q_OBJECT
private slots:
    void fileLineReadsBack_data();
    void fileLineReadsBack();
    void patchListLineReadsBack_data();
    void patchListLineReadsBack();
    void keysReadAsQSettingsReadsThem_data();
    void keysReadAsQSettingsReadsThem();
};

const QString md5A = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString md5B = QStringLiteral("fedcba9876543210fedcba9876543210");

void tst_ProductIni::fileLineReadsBack_data()
{
    QTest::addColumn<FileLine>("written");
    QTest::addColumn<QString>("text");
    QTest::newRow("stored") << FileLine::stored(md5A, 1234) << md5A + "::1234";
    QTest::newRow("unpacked") << FileLine::unpacked(md5A, 10, md5B, 99, QStringLiteral("dir/x.so"))
                              << md5A + "::10::" + md5B + "::99::dir/x.so";
    QTest::newRow("unpacked below a UTF-8 directory")
        << FileLine::unpacked(md5A, 0, md5B, 0, QStringLiteral("données/ä b.txt"))
        << md5A + "::0::" + md5B + "::0::données/ä b.txt";
}

void tst_ProductIni::fileLineReadsBack()
{
    QFETCH(FileLine, written);
    QFETCH(QString, text);
    QCOMPARE(written.text(), text);
    const std::optional<FileLine> read = FileLine::read(text);
    QVERIFY(read);
    QCOMPARE(read->md5, written.md5);
    QCOMPARE(read->size, written.size);
    QCOMPARE(read->unpackedMd5, written.unpackedMd5);
    QCOMPARE(read->unpackedSize, written.unpackedSize);
    QCOMPARE(read->unpackedPath, written.unpackedPath);
    QCOMPARE(read->installedPath(QStringLiteral("key")),
             written.isUnpacked() ? written.unpackedPath : QStringLiteral("key"));
}

void tst_ProductIni::patchListLineReadsBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<qint64>("size");
    QTest::newRow("plain key") << QStringLiteral("data/a.bin") << qint64(0);
    QTest::newRow("UTF-8 key, large patch") << QStringLiteral("ä/b.gz") << qint64(123456789012);
}

void tst_ProductIni::patchListLineReadsBack()
{
    QFETCH(QString, key);
    QFETCH(qint64, size);
    const QByteArray section = PatchListLine::sectionText(key);
    const QByteArray patch = PatchListLine::text(md5A, md5B, size);
    QVERIFY(section.endsWith('\n') && patch.endsWith('\n'));

    const PatchListLine readSection = PatchListLine::read(QByteArrayView(section).chopped(1));
    QCOMPARE(readSection.kind, PatchListLine::Section);
    QCOMPARE(QString::fromUtf8(readSection.section), key);
    const PatchListLine readPatch = PatchListLine::read(QByteArrayView(patch).chopped(1));
    QCOMPARE(readPatch.kind, PatchListLine::Patch);
    QCOMPARE(QString::fromLatin1(readPatch.installedMd5), md5A);
    QCOMPARE(QString::fromLatin1(readPatch.patchMd5), md5B);
    QCOMPARE(readPatch.patchSize, size);

    // The [General] value that names the list, and where the patch lies.
    QString name;
    QString md5;
    qint64 listSize = -1;
    QVERIFY(ProductIni::readPatchListValue(ProductIni::patchListValue(key, md5B.toUpper(), size),
                                           &name, &md5, &listSize));
    QCOMPARE(name, key);
    QCOMPARE(md5, md5B);
    QCOMPARE(listSize, size);
    QCOMPARE(ProductIni::patchPath(key, md5A), "patches/" + key + "." + md5A + ".zst");
}

// Each key as "section|key=value", [General]'s as "|key=value".
QStringList keysOf(const ProductIniReader &reader)
{
    QStringList lines;
    for (const QString &name : {ProductIni::TypeKey, ProductIni::VersionKey})
        lines << "|" + name + "=" + reader.general(name);
    for (const ProductIniReader::Key &key : reader.keys())
        lines << reader.sections().at(key.section) + "|" + reader.keyText(key) + "="
                + reader.valueText(key);
    return lines;
}

void tst_ProductIni::keysReadAsQSettingsReadsThem_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("direct");
    // What the publisher writes, names that need escapes included.
    QTemporaryDir dir;
    {
        QSettings ini(dir.filePath("w.ini"), QSettings::IniFormat);
        ini.setValue(ProductIni::TypeKey, "client_linux_amd64");
        ini.setValue(ProductIni::VersionKey, 7);
        for (const char *name : {"b/z.bin", "B/a.bin", "a-b", "a.b", "a/b", "a0", "x y/%1.txt",
                                 "Data/UPPER_lower-1.2", "zz/1/2/3/4"})
            ini.setValue(QStringLiteral("files/") + name, md5A + "::12::" + md5B + "::3::a/b-c");
        ini.setValue("delete/old/gone.so", md5B + "::0");
        ini.sync();
    }
    QFile written(dir.filePath("w.ini"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QTest::newRow("as the publisher writes it") << written.readAll() << true;
    const QByteArray plain = "[General]\ntype=t\nversion=2\n\n[files]\nb\\c=" + md5A.toLatin1()
        + "::1\na=" + md5B.toLatin1() + "::2\n";
    QTest::newRow("files before delete") << plain + "[delete]\nq=1\n" << true;
    QTest::newRow("no newline at the end") << plain.chopped(1) << true;
    // Lines only QSettings reads right.
    QTest::newRow("a key twice") << plain + "a=3::3\n" << false;
    QTest::newRow("a section twice") << plain + "[files]\nc=3::3\n" << false;
    QTest::newRow("CRLF") << QByteArray(plain).replace("\n", "\r\n") << false;
    QTest::newRow("a comment") << plain + "; note\n" << false;
    QTest::newRow("a quoted value") << plain + "c=\"x, y\"\n" << false;
    QTest::newRow("a list value") << plain + "c=x,y\n" << false;
    QTest::newRow("spaces around =") << plain + "c = 1::1\n" << false;
    QTest::newRow("a leading backslash") << plain + "\\c=1::1\n" << false;
    QTest::newRow("two backslashes") << plain + "c\\\\d=1::1\n" << false;
    QTest::newRow("UTF-8 name") << plain + "\xc3\xa4=1::1\n" << false;
    QTest::newRow("%U escape") << plain + "%U00e4=1::1\n" << false;
    QTest::newRow("lower-case general") << "[general]\ntype=u\n" + plain.mid(10) << false;
    QTest::newRow("another section") << plain + "[extra]\nc=1::1\n" << false;
    QTest::newRow("a nested [General] key") << "a\\b=1\n" + plain << false;
    QTest::newRow("an empty value") << plain + "c=\n" << false;
}

// The direct reading of the lines the publisher writes gives what QSettings
// gives, in its order; anything else is left to QSettings.
void tst_ProductIni::keysReadAsQSettingsReadsThem()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, direct);
    ProductIniReader reader;
    reader.readBytes(text);
    QCOMPARE(reader.readDirectly(), direct);
    ProductIniReader settings;
    settings.readThroughSettings(text);
    QVERIFY(!settings.keys().empty());
    QCOMPARE(keysOf(reader), keysOf(settings));
}

QTEST_GUILESS_MAIN(tst_ProductIni)
#include "tst_productini.moc"
