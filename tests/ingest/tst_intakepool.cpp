// The intake pool's rules, fed events and times: hand-out order, growth and its cap, idle
// retirement, replacement of an ended intake, reclaim of one whose relay never reached it.

#include "ingest/IntakePool.h"

#include <QtTest>

#include <vector>

namespace {

using Kind = IntakePool::Kind;
using State = IntakePool::State;

// Distinct ids without objects behind them.
struct Ids
{
    std::vector<char> cells = std::vector<char>(64);
    IntakePool::Id operator[](int i) const { return &cells[size_t(i)]; }
};

// `count` intakes of `kind` on ports first.., all ready at `nowMs` in that order.
void fill(IntakePool &pool, const Ids &ids, int from, int count, Kind kind, int firstPort,
          qint64 nowMs)
{
    for (int i = 0; i < count; ++i) {
        pool.add(ids[from + i], kind, firstPort + i);
        QVERIFY(pool.ready(ids[from + i], nowMs));
    }
}

} // namespace

class IntakePoolTest : public QObject
{
    Q_OBJECT
private slots:
    void handsOutInReadyOrderOnce();
    void growsByThreeUpToTheCap_data();
    void growsByThreeUpToTheCap();
    void retiresOnlyIdleExtras_data();
    void retiresOnlyIdleExtras();
    void replacesAnEndedIntakeOnce_data();
    void replacesAnEndedIntakeOnce();
    void reclaimsOnlyAServingIntake();
    void stopRetiresEverything();
};

void IntakePoolTest::handsOutInReadyOrderOnce()
{
    IntakePool pool;
    Ids ids;
    for (int i = 0; i < 3; ++i)
        pool.add(ids[i], Kind::Rtmp, 61101 + i);
    pool.add(ids[3], Kind::Srt, 61104);
    // Announced out of creation order; a second announcement keeps the first place.
    QVERIFY(pool.ready(ids[2], 0));
    QVERIFY(pool.ready(ids[0], 1));
    QVERIFY(pool.ready(ids[2], 2));
    QVERIFY(pool.ready(ids[3], 3));
    QCOMPARE(pool.freePorts(Kind::Rtmp), (QList<int>{61103, 61101}));
    QCOMPARE(pool.freeCount(Kind::Srt), 1);

    QCOMPARE(pool.take(Kind::Rtmp), ids[2]);
    QCOMPARE(pool.state(ids[2]), State::Serving);
    QCOMPARE(pool.take(Kind::Rtmp), ids[0]);
    // The one still starting is not handed out; an SRT intake never goes to RTMP.
    QCOMPARE(pool.take(Kind::Rtmp), nullptr);
    QCOMPARE(pool.take(Kind::Srt), ids[3]);
    // A serving intake whose camera never got through listens again, at the back.
    QVERIFY(pool.ready(ids[1], 10));
    QVERIFY(pool.ready(ids[2], 11));
    QCOMPARE(pool.freePorts(Kind::Rtmp), (QList<int>{61102, 61103}));
}

void IntakePoolTest::growsByThreeUpToTheCap_data()
{
    QTest::addColumn<int>("live");
    QTest::addColumn<int>("grow");
    QTest::newRow("first start") << 10 << 3;
    QTest::newRow("one below room for three") << IntakePool::kMaxLive - 3 << 3;
    QTest::newRow("near the cap") << IntakePool::kMaxLive - 2 << 2;
    QTest::newRow("at the cap") << IntakePool::kMaxLive << 0;
}

void IntakePoolTest::growsByThreeUpToTheCap()
{
    QFETCH(int, live);
    QFETCH(int, grow);
    IntakePool pool;
    Ids ids;
    // Ended and retired intakes still count while their objects live: three threads each.
    for (int i = 0; i < live; ++i)
        pool.add(ids[i], Kind::Rtmp, 61101 + i);
    if (live > 2) {
        QVERIFY(pool.ready(ids[0], 0));
        QVERIFY(pool.take(Kind::Rtmp));
        QVERIFY(pool.end(ids[0]).start);
    }
    QCOMPARE(pool.growBy(), grow);
    pool.remove(ids[1]);
    QCOMPARE(pool.growBy(), std::min(IntakePool::kGrow, IntakePool::kMaxLive - live + 1));
}

