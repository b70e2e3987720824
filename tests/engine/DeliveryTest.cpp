#include "RecordingSink.h"
#include "engine/AudioConvert.h"
#include "engine/DeliveryPolicy.h"
#include "engine/FrameFeeder.h"
#include "engine/FrameQueue.h"
#include "engine/Generator.h"
#include "engine/SessionTimeline.h"
#include "engine/VideoBound.h"
#include "engine/Worker.h"

#include <QElapsedTimer>
#include <QtTest>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <limits>
#include <memory>

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr double kFrameMs = 1000.0 / 30;
constexpr int kRate = 48000;

AVFrame *makePicture(int luma)
{
    AVFrame *frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no picture buffer");
    memset(frame->data[0], luma, size_t(frame->linesize[0]) * kHeight);
    memset(frame->data[1], 128, size_t(frame->linesize[1]) * kHeight / 2);
    memset(frame->data[2], 128, size_t(frame->linesize[2]) * kHeight / 2);
    return frame;
}

// Planar float audio; left and right carry constant values (mono: left only).
AVFrame *makeAudio(int samples, int channels, float left, float right)
{
    AVFrame *frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = samples;
    frame->sample_rate = kRate;
    av_channel_layout_default(&frame->ch_layout, channels);
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no audio buffer");
    for (int channel = 0; channel < channels; ++channel) {
        auto *plane = reinterpret_cast<float *>(frame->extended_data[channel]);
        for (int i = 0; i < samples; ++i)
            plane[i] = channel == 0 ? left : right;
    }
    return frame;
}

// One session's queues and timeline with a delivery policy over them, ticked by hand on the
// test thread, delivering into a recording sink.
struct Rig
{
    explicit Rig(bool withAudio, int audioBlockBytes = FrameFeeder::kAudioBlockBytes,
                 bool audioMayLag = false)
    {
        video.allocateBlocks(FrameFeeder::kVideoBlocks, kWidth * kHeight * 3 / 2);
        if (withAudio)
            audio.allocateBlocks(FrameFeeder::kAudioBlocks, audioBlockBytes);
        DeliveryPolicy::Session session;
        session.width = kWidth;
        session.height = kHeight;
        session.stride = kWidth;
        session.frameMs = kFrameMs;
        session.videoOnly = !withAudio;
        session.audioMayLag = audioMayLag;
        policy = std::make_unique<DeliveryPolicy>(session, video, audio, timeline, sink);
    }

    void picture(qint64 t, int luma, double durationMs = kFrameMs)
    {
        AVFrame *frame = makePicture(luma);
        QVERIFY(video.push(frame, t, durationMs));
        av_frame_free(&frame);
        timeline.lastVideoMs = t;
    }
    void sound(qint64 t, int samples = 1024, int channels = 2, float left = 0.25f,
               float right = -0.25f)
    {
        AVFrame *frame = makeAudio(samples, channels, left, right);
        QVERIFY(audio.push(frame, t, 0.0));
        av_frame_free(&frame);
        timeline.lastAudioMs = t;
    }
    // As after the first alignment, without the automatic flush armed.
    void alignAt(qint64 clock) { policy->alignAt_for_testing(clock, false); }
    DeliveryPolicy::Tick tick() { return policy->tick(); }
    int sent() const { return sink.count(); }
    RecordingSink::Frame last() const { return sink.last(); }
    int lastLuma() const { return sink.count() ? sink.last().luma : -1; }
    qint64 clock() const { return timeline.clockMs.load(); }

    FrameQueue video{FrameQueue::kKindVideo};
    FrameQueue audio{FrameQueue::kKindAudio};
    SessionTimeline timeline;
    RecordingSink sink;
    std::unique_ptr<DeliveryPolicy> policy;
};

