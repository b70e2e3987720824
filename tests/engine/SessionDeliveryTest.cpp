#include "RecordingSink.h"
#include "TestPicture.h"
#include "engine/FrameQueue.h"
#include "engine/OutputSwitch.h"
#include "engine/PlayoutThread.h"
#include "engine/SessionDelivery.h"
#include "engine/SessionTimeline.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

#include <atomic>
#include <limits>

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr double kFrameMs = 1000.0 / 30;

// One video-only session's queues and timeline, with pictures of luma `luma` queued.
struct Session
{
    FrameQueue video{FrameQueue::kKindVideo};
    FrameQueue audio{FrameQueue::kKindAudio};
    SessionTimeline timeline;
    RecordingSink sink;
    OutputSwitch output{nullptr};
    std::atomic<bool> stop{false};

    Session() { video.setBudget(16 * 1024 * 1024, 16); }

    void queuePictures(int count, int luma)
    {
        for (int i = 0; i < count; ++i) {
            AVFrame *frame = makeTestPicture(kWidth, kHeight, luma);
            const qint64 ms = timeline.lastVideoMs.load() + qint64(kFrameMs) + 1;
            QVERIFY(video.push(frame, ms, kFrameMs));
            av_frame_free(&frame);
            timeline.lastVideoMs = ms;
        }
    }

    DeliveryPolicy::Session format() const
    {
        DeliveryPolicy::Session s;
        s.frameMs = kFrameMs;
        s.videoOnly = true;
        return s;
    }

    void start(SessionDelivery &delivery)
    {
        delivery.start(format(), video, audio, timeline, sink, stop, output, 0);
    }
};

// Tick times as rows: `count` deadlines from `from`, a period apart, or `count` times `at`.
QVector<qint64> steps(qint64 from, int count, qint64 period)
{
    QVector<qint64> times;
    for (int i = 0; i < count; ++i)
        times << from + i * period;
    return times;
}

QVector<qint64> repeated(qint64 at, int count)
{
    return QVector<qint64>(count, at);
}

enum class StopAt
{
    BeforeStart,
    Sleeping,
    Pausing,
    InPass
};

} // namespace

Q_DECLARE_METATYPE(StopAt)

class SessionDeliveryTest : public QObject
{
    Q_OBJECT

private slots:
    void schedule_data();
    void schedule();
    void stop_data();
    void stop();
    void deliversUntilStoppedAndKeepsItsFigures();
    void flushAskedBeforeStartIsHandedToThePolicy();
    void flushAskedDuringPlayoutEmptiesTheQueue();
};

void SessionDeliveryTest::schedule_data()
{
    QTest::addColumn<int>("periodMs");
    QTest::addColumn<qint64>("stallAtMs");    // the first sleep that ends here overruns...
    QTest::addColumn<qint64>("stallMs");      // ...by this much, as a descheduled thread's would
    QTest::addColumn<qint64>("firstPauseMs"); // asked for by the first pass
    QTest::addColumn<qint64>("wakeAtMs");     // a wake() from another thread then
    QTest::addColumn<qint64>("endMs");
    QTest::addColumn<QVector<qint64>>("expected");
    QTest::addColumn<qint64>("skipped");

    const qint64 none = std::numeric_limits<qint64>::max();
    // Deadlines from the start: 0, 33, ..., 990 at 30 fps; 250 ticks a second at the 4 ms tick.
    QTest::newRow("33 ms") << 33 << none << qint64(0) << qint64(0) << none << qint64(999)
                           << steps(0, 31, 33) << qint64(0);
    QTest::newRow("4 ms") << 4 << none << qint64(0) << qint64(0) << none << qint64(999)
                          << steps(0, 250, 4) << qint64(0);
    // The sleep to 132 overruns by 200 ms: the deadlines 132 to 330 are run back to back at
    // 332, then the schedule goes on at multiples of 33.
    QTest::newRow("short stall is caught up")
        << 33 << qint64(100) << qint64(200) << qint64(0) << none << qint64(500)
        << steps(0, 4, 33) + repeated(332, 7) + steps(363, 5, 33) << qint64(0);
    // 50 deadlines owed at 600: the last kMaxCatchUpTicks are run, the older 43 skipped.
    QTest::newRow("long stall skips ahead")
        << 10 << qint64(100) << qint64(500) << qint64(0) << none << qint64(650)
        << steps(0, 10, 10) + repeated(600, int(PlayoutThread::kMaxCatchUpTicks)) +
               steps(610, 4, 10)
        << qint64(43);
    // A pause of 25 ms ends at the deadline 30; 10 and 20 were declined, not skipped.
    QTest::newRow("pause ends at a deadline")
        << 10 << none << qint64(0) << qint64(25) << none << qint64(65)
        << (QVector<qint64>{0} + steps(30, 4, 10)) << qint64(0);
    // A frame for an empty queue at 23 ends a pause of 100 ms: the pass runs at the deadline 30.
    QTest::newRow("wake ends a pause")
        << 10 << none << qint64(0) << qint64(100) << qint64(23) << qint64(65)
        << (QVector<qint64>{0} + steps(30, 4, 10)) << qint64(0);
}

