#include "net/md5.h"
#include "net/md5lanes.h"

#include <QCryptographicHash>
#include <QTest>

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

} // namespace

class tst_Md5 : public QObject
{
    Q_OBJECT
private slots:
    void digestOfPieces_data();
    void digestOfPieces();
    void lanesHashLikeOneAtATime_data();
    void lanesHashLikeOneAtATime();
};

void tst_Md5::digestOfPieces_data()
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

void tst_Md5::digestOfPieces()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    const QByteArray bytes = pattern(size, size);
    Md5 md5;
    for (int at = 0; at < size; at += piece)
        md5.addData(QByteArrayView(bytes).sliced(at, qMin(piece, size - at)));
    QCOMPARE(md5.result(), QCryptographicHash::hash(bytes, QCryptographicHash::Md5));
    // The digest can be read in the middle and adding goes on.
    md5.addData("x");
    QCOMPARE(md5.result(), QCryptographicHash::hash(bytes + "x", QCryptographicHash::Md5));
}

void tst_Md5::lanesHashLikeOneAtATime_data()
{
    QTest::addColumn<int>("busyMask");
    QTest::newRow("all eight") << 0xff;
    QTest::newRow("six, with idle lanes between") << 0xb7;
    QTest::newRow("two") << 0x81;
    QTest::newRow("one") << 0x10;
}

void tst_Md5::lanesHashLikeOneAtATime()
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

QTEST_GUILESS_MAIN(tst_Md5)
#include "tst_md5.moc"
