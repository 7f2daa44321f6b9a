#include "update/patchlist.h"

#include <QTest>

// The patch list of a release, read against the download list: each file
// gets the patch for its installed copy; anything the list must not say is
// refused with a line and leaves the file to be fetched whole.
class tst_PatchList : public QObject
{
    Q_OBJECT

private slots:
    void apply_data();
    void apply();
};

namespace {
const QByteArray A(32, 'a');
const QByteArray B(32, 'b');
const QByteArray P(32, 'f');
} // namespace

void tst_PatchList::apply_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("patched");
    QTest::addColumn<QString>("problem"); // empty: none

    const QByteArray patchA = A.toUpper() + "=" + P + "::10\n";
    QTest::newRow("patches for the installed copies")
        << "[a.bin]\n" + patchA + "[dir/b.gz]\n" + B + "=" + P + "::1000\n"
        << QStringList {"a.bin", "dir/b.gz"} << "";
    QTest::newRow("line ends with carriage returns")
        << "[a.bin]\r\n" + A + "=" + P + "::10\r\n" << QStringList {"a.bin"} << "";
    QTest::newRow("patch for another installed version")
        << "[a.bin]\n" + B + "=" + P + "::10\n" << QStringList() << "";
    QTest::newRow("file without an installed copy") << "[new.txt]\n" + patchA << QStringList()
                                                    << "";
    QTest::newRow("path the product ini does not list")
        << "[other.bin]\n" + patchA << QStringList() << "which the product ini does not list";
    QTest::newRow("absolute path") << "[/etc/a.bin]\n" + patchA << QStringList()
                                   << "absolute or contains \"..\"";
    QTest::newRow("path with ..") << "[dir/../a.bin]\n" + patchA << QStringList()
                                  << "absolute or contains \"..\"";
    QTest::newRow("control character in path")
        << "[a\x01.bin]\n" + patchA << QStringList() << "holds control characters";
    QTest::newRow("patch larger than the file")
        << "[a.bin]\n" + A + "=" + P + "::1001\n" << QStringList() << "larger than the file";
    QTest::newRow("line without size") << "[a.bin]\n" + A + "=" + P + "\n" << QStringList()
                                       << "line 2 is not valid";
    QTest::newRow("line before any section")
        << patchA + "[a.bin]\n" + patchA << QStringList {"a.bin"} << "line 1 is not valid";
}

void tst_PatchList::apply()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, patched);
    QFETCH(QString, problem);
    QList<FileDownloadSpecification> downloads(3);
    downloads[0].filePath = "a.bin";
    downloads[0].installedMd5 = A;
    downloads[1].filePath = "dir/b.gz";
    downloads[1].installedMd5 = B;
    downloads[2].filePath = "new.txt";
    for (FileDownloadSpecification &file : downloads)
        file.size = 1000;

    PatchList list;
    list.apply(text, {"a.bin", "dir/b.gz", "new.txt", "same.txt"}, downloads);

    QStringList withPatch;
    for (const FileDownloadSpecification &file : std::as_const(downloads)) {
        if (file.hasPatch()) {
            withPatch.append(file.filePath);
            QCOMPARE(file.patchMd5, QString(P));
        }
    }
    QCOMPARE(withPatch, patched);
    QCOMPARE(list.patchCount(), patched.size());
    QCOMPARE(list.problems().size(), problem.isEmpty() ? 0 : 1);
    if (!problem.isEmpty())
        QVERIFY2(list.problems()[0].contains(problem), qPrintable(list.problems()[0]));
}

QTEST_GUILESS_MAIN(tst_PatchList)
#include "tst_patchlist.moc"