void SessionDeliveryTest::schedule()
{
    // Virtual time: the thread's sleeps advance it, so the schedule is exact and repeatable.
    QFETCH(int, periodMs);
    QFETCH(qint64, stallAtMs);
    QFETCH(qint64, stallMs);
    QFETCH(qint64, firstPauseMs);
    QFETCH(qint64, wakeAtMs);
    QFETCH(qint64, endMs);
    QFETCH(QVector<qint64>, expected);
    QFETCH(qint64, skipped);

    std::atomic<qint64> now{0}; // the playout thread's only; read here after it has ended
    QVector<qint64> tickTimes;
    int sleeps = 0;
    bool stalled = false;
    PlayoutThread thread(periodMs, [&]() -> qint64 {
        tickTimes << now.load();
        return tickTimes.size() == 1 ? firstPauseMs : 0;
    });
    thread.setTimeSource([&] { return now.load(); },
                         [&](qint64 ms) {
                             ++sleeps;
                             if (now < wakeAtMs && now + ms >= wakeAtMs) {
                                 // The sleep ends early, as a notified one does.
                                 now = wakeAtMs;
                                 thread.wake();
                                 return;
                             }
                             now += ms;
                             if (!stalled && now >= stallAtMs) {
                                 stalled = true;
                                 now += stallMs;
                             }
                             if (now >= endMs)
                                 thread.requestStop();
                         });
    thread.start();
    QVERIFY(thread.wait(10000));
    QCOMPARE(tickTimes, expected);
    QCOMPARE(thread.ticks(), qint64(expected.size()));
    QCOMPARE(thread.skippedTicks(), skipped);
    // It slept from deadline to deadline rather than polling: one sleep per wake-up.
    QVERIFY2(sleeps <= expected.size() + 1, qPrintable(QString::number(sleeps)));
}

void SessionDeliveryTest::stop_data()
{
    QTest::addColumn<StopAt>("at");
    QTest::newRow("before start") << StopAt::BeforeStart;
    QTest::newRow("while sleeping") << StopAt::Sleeping;
    QTest::newRow("while pausing") << StopAt::Pausing;
    QTest::newRow("while a pass runs") << StopAt::InPass;
}

void SessionDeliveryTest::stop()
{
    QFETCH(StopAt, at);
    std::atomic<int> passes{0};
    QSemaphore entered;
    QSemaphore gate;
    // A long period or a long pause: only the stop's wake can end the wait in time.
    const int periodMs = at == StopAt::Sleeping ? 60000 : 10;
    PlayoutThread thread(periodMs, [&]() -> qint64 {
        ++passes;
        if (at == StopAt::InPass) {
            entered.release();
            gate.acquire(); // as a pass stuck in an output would be
        }
        return at == StopAt::Pausing ? 60000 : 0;
    });
    // Lets a held pass go before the thread is destroyed, should a check below fail.
    struct Release
    {
        QSemaphore &gate;
        ~Release() { gate.release(1000); }
    } release{gate};
    if (at == StopAt::BeforeStart) {
        thread.requestStop();
        thread.start();
        QVERIFY(thread.wait(5000));
        QCOMPARE(passes.load(), 0);
        return;
    }
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(passes.load() >= 1, 5000);
    if (at == StopAt::InPass) {
        QVERIFY(entered.tryAcquire(1, 5000));
        // The bounded stop gives up on a pass that does not return, and says so; nothing is
        // killed, and the thread ends as soon as the pass lets go.
        QVERIFY(!thread.stop(100));
        QVERIFY(thread.isRunning());
        gate.release();
        QVERIFY(thread.wait(5000));
        QCOMPARE(passes.load(), 1);
        return;
    }
    QElapsedTimer timer;
    timer.start();
    QVERIFY(thread.stop());
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(passes.load(), 1);
}

void SessionDeliveryTest::deliversUntilStoppedAndKeepsItsFigures()
{
    Session session;
    session.timeline.lastVideoMs = 0;
    session.queuePictures(3, 90);
    SessionDelivery delivery;
    QVERIFY(!delivery.running());
    QVERIFY(delivery.policy() == nullptr);
    session.start(delivery);
    QVERIFY(delivery.running());
    // The playout thread runs the policy: the queued pictures reach the sink.
    QTRY_VERIFY_WITH_TIMEOUT(session.sink.count() >= 3, 5000);
    QCOMPARE(session.sink.frames().first().luma, 90);

    QVERIFY(delivery.stop(false));
    QVERIFY(!delivery.running());
    // Nothing is delivered after the stop, even with pictures waiting.
    const int delivered = session.sink.count();
    session.queuePictures(3, 100);
    QTest::qWait(200);
    QCOMPARE(session.sink.count(), delivered);
    // The figures stay readable after the stop, and a second stop is harmless.
    QVERIFY(delivery.policy() != nullptr);
    QVERIFY(delivery.policy()->stats().shown >= 3);
    QVERIFY(delivery.stop(true));
}

void SessionDeliveryTest::flushAskedBeforeStartIsHandedToThePolicy()
{
    // The flush button pressed before the first picture started the delivery.
    Session session;
    SessionDelivery delivery;
    delivery.requestReset();
    session.stop = true; // no tick may take the flush before it is looked at
    session.start(delivery);
    QVERIFY(delivery.policy()->resetPending());
    QVERIFY(delivery.stop(true));
}

void SessionDeliveryTest::flushAskedDuringPlayoutEmptiesTheQueue()
{
    // The flush button pressed while pictures play: the running thread takes the flush at its
    // next tick, and the pictures still queued are dropped rather than shown.
    Session session;
    session.timeline.lastVideoMs = 0;
    session.queuePictures(1, 90);
    session.sink.hold();
    SessionDelivery delivery;
    session.start(delivery);
    QVERIFY(session.sink.waitForHeld(5000));
    session.queuePictures(10, 100);
    delivery.requestReset();
    session.sink.release();
    QTRY_VERIFY_WITH_TIMEOUT(!delivery.policy()->resetPending(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(session.video.count(), 0, 5000);
    QVERIFY2(session.sink.count() <= 2, qPrintable(QString::number(session.sink.count())));
    QVERIFY(delivery.stop(false));
}

QTEST_GUILESS_MAIN(SessionDeliveryTest)
#include "SessionDeliveryTest.moc"
