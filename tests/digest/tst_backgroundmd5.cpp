#include "digest/backgroundmd5.h"
#include "digest/digestservice.h"
#include "digest/md5.h"
#include "digest/md5lanes.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

#include <sys/stat.h>

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
    void digestOfPieces_data();
    void digestOfPieces();
    void lanesHashLikeOneAtATime_data();
    void lanesHashLikeOneAtATime();
};

void tst_BackgroundMd5::digestIsOfTheBytesInOrder_data()
{
    QTest::addColumn<bool>("inlineHash");
    QTest::addColumn<int>("prefix"); // bytes read back from the file first
    QTest::addColumn<int>("onDisk"); // bytes the file has; -1: a pipe in its place
    QTest::addColumn<bool>("matches");
    QTest::addColumn<bool>("stop"); // the service stops with the digests queued
    // Seven streams of 4 MiB each overfill the queues, which then wait.
    QTest::newRow("queued") << false << 0 << 0 << true << false;
    QTest::newRow("inline") << true << 0 << 0 << true << false;
    QTest::newRow("part from file, queued") << false << 300000 << 300000 << true << false;
    QTest::newRow("part from file, inline") << true << 300000 << 300000 << true << false;
    QTest::newRow("file shorter than its part") << false << 300000 << 100000 << false << false;
    QTest::newRow("pipe in place of the part") << false << 300000 << -1 << false << false;
    // Stopping finishes what was queued; the next digests start the threads again.
    QTest::newRow("stopped, then again") << false << 300000 << 300000 << true << true;
    QTest::newRow("after the stop") << false << 0 << 0 << true << false;
}

void tst_BackgroundMd5::digestIsOfTheBytesInOrder()
{
    QFETCH(bool, inlineHash);
    QFETCH(int, prefix);
    QFETCH(int, onDisk);
    QFETCH(bool, matches);
    QFETCH(bool, stop);
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
            if (onDisk < 0) {
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            } else {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                QCOMPARE(file.write(contents[s].left(onDisk)), qint64(onDisk));
            }
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
    if (stop)
        DigestService::instance().stop();

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

void tst_BackgroundMd5::digestOfPieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece"); // bytes per addData() call
    // The padding takes one block below 56 held bytes and two from 56 on.
    for (int size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 100000}) {
        for (int piece : {1, 7, 64, 1000}) {
            if (piece <= qMax(size, 1))
                QTest::addRow("%d bytes by %d", size, piece) << size << piece;
        }
    }
}

void tst_BackgroundMd5::digestOfPieces()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    const QByteArray bytes = pattern(size, size);
    Md5 digest;
    for (int at = 0; at < size; at += piece)
        digest.addData(QByteArrayView(bytes).sliced(at, qMin(piece, size - at)));
    QCOMPARE(digest.result(), md5(bytes));
    // The digest can be read in the middle and adding goes on.
    digest.addData("x");
    QCOMPARE(digest.result(), md5(bytes + "x"));
}

void tst_BackgroundMd5::lanesHashLikeOneAtATime_data()
{
    QTest::addColumn<int>("busyMask");
    QTest::newRow("all eight") << 0xff;
    QTest::newRow("six, with idle lanes between") << 0xb7;
    QTest::newRow("two") << 0x81;
    QTest::newRow("one") << 0x10;
}

void tst_BackgroundMd5::lanesHashLikeOneAtATime()
{
    QFETCH(int, busyMask);
    constexpr int blocks = 37;
    QByteArray data[Md5Lanes::width];
    quint32 states[Md5Lanes::width][4];
    quint32 *statePointers[Md5Lanes::width];
    const uchar *dataPointers[Md5Lanes::width];
    for (int lane = 0; lane < Md5Lanes::width; ++lane) {
        data[lane] = pattern(blocks * Md5::blockSize, lane);
        Md5 md5;
        std::copy_n(md5.state(), 4, states[lane]);
        statePointers[lane] = states[lane];
        dataPointers[lane] = busyMask & (1 << lane)
            ? reinterpret_cast<const uchar *>(data[lane].constData()) : nullptr;
    }
    Md5Lanes::hashBlocks(statePointers, dataPointers, blocks);
    for (int lane = 0; lane < Md5Lanes::width; ++lane) {
        Md5 md5;
        if (busyMask & (1 << lane))
            Md5::hashBlocks(md5.state(), dataPointers[lane], blocks);
        QVERIFY2(std::equal(states[lane], states[lane] + 4, md5.state()),
                 qPrintable(QString::number(lane)));
    }
}

QTEST_GUILESS_MAIN(tst_BackgroundMd5)
#include "tst_backgroundmd5.moc"