// A real clock and worker over a backlog of due frames, delivering into a sink that holds
// the first put: the worker stays inside one delivery while the clock goes on ticking.
std::unique_ptr<Generator> startHeldDelivery(Rig &rig)
{
    rig.alignAt(1000);
    for (int i = 0; i < 50; ++i) {
        rig.picture(1000 + qint64(i * kFrameMs), i);
        rig.sound(1000 + qint64(i * kFrameMs), 1600);
    }
    // The backlog is what keeps the worker busy: nothing newer than the clock to catch up to.
    rig.timeline.lastAudioMs = 1000;
    rig.sink.hold();
    auto clock = std::make_unique<Generator>(1000000 / 30);
    auto *worker = new Worker(clock.get(), [&rig]() -> qint64 {
        rig.tick();
        return 0;
    });
    worker->start();
    clock->start();
    return clock;
}

} // namespace

// The delivery policy's rules over synthetic queues, and the clock and worker that drive it.
class DeliveryTest : public QObject
{
    Q_OBJECT

private slots:
    void audioConversion();
    void alignmentWaitsForBothKindsThenTrims();
    void nothingBelowTheMinimumAmounts();
    void pictureWithoutDueAudioGoesAlone();
    void lookAheadLimit();
    void clockAdvance();
    void automaticFlushOnlyOnce();
    void backlogCatchesUp();
    void burstyAudioIsNoBacklog();
    void resetRequest();
    void resetRequestWaitsForAlignment();
    void videoOnlyTick();
    void videoOnlyBound_data();
    void videoOnlyBound();
    void monoAndClampingThroughTheTick();
    void oversizedAudioNeverWedges();
    void blackBeforeTheFirstPicture();
    void clockSchedule_data();
    void clockSchedule();
    void clockCatchesUp();
    void busyWorkerLosesTicks();
    void stuckWorkerStopIsBounded();
    void idlePauseEndsOnStop();
};

void DeliveryTest::audioConversion()
{
    // Stereo: planes one after the other; clamping, then truncation toward zero.
    const float planes[] = {1.5f,  -2.0f, 0.5f,     -0.5f,
                            0.0f, //
                            -1.0f, 1.0f,  0.99999f, std::numeric_limits<float>::quiet_NaN(),
                            -0.25f};
    qint16 out[10];
    std::fill(std::begin(out), std::end(out), qint16(1234));
    floatPlanarToS16Stereo(out, planes, 5, 2);
    const qint16 stereo[] = {32767, -32767, -32767, 32767, 16383, 32766, -16383, 0, 0, -8191};
    for (int i = 0; i < 10; ++i)
        QCOMPARE(out[i], stereo[i]);

    // Mono: each sample on both sides. Planes beyond the second are ignored.
    const float mono[] = {0.5f, -1.5f, 0.1f};
    qint16 outMono[6] = {};
    floatPlanarToS16Stereo(outMono, mono, 3, 1);
    const qint16 monoExpected[] = {16383, 16383, -32767, -32767, 3276, 3276};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(outMono[i], monoExpected[i]);
    const float three[] = {0.5f, 0.25f, 1.0f};
    qint16 outThree[2] = {};
    floatPlanarToS16Stereo(outThree, three, 1, 3);
    QCOMPARE(outThree[0], qint16(16383));
    QCOMPARE(outThree[1], qint16(8191));
}

void DeliveryTest::alignmentWaitsForBothKindsThenTrims()
{
    Rig rig(true);

    // Pictures only, and audio stamped 0: not yet positive for both kinds.
    for (int i = 0; i < 10; ++i)
        rig.picture(qint64(i * kFrameMs), 40);
    rig.tick();
    rig.sound(0);
    rig.tick();
    QVERIFY(!rig.policy->aligned());
    QCOMPARE(rig.clock(), qint64(-1));
    QCOMPARE(rig.sent(), 0);
    QCOMPARE(rig.video.count(), 10);

    // A two-second backlog of both kinds: audio lags the newest picture.
    for (int i = 10; i < 60; ++i)
        rig.picture(qint64(i * kFrameMs), i);
    for (int i = 1; i < 90; ++i)
        rig.sound(qint64(i * 1024 * 1000.0 / kRate));
    QCOMPARE(rig.timeline.lastVideoMs.load(), qint64(1966));
    QCOMPARE(rig.timeline.lastAudioMs.load(), qint64(1898));
    rig.tick();

    QVERIFY(rig.policy->aligned());
    QVERIFY(rig.policy->autoResetArmed());
    // Trimmed to the newer common time, 1898: pictures from 1900 on (57, 58, 59) and the
    // audio frame at 1898 survived; the tick then delivered the due part of them.
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.lastLuma(), 57);
    QCOMPARE(rig.last().samples.size(), 2 * 1024);
    QCOMPARE(rig.video.count(), 2);
    QCOMPARE(rig.audio.count(), 0);
    QCOMPARE(rig.clock(), qint64(1933));
}

