#include "formats/fileline.h"
#include "formats/patchlistline.h"
#include "formats/productini.h"

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

QTEST_GUILESS_MAIN(tst_ProductIni)
#include "tst_productini.moc"
