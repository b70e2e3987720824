#include "RecordingSink.h"
#include "TestPicture.h"
#include "engine/FrameQueue.h"
#include "engine/OutputSwitch.h"
#include "engine/SessionDelivery.h"
#include "engine/SessionTimeline.h"

#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
}

#include <atomic>

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

} // namespace

class SessionDeliveryTest : public QObject
{
    Q_OBJECT

private slots:
    void deliversUntilStoppedAndKeepsItsFigures();
    void flushAskedBeforeStartIsHandedToThePolicy();
};

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
    // The clock and worker run the policy: the queued pictures reach the sink.
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

QTEST_GUILESS_MAIN(SessionDeliveryTest)
#include "SessionDeliveryTest.moc"