void DeliveryTest::nothingBelowTheMinimumAmounts()
{
    Rig rig(true);
    rig.alignAt(1000);
    // Plenty of pictures, 15 ms of audio.
    for (int i = 0; i < 5; ++i)
        rig.picture(1000 + qint64(i * kFrameMs), 100);
    rig.sound(1000, 720);
    rig.tick();
    QCOMPARE(rig.sent(), 0);
    QCOMPARE(rig.video.count(), 5);
    QCOMPARE(rig.clock(), qint64(1000));

    // Enough audio, but only 10 ms of video.
    Rig rig2(true);
    rig2.alignAt(1000);
    rig2.picture(1000, 100, 10.0);
    rig2.sound(1000, 2048);
    rig2.tick();
    QCOMPARE(rig2.sent(), 0);
    // 20.0 ms exactly is enough.
    rig2.picture(1010, 100, 10.0);
    rig2.tick();
    QCOMPARE(rig2.sent(), 1);
}

void DeliveryTest::pictureWithoutDueAudioGoesAlone()
{
    Rig rig(true);
    rig.alignAt(1000);
    rig.picture(1000, 50);
    rig.sound(1200); // due only after the clock has moved
    rig.tick();
    // Held back for its audio it would be overwritten by the next picture: it goes alone.
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.lastLuma(), 50);
    QCOMPARE(rig.last().channels, 0);
    QVERIFY(rig.last().samples.isEmpty());
    QVERIFY(rig.last().newPicture);
    QCOMPARE(rig.video.count(), 0);
    QCOMPARE(rig.clock(), qint64(1200));

    // A newer picture queued but not yet due; the audio is due now and goes out with the
    // picture on show.
    rig.picture(1300, 90);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    const RecordingSink::Frame frame = rig.last();
    QCOMPARE(frame.luma, 50);
    QVERIFY(!frame.newPicture);
    QCOMPARE(frame.width, kWidth);
    QCOMPARE(frame.height, kHeight);
    QCOMPARE(frame.stride, kWidth);
    QCOMPARE(frame.channels, 2);
    QCOMPARE(frame.sampleRate, kRate);
    QCOMPARE(frame.samples.size(), 2 * 1024);
    QCOMPARE(frame.samples.at(0), qint16(8191));
    QCOMPARE(frame.samples.at(1), qint16(-8191));
    QCOMPARE(rig.clock(), qint64(1300));
}

void DeliveryTest::lookAheadLimit()
{
    Rig rig(true);
    rig.alignAt(1000);
    // Limit: 1000 + 5 + 33 = 1038, inclusive.
    for (qint64 t : {1000, 1021, 1038, 1039})
        rig.sound(t);
    rig.picture(1038, 70);
    rig.picture(1039, 71);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.last().samples.size(), 2 * 3 * 1024);
    QCOMPARE(rig.lastLuma(), 70);
    QCOMPARE(rig.audio.count(), 1);
    QCOMPARE(rig.video.count(), 1);
    QCOMPARE(rig.clock(), qint64(1039));
}

