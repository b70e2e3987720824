#include "engine/HeldPackets.h"

#include <QtTest>

namespace {

// A packet of `size` bytes, a keyframe or not.
AVPacketPtr packet(bool key, int size)
{
    AVPacketPtr p(av_packet_alloc());
    if (p && av_new_packet(p.get(), size) == 0 && key)
        p->flags |= AV_PKT_FLAG_KEY;
    return p;
}

// Plays "K:1000 P:500 P*599 ..." into `held`: K a keyframe, P another packet, the size in bytes
// after the colon (1000 without), "*N" that packet N times. Packets not kept must be left whole.
bool play(HeldPackets &held, const QString &sequence)
{
    for (const QString &step : sequence.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList times = step.split(QLatin1Char('*'));
        const QStringList kind = times.at(0).split(QLatin1Char(':'));
        const int size = kind.size() > 1 ? kind.at(1).toInt() : 1000;
        const int repeat = times.size() > 1 ? times.at(1).toInt() : 1;
        for (int i = 0; i < repeat; ++i) {
            AVPacketPtr p = packet(kind.at(0) == QLatin1String("K"), size);
            if (!p || p->size != size)
                return false;
            if (!held.hold(p.get()) && p->size != size)
                return false;
        }
    }
    return true;
}

} // namespace

class HeldPacketsTest : public QObject
{
    Q_OBJECT

private slots:
    void keptFromTheLatestKeyframeWithinBounds_data();
    void keptFromTheLatestKeyframeWithinBounds();
    void drainedOldestFirstThenEmpty();
};

void HeldPacketsTest::keptFromTheLatestKeyframeWithinBounds_data()
{
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<int>("kept");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("overflows");

    const QString fill = QStringLiteral("P*%1").arg(HeldPackets::kMaxPackets - 1);
    QTest::newRow("keyframe and what follows") << "K P:300 P:200" << 3 << qint64(1500) << qint64(0);
    QTest::newRow("nothing before the first keyframe")
        << "P P K P" << 2 << qint64(2000) << qint64(0);
    QTest::newRow("a keyframe starts afresh") << "K P P K:700 P" << 2 << qint64(1700) << qint64(0);
    QTest::newRow("as many as the bound") << "K " + fill << HeldPackets::kMaxPackets
                                          << qint64(HeldPackets::kMaxPackets) * 1000 << qint64(0);
    QTest::newRow("one beyond: all go, then nothing until a keyframe")
        << "K " + fill + " P P P" << 0 << qint64(0) << qint64(1);
    QTest::newRow("kept again from the next keyframe")
        << "K " + fill + " P P K P" << 2 << qint64(2000) << qint64(1);
    QTest::newRow("byte bound") << "K:20000000 P:14000000 P" << 0 << qint64(0) << qint64(1);
    QTest::newRow("a keyframe alone beyond the bytes")
        << "K:40000000 P" << 0 << qint64(0) << qint64(1);
}

void HeldPacketsTest::keptFromTheLatestKeyframeWithinBounds()
{
    QFETCH(QString, sequence);
    QFETCH(int, kept);
    QFETCH(qint64, bytes);
    QFETCH(qint64, overflows);
    HeldPackets held;
    QVERIFY(play(held, sequence));
    QCOMPARE(held.count(), kept);
    QCOMPARE(held.bytes(), bytes);
    QCOMPARE(held.overflows(), overflows);
}

void HeldPacketsTest::drainedOldestFirstThenEmpty()
{
    HeldPackets held;
    QVERIFY(play(held, QStringLiteral("P:50 K:100 P:200 P:300")));
    QVector<int> sizes;
    QVector<bool> keys;
    held.drain([&](AVPacket *p) {
        sizes << p->size;
        keys << ((p->flags & AV_PKT_FLAG_KEY) != 0);
    });
    QCOMPARE(sizes, (QVector<int>{100, 200, 300}));
    QCOMPARE(keys, (QVector<bool>{true, false, false}));
    QCOMPARE(held.count(), 0);
    QCOMPARE(held.bytes(), qint64(0));
    // The slots are reused: kept again from a keyframe.
    QVERIFY(play(held, QStringLiteral("P K:10")));
    QCOMPARE(held.count(), 1);
}

QTEST_GUILESS_MAIN(HeldPacketsTest)
#include "HeldPacketsTest.moc"
