#include "net/backgroundmd5.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2654435761u * quint32(seed + 1);
    for (char &byte : bytes) {
        x = x * 1664525u + 1013904223u;
        byte = char(x >> 24);
    }
    return bytes;
}

QByteArray md5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}

} // namespace

class tst_BackgroundMd5 : public QObject
{
    Q_OBJECT
private slots:
    void digestIsOfTheBytesInOrder_data();
    void digestIsOfTheBytesInOrder();
    void resetDropsTheOldDigest_data();
    void resetDropsTheOldDigest();
};

void tst_BackgroundMd5::digestIsOfTheBytesInOrder_data()
{
    QTest::addColumn<bool>("inlineHash");
    QTest::addColumn<int>("prefix"); // bytes read back from the file first
    QTest::addColumn<int>("onDisk"); // bytes the file has
    QTest::addColumn<bool>("matches");
    // Seven streams of 4 MiB each overfill the queues, which then wait.
    QTest::newRow("queued") << false << 0 << 0 << true;
    QTest::newRow("inline") << true << 0 << 0 << true;
    QTest::newRow("part from file, queued") << false << 300000 << 300000 << true;
    QTest::newRow("part from file, inline") << true << 300000 << 300000 << true;
    QTest::newRow("file shorter than its part") << false << 300000 << 100000 << false;
}

void tst_BackgroundMd5::digestIsOfTheBytesInOrder()
{
    QFETCH(bool, inlineHash);
    QFETCH(int, prefix);
    QFETCH(int, onDisk);
    QFETCH(bool, matches);
    constexpr int streams = 7;
    // Chunks of unequal sizes, most not whole blocks of the digest.
    const auto chunk = [](int stream) { return 64 * 1024 - 3 * stream; };
    constexpr int chunks = 64;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    std::array<std::unique_ptr<BackgroundMd5>, streams> hashes;
    std::array<QByteArray, streams> contents;
    std::array<QByteArray, streams> digests;
    for (int s = 0; s < streams; ++s) {
        contents[s] = pattern(prefix + chunk(s) * chunks, s);
        hashes[s] = std::make_unique<BackgroundMd5>();
        hashes[s]->setInline(inlineHash);
        if (prefix > 0) {
            const QString path = dir.filePath(QString::number(s));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(contents[s].left(onDisk)), qint64(onDisk));
            file.close();
            hashes[s]->addFilePrefix(path, prefix);
        }
    }
    // The streams take turns, as transfers do.
    for (int c = 0; c < chunks; ++c) {
        for (int s = 0; s < streams; ++s)
            hashes[s]->addData(contents[s].mid(prefix + c * chunk(s), chunk(s)));
    }
    for (int s = 0; s < streams; ++s)
        hashes[s]->finish(this, [&digests, s](const QByteArray &digest) { digests[s] = digest; });

    for (int s = 0; s < streams; ++s) {
        QTRY_VERIFY(!digests[s].isEmpty());
        QCOMPARE(digests[s] == md5(contents[s]), matches);
    }
}

void tst_BackgroundMd5::resetDropsTheOldDigest_data()
{
    QTest::addColumn<bool>("inlineHash");
    QTest::newRow("queued") << false;
    QTest::newRow("inline") << true;
}

void tst_BackgroundMd5::resetDropsTheOldDigest()
{
    QFETCH(bool, inlineHash);
    BackgroundMd5 hash;
    hash.setInline(inlineHash);
    QByteArrayList results;
    hash.addData(pattern(1 << 20, 1));
    hash.finish(this, [&](const QByteArray &digest) { results << "old " + digest; });
    hash.reset();
    hash.addData(pattern(1000, 2));
    hash.finish(this, [&](const QByteArray &digest) { results << digest; });

    QTRY_COMPARE(results.size(), 1);
    QTest::qWait(50);
    QCOMPARE(results, QByteArrayList({md5(pattern(1000, 2))}));
}

QTEST_GUILESS_MAIN(tst_BackgroundMd5)
#include "tst_backgroundmd5.moc"