void DeliveryTest::clockAdvance()
{
    Rig rig(true);
    rig.alignAt(1000);
    // The tick empties both queues: the clock takes the older of what it popped.
    rig.picture(1010, 60);
    rig.sound(1005);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.clock(), qint64(1005));

    // Only audio popped, no picture due: the previous picture again, and the clock goes to the
    // oldest queued picture even though it lies beyond the limit.
    rig.picture(1500, 61);
    rig.sound(1010);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.lastLuma(), 60);
    QVERIFY(!rig.last().newPicture);
    QCOMPARE(rig.clock(), qint64(1500));
}

void DeliveryTest::automaticFlushOnlyOnce()
{
    Rig rig(true);
    rig.policy->alignAt_for_testing(1000, true);
    for (int i = 0; i < 25; ++i) // 833 ms
        rig.picture(1000 + qint64(i * kFrameMs), 30 + i);
    for (int i = 0; i < 10; ++i)
        rig.sound(1000 + i * 21);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QVERIFY(rig.policy->resetPending());
    QVERIFY(!rig.policy->autoResetArmed());

    // The flush happens at the next tick, which delivers nothing.
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QVERIFY(!rig.policy->resetPending());
    QCOMPARE(rig.video.count(), 0);
    QCOMPARE(rig.audio.count(), 0);
    QCOMPARE(rig.video.bufferedMs(), 0.0);

    // A second excursion above 700 ms is not flushed; the backlog is only cut back to where
    // the audio has got to.
    const qint64 clock = rig.clock();
    for (int i = 0; i < 25; ++i)
        rig.picture(clock + qint64(i * kFrameMs), 80);
    for (int i = 0; i < 10; ++i)
        rig.sound(clock + i * 21);
    rig.tick();
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QVERIFY(!rig.policy->resetPending());
    QVERIFY(rig.video.bufferedMs() > 500.0);
    QVERIFY(rig.video.frontTimestamp() >= clock + 9 * 21);
}

void DeliveryTest::backlogCatchesUp()
{
    Rig rig(true);
    rig.alignAt(1000);
    auto at = [](int frame) { return 1000 + qint64(frame * kFrameMs); };

    // Steady state: the next picture waiting is no backlog.
    rig.picture(at(0), 10);
    rig.picture(at(1), 11);
    rig.sound(at(0));
    rig.sound(at(1));
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.lastLuma(), 10);
    QCOMPARE(rig.video.count(), 1);
    QCOMPARE(rig.policy->catchUpPictureDrops(), qint64(0));

    // A stall: its pictures and audio arrive at once. The tick still delivers the oldest due
    // picture, then skips the waiting ones older than the newest audio.
    for (int frame = 2; frame < 7; ++frame)
        rig.picture(at(frame), 10 + frame);
    for (int frame = 2; frame < 6; ++frame)
        rig.sound(at(frame));
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.lastLuma(), 11);
    QCOMPARE(rig.policy->catchUpPictureDrops(), qint64(3)); // frames 2 to 4
    QCOMPARE(rig.video.count(), 2); // frames 5 and 6: 6 is newer than the audio
    QCOMPARE(rig.clock(), at(5));

    // The next tick sends frame 5 with all the audio up to it: no sound is skipped.
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(rig.lastLuma(), 15);
    QCOMPARE(rig.last().samples.size(), 2 * 3 * 1024); // frames 3 to 5
    QCOMPARE(rig.audio.count(), 0);

    // The camera's audio has stopped: nothing newer than the clock to cut to, so waiting
    // pictures are not thrown away here (the flush rules and the reset button deal with that).
    for (int frame = 7; frame < 12; ++frame)
        rig.picture(at(frame), 10 + frame);
    rig.sound(at(6) + 10);
    rig.tick();
    QCOMPARE(rig.sent(), 4);
    QCOMPARE(rig.video.count(), 5);
    QCOMPARE(rig.policy->catchUpPictureDrops(), qint64(3));
}