void IntakePoolTest::retiresOnlyIdleExtras_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("idle");  // intakes ready at 0, ports 1000 upward
    QTest::addColumn<int>("young"); // intakes ready just now, ports 2000 upward
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<QList<int>>("retiredPorts");
    const qint64 minute = IntakePool::kIdleRetireMs;
    const int rtmp = int(Kind::Rtmp);
    QTest::newRow("rtmp: initial count never retired")
        << rtmp << 10 << 0 << minute * 5 << QList<int>{};
    QTest::newRow("rtmp: extras before the idle minute")
        << rtmp << 13 << 0 << minute - 1 << QList<int>{};
    QTest::newRow("rtmp: extras after it, oldest first")
        << rtmp << 13 << 0 << minute << QList<int>{1000, 1001, 1002};
    // The young ones count towards the pool but are not idle: old ones go in their place.
    QTest::newRow("rtmp: young extras stay")
        << rtmp << 11 << 2 << minute << QList<int>{1000, 1001, 1002};
    QTest::newRow("rtmp: idle ones go before young extras")
        << rtmp << 9 << 4 << minute << QList<int>{1000, 1001, 1002};
    QTest::newRow("srt: its own initial count")
        << int(Kind::Srt) << 6 << 0 << minute << QList<int>{1000, 1001};
}

void IntakePoolTest::retiresOnlyIdleExtras()
{
    QFETCH(int, kind);
    QFETCH(int, idle);
    QFETCH(int, young);
    QFETCH(qint64, nowMs);
    QFETCH(QList<int>, retiredPorts);
    IntakePool pool;
    Ids ids;
    fill(pool, ids, 0, idle, Kind(kind), 1000, 0);
    fill(pool, ids, idle, young, Kind(kind), 2000, nowMs);

    QList<int> ports;
    for (IntakePool::Id id : pool.retireIdle(nowMs)) {
        ports.append(pool.port(id));
        QCOMPARE(pool.state(id), State::Retired);
        // A retired intake that announces itself again is told to stop; its end is not
        // replaced.
        QVERIFY(!pool.ready(id, nowMs));
        QVERIFY(!pool.end(id).start);
    }
    QCOMPARE(ports, retiredPorts);
    QCOMPARE(pool.freeCount(Kind(kind)), idle + young - retiredPorts.size());
}

void IntakePoolTest::replacesAnEndedIntakeOnce_data()
{
    QTest::addColumn<bool>("serving");
    QTest::addColumn<bool>("portUnavailable");
    QTest::addColumn<bool>("samePort");
    QTest::newRow("camera left") << true << false << true;
    // Its listen failed for good: another program holds the port.
    QTest::newRow("port held elsewhere") << false << true << false;
    QTest::newRow("failed while waiting") << false << false << true;
}

void IntakePoolTest::replacesAnEndedIntakeOnce()
{
    QFETCH(bool, serving);
    QFETCH(bool, portUnavailable);
    QFETCH(bool, samePort);
    IntakePool pool;
    Ids ids;
    fill(pool, ids, 0, 2, Kind::Rtmp, 61101, 0);
    if (serving)
        QCOMPARE(pool.take(Kind::Rtmp), ids[0]);
    const IntakePool::Successor successor = pool.end(ids[0], portUnavailable);
    QVERIFY(successor.start);
    QCOMPARE(successor.samePort, samePort);
    // An ended intake leaves the free list at once and is replaced only once, however its
    // end is reported again (its stop signal, then its thread's end).
    QCOMPARE(pool.freePorts(Kind::Rtmp), QList<int>{61102});
    QVERIFY(!pool.end(ids[0]).start);
    QVERIFY(!pool.ready(ids[0], 5));
    pool.remove(ids[0]);
    QVERIFY(!pool.contains(ids[0]));
    QVERIFY(!pool.end(ids[0]).start);
}

void IntakePoolTest::reclaimsOnlyAServingIntake()
{
    IntakePool pool;
    Ids ids;
    fill(pool, ids, 0, 3, Kind::Rtmp, 61101, 0);
    QVERIFY(!pool.putBack(ids[0], 1)); // waiting already
    QCOMPARE(pool.take(Kind::Rtmp), ids[0]);
    QVERIFY(pool.putBack(ids[0], 2));
    QCOMPARE(pool.freePorts(Kind::Rtmp), (QList<int>{61102, 61103, 61101}));
    QCOMPARE(pool.take(Kind::Rtmp), ids[1]);
    QVERIFY(pool.end(ids[1]).start);
    QVERIFY(!pool.putBack(ids[1], 3)); // its session ended: replaced, not reclaimed
}

void IntakePoolTest::stopRetiresEverything()
{
    IntakePool pool;
    Ids ids;
    fill(pool, ids, 0, 4, Kind::Rtmp, 61101, 0);
    fill(pool, ids, 4, 2, Kind::Srt, 61105, 0);
    QVERIFY(pool.take(Kind::Rtmp));
    QCOMPARE(pool.retireAll().size(), 6);
    QCOMPARE(pool.freeCount(Kind::Rtmp) + pool.freeCount(Kind::Srt), 0);
    for (int i = 0; i < 6; ++i) {
        QVERIFY(!pool.ready(ids[i], 1));
        QVERIFY(!pool.end(ids[i]).start);
    }
    QCOMPARE(pool.liveCount(), 6); // until their objects are gone
}

QTEST_GUILESS_MAIN(IntakePoolTest)
#include "tst_intakepool.moc"