void DeliveryTest::burstyAudioIsNoBacklog()
{
    // A TS sender's sound comes in bursts behind the pictures: pictures waiting for it are
    // played in turn, not skipped, once their sound is there.
    Rig rig(true, FrameFeeder::kAudioBlockBytes, true);
    rig.alignAt(1000);
    auto at = [](int frame) { return 1000 + qint64(frame * kFrameMs); };
    rig.picture(at(0), 10);
    rig.sound(at(0));
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    // Pictures come while their sound is held back by the sender; a tick finds none to send.
    for (int frame = 1; frame < 11; ++frame)
        rig.picture(at(frame), 10 + frame);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    // Then the sound comes in one burst.
    for (int frame = 1; frame < 10; ++frame)
        rig.sound(at(frame));
    for (int tick = 0; tick < 5; ++tick)
        rig.tick();
    QCOMPARE(rig.policy->catchUpPictureDrops(), qint64(0));
    QCOMPARE(rig.sent(), 6);
    QCOMPARE(rig.lastLuma(), 15); // frames 1 to 5 in order, none left out

    // The same without a lagging sound allowed (an RTMP session): the backlog is skipped.
    Rig plain(true);
    plain.alignAt(1000);
    plain.picture(at(0), 10);
    plain.sound(at(0));
    plain.tick();
    for (int frame = 1; frame < 11; ++frame)
        plain.picture(at(frame), 10 + frame);
    plain.tick();
    for (int frame = 1; frame < 10; ++frame)
        plain.sound(at(frame));
    plain.tick();
    QVERIFY(plain.policy->catchUpPictureDrops() > 0);
}

void DeliveryTest::resetRequest()
{
    {
        Rig rig(true);
        rig.alignAt(1000);
        for (int i = 0; i < 3; ++i) {
            rig.picture(1000 + i * 33, 10);
            rig.sound(1000 + i * 21);
        }
        rig.policy->requestReset();
        rig.tick();
        QCOMPARE(rig.sent(), 0);
        QCOMPARE(rig.video.count(), 0);
        QCOMPARE(rig.audio.count(), 0);
        QVERIFY(!rig.policy->resetPending());
        // Not realigned: the clock keeps its value.
        QCOMPARE(rig.clock(), qint64(1000));
        QVERIFY(rig.policy->aligned());
    }
    {
        // Video-only: only the video queue; the audio queue is not the tick's business.
        Rig rig(false);
        rig.audio.allocateBlocks(2, FrameFeeder::kAudioBlockBytes);
        rig.sound(500);
        rig.alignAt(1000);
        for (int i = 0; i < 3; ++i)
            rig.picture(1000 + i * 33, 10);
        rig.policy->requestReset();
        rig.tick();
        QCOMPARE(rig.sent(), 0);
        QCOMPARE(rig.video.count(), 0);
        QCOMPARE(rig.audio.count(), 1);
        QVERIFY(!rig.policy->resetPending());
    }
}

void DeliveryTest::resetRequestWaitsForAlignment()
{
    Rig rig(true);
    rig.picture(100, 10);
    rig.policy->requestReset();
    rig.tick(); // no audio yet: no alignment, no reset
    QVERIFY(rig.policy->resetPending());
    QCOMPARE(rig.video.count(), 1);
    rig.sound(90);
    rig.tick(); // aligned, then the pending reset
    QVERIFY(rig.policy->aligned());
    QVERIFY(!rig.policy->resetPending());
    QCOMPARE(rig.video.count(), 0);
    QCOMPARE(rig.audio.count(), 0);
    QCOMPARE(rig.sent(), 0);
}

void DeliveryTest::videoOnlyTick()
{
    Rig rig(false);
    // Not aligned while the newest picture is stamped below 1.
    rig.picture(0, 20);
    rig.tick();
    QVERIFY(!rig.policy->aligned());
    QCOMPARE(rig.sent(), 0);
    QCOMPARE(rig.video.count(), 1);

    rig.picture(33, 21);
    rig.tick();
    QVERIFY(rig.policy->aligned());
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.lastLuma(), 20);
    QCOMPARE(rig.clock(), qint64(0));
    QCOMPARE(rig.last().channels, 0);
    QCOMPARE(rig.last().sampleRate, 0);
    QVERIFY(rig.last().samples.isEmpty());

    // One picture of 33.3 ms queued: delivered at once, timestamps play no part.
    rig.picture(5000, 22);
    QCOMPARE(rig.tick(), DeliveryPolicy::Tick::Done);
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.lastLuma(), 21);
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(rig.lastLuma(), 22);
    QCOMPARE(rig.clock(), qint64(5000));

    // Nothing queued: the tick asks for a pause of one frame and delivers nothing.
    QCOMPARE(rig.tick(), DeliveryPolicy::Tick::Idle);
    QCOMPARE(rig.sent(), 3);
    // Below 10 ms is as good as nothing.
    rig.picture(5033, 23, 9.9);
    QCOMPARE(rig.tick(), DeliveryPolicy::Tick::Idle);
    QCOMPARE(rig.sent(), 3);
}

void DeliveryTest::videoOnlyBound_data()
{
    // Pictures of 30 ms queued before (lumas 0, 1, ...), checks of the bound (each followed by
    // an arriving picture when `arrive`), pictures taken out by hand before the last check, and
    // what is left: the count, the over-limit count and the oldest picture. Bound: 300 ms.
    QTest::addColumn<int>("queued");
    QTest::addColumn<int>("checks");
    QTest::addColumn<bool>("arrive");
    QTest::addColumn<int>("dropBeforeLast");
    QTest::addColumn<int>("expectedCount");
    QTest::addColumn<int>("expectedOverLimit");
    QTest::addColumn<int>("expectedOldest");
    QTest::newRow("exactly at the bound: never a drop") << 10 << 5 << false << 0 << 10 << 0 << 0;
    QTest::newRow("above: two checks tolerated") << 11 << 2 << false << 0 << 11 << 2 << 0;
    // 330 -> 300 is no longer above the bound: one dropped, and the count restarts.
    QTest::newRow("above: the third drops one") << 11 << 3 << false << 0 << 10 << 0 << 1;
    // 420 ms at the third check: the oldest two go.
    QTest::newRow("well above: the third drops two") << 12 << 3 << true << 0 << 13 << 0 << 2;
    QTest::newRow("one check below restarts the count") << 11 << 3 << false << 2 << 9 << 0 << 2;
}

void DeliveryTest::videoOnlyBound()
{
    QFETCH(int, queued);
    QFETCH(int, checks);
    QFETCH(bool, arrive);
    QFETCH(int, dropBeforeLast);
    QFETCH(int, expectedCount);
    QFETCH(int, expectedOverLimit);
    QFETCH(int, expectedOldest);
    Rig rig(false);
    VideoBound bound;
    bound.setBoundMs(300);
    for (int i = 0; i < queued; ++i)
        rig.picture(0, i, 30.0);
    for (int check = 0; check < checks; ++check) {
        if (check == checks - 1)
            for (int i = 0; i < dropBeforeLast; ++i)
                rig.video.dropOldest();
        bound.apply(rig.video);
        if (arrive)
            rig.picture(0, 100 + check, 30.0);
    }
    QCOMPARE(rig.video.count(), expectedCount);
    QCOMPARE(bound.overLimitCount(), expectedOverLimit);
    int oldest = -1;
    QVERIFY(rig.video.visitOldest([&](const FrameRecord &record) { oldest = record.block[0]; }));
    QCOMPARE(oldest, expectedOldest);
}

void DeliveryTest::monoAndClampingThroughTheTick()
{
    Rig rig(true);
    rig.alignAt(1000);
    rig.picture(1000, 10);
    rig.sound(1000, 960, 1, 1.5f);
    rig.sound(1020, 960, 2, -2.0f, 0.5f);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    const QVector<qint16> samples = rig.last().samples;
    QCOMPARE(samples.size(), 2 * 1920);
    // Mono first: both sides alike; then the clamped stereo frame right after it.
    for (int i = 0; i < 960; ++i) {
        QCOMPARE(samples[2 * i], qint16(32767));
        QCOMPARE(samples[2 * i + 1], qint16(32767));
    }
    for (int i = 960; i < 1920; ++i) {
        QCOMPARE(samples[2 * i], qint16(-32767));
        QCOMPARE(samples[2 * i + 1], qint16(16383));
    }
}

void DeliveryTest::oversizedAudioNeverWedges()
{
    // Blocks large enough for records beyond the 240,000 sample frames of the delivery buffer.
    Rig rig(true, 1200000);
    rig.alignAt(1000);
    for (int i = 0; i < 4; ++i)
        rig.picture(1000 + qint64(i * kFrameMs), 40 + i);
    rig.sound(1000, 250000, 1); // can never fit
    rig.sound(1001, 1024);
    rig.tick();
    QCOMPARE(rig.policy->oversizedAudioDrops(), qint64(1));
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.last().samples.size(), 2 * 1024);

    // Two that fit only one at a time: the second waits for the next tick, then goes out.
    const qint64 clock = rig.clock();
    rig.sound(clock, 200000, 1);
    rig.sound(clock + 1, 200000, 1);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.last().samples.size(), 2 * 200000);
    QCOMPARE(rig.audio.count(), 1);
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(rig.last().samples.size(), 2 * 200000);
    QCOMPARE(rig.policy->oversizedAudioDrops(), qint64(1));
}

void DeliveryTest::blackBeforeTheFirstPicture()
{
    // Audio due before any picture: the frame carries a black picture, not stale memory.
    Rig rig(true);
    rig.sink.copyPictures = true;
    rig.alignAt(1000);
    rig.picture(1200, 200);
    rig.sound(1000, 2048);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    const RecordingSink::Frame frame = rig.last();
    QVERIFY(!frame.newPicture);
    QCOMPARE(frame.picture.size(), kWidth * kHeight * 3 / 2);
    QCOMPARE(uchar(frame.picture.at(0)), uchar(16));
    QCOMPARE(uchar(frame.picture.at(kWidth * kHeight - 1)), uchar(16));
    QCOMPARE(uchar(frame.picture.at(kWidth * kHeight)), uchar(128));
    QCOMPARE(uchar(frame.picture.back()), uchar(128));
}

void DeliveryTest::clockSchedule_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<int>("periodMs");
    QTest::addColumn<int>("ticksPerSecond");
    QTest::newRow("30") << 30 << 33 << 31; // 0, 33, ..., 990: slightly fast
    QTest::newRow("25") << 25 << 40 << 25;
    QTest::newRow("60") << 60 << 16 << 63;
    QTest::newRow("50") << 50 << 20 << 50;
}

void DeliveryTest::clockSchedule()
{
    // Virtual time: the clock's sleeps advance it, so the schedule is exact and repeatable.
    QFETCH(int, fps);
    QFETCH(int, periodMs);
    QFETCH(int, ticksPerSecond);
    Generator clock(1000000 / fps);
    qint64 now = 0;
    qint64 slept = 0;
    int sleeps = 0;
    QVector<qint64> tickTimes;
    auto record = [&] {
        while (tickTimes.size() < clock.ticks() + clock.lostTicks())
            tickTimes << now;
    };
    clock.setTimeSource([&] { return now; },
                        [&](qint64 ms) {
                            record();
                            now += ms;
                            slept += ms;
                            ++sleeps;
                            if (now >= 999)
                                clock.requestStop();
                        });
    clock.start();
    QVERIFY(clock.wait(10000));
    record();
    QCOMPARE(clock.periodMs(), periodMs);
    QCOMPARE(tickTimes.size(), ticksPerSecond);
    for (int i = 0; i < tickTimes.size(); ++i)
        QCOMPARE(tickTimes[i], qint64(i) * periodMs);
    // It slept through the whole second rather than polling: two sleeps per period.
    QVERIFY(slept >= 999);
    QVERIFY2(sleeps <= 2 * ticksPerSecond + 2, qPrintable(QString::number(sleeps)));
    // No worker: every tick is counted as lost.
    QCOMPARE(clock.ticks(), qint64(0));
}

void DeliveryTest::clockCatchesUp()
{
    Generator clock(1000000 / 30);
    qint64 now = 0;
    bool stalled = false;
    QVector<qint64> tickTimes;
    auto record = [&] {
        while (tickTimes.size() < clock.ticks() + clock.lostTicks())
            tickTimes << now;
    };
    clock.setTimeSource([&] { return now; },
                        [&](qint64 ms) {
                            record();
                            now += ms;
                            // One sleep that overruns by 200 ms, as a descheduled thread would.
                            if (!stalled && now >= 100) {
                                stalled = true;
                                now += 200;
                            }
                            if (now >= 500)
                                clock.requestStop();
                        });
    clock.start();
    QVERIFY(clock.wait(10000));
    record();
    // Before the stall: 0, 33, 66, 99. The overrun sleep ends at 331: the deadlines 132 to 330
    // are ticked back to back there, then the schedule goes on at multiples of 33.
    QVector<qint64> expected{0, 33, 66, 99};
    for (int i = 0; i < 7; ++i)
        expected << 331;
    for (qint64 t = 363; t < 500; t += 33)
        expected << t;
    QCOMPARE(tickTimes, expected);
}

void DeliveryTest::busyWorkerLosesTicks()
{
    Rig rig(true);
    const std::unique_ptr<Generator> clock = startHeldDelivery(rig);
    QVERIFY(rig.sink.waitForHeld(5000));
    Worker *worker = clock->worker();
    // While the pass is held: exactly the pass's own tick and one pending tick were handed
    // over, everything else is lost.
    QTRY_VERIFY_WITH_TIMEOUT(clock->lostTicks() >= 5, 5000);
    QCOMPARE(clock->ticks(), qint64(2));
    QCOMPARE(worker->passes(), qint64(0));
    rig.sink.release();
    QTRY_VERIFY_WITH_TIMEOUT(rig.sent() >= 10, 5000);
    // One pass per handed tick, never more; at most one tick waits besides the running pass.
    const qint64 passes = worker->passes();
    const qint64 ticks = clock->ticks();
    QVERIFY(passes <= ticks);
    QVERIFY(ticks - passes <= 2);
    clock->requestStop();
    QVERIFY(clock->wait(5000));
    QVERIFY(clock->workerEnded());
    const int sent = rig.sent();
    QTest::qWait(100);
    QCOMPARE(rig.sent(), sent);
}

void DeliveryTest::stuckWorkerStopIsBounded()
{
    // A worker stuck in the output: the clock stops within its bound and says the worker has
    // not ended; once the output lets go, the worker ends too.
    Rig rig(true);
    const std::unique_ptr<Generator> clock = startHeldDelivery(rig);
    QVERIFY(rig.sink.waitForHeld(5000));
    Worker *worker = clock->worker();
    QElapsedTimer timer;
    timer.start();
    clock->requestStop();
    QVERIFY(clock->wait(10000));
    const qint64 bound = Generator::kWorkerPolls * qint64(Generator::kWorkerPollMs);
    QVERIFY2(timer.elapsed() < bound + 2000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!clock->workerEnded());
    rig.sink.release();
    QVERIFY(worker->wait(5000));
    QVERIFY(clock->workerEnded());
}

void DeliveryTest::idlePauseEndsOnStop()
{
    // A pass that asks for a long pause (nothing queued in a slow video-only stream) does not
    // hold a stop back.
    std::atomic<int> passes{0};
    auto *clock = new Generator(1000000 / 30);
    auto *worker = new Worker(clock, [&passes]() -> qint64 {
        ++passes;
        return 60000;
    });
    const std::unique_ptr<Generator> owner(clock);
    worker->start();
    clock->start();
    QTRY_VERIFY_WITH_TIMEOUT(passes.load() >= 1, 5000);
    QElapsedTimer timer;
    timer.start();
    clock->requestStop();
    QVERIFY(clock->wait(5000));
    QVERIFY(worker->wait(5000));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(passes.load(), 1);
}

QTEST_GUILESS_MAIN(DeliveryTest)
#include "DeliveryTest.moc"
