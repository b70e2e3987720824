#include "EngineLog.h"
#include "engine/AudioConvert.h"
#include "engine/Generator.h"
#include "engine/StreamManager.h"
#include "engine/Worker.h"
#include "output/VCam.h"
#include "support/RecordingOutput.h"

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

// The picture luma of the newest frame the virtual camera received (first byte of Y).
int lastLuma(const RecordingOutput &output)
{
    const QList<RecordingOutput::Frame> frames = output.frames(RecordingOutput::Sink);
    if (frames.isEmpty() || frames.last().picture.isEmpty())
        return -1;
    return uchar(frames.last().picture.at(0));
}

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

} // namespace

// The delivery tick, driven directly on the test thread (no clock, no worker) against queues
// filled with synthetic frames, delivering into a real VCam over the recording adapter.
class DeliveryTest : public QObject
{
    Q_OBJECT

    struct Rig
    {
        explicit Rig(bool withAudio, int audioBlockBytes = StreamManager::kAudioBlockBytes)
        {
            output.setCopyPictures(true);
            cam = std::make_unique<VCam>(QStringLiteral("Quorvix"), nullptr);
            manager = std::make_unique<StreamManager>(nullptr);
            StreamManager &m = *manager;
            m.m_output = cam.get();
            m.m_ignoreAudio = !withAudio;
            m.m_width = kWidth;
            m.m_height = kHeight;
            m.m_stride = kWidth;
            m.m_outputStride = kWidth;
            m.m_fps = 30;
            m.m_frameMs = kFrameMs;
            m.m_videoQueue.allocateBlocks(StreamManager::kVideoBlocks, kWidth * kHeight * 3 / 2);
            if (withAudio)
                m.m_audioQueue.allocateBlocks(StreamManager::kAudioBlocks, audioBlockBytes);
        }

        void picture(qint64 t, int luma, double durationMs = kFrameMs)
        {
            AVFrame *frame = makePicture(luma);
            QVERIFY(manager->m_videoQueue.push(frame, t, durationMs));
            av_frame_free(&frame);
            manager->m_lastVideoMs = t;
        }
        void audio(qint64 t, int samples = 1024, int channels = 2, float left = 0.25f,
                   float right = -0.25f)
        {
            AVFrame *frame = makeAudio(samples, channels, left, right);
            QVERIFY(manager->m_audioQueue.push(frame, t, 0.0));
            av_frame_free(&frame);
            manager->m_lastAudioMs = t;
        }
        // As after the first alignment, without the automatic flush armed.
        void alignAt(qint64 clock)
        {
            manager->m_aligned = true;
            manager->m_clockMs = clock;
        }
        void tick()
        {
            if (manager->m_ignoreAudio)
                manager->videoOnlyTick();
            else
                manager->deliverTick();
        }
        int sent() const { return output.frameCount(RecordingOutput::Sink); }
        RecordingOutput::Frame last() const { return output.frames(RecordingOutput::Sink).last(); }

        RecordingOutput output; // before the VCam: it installs the fake adapter
        std::unique_ptr<VCam> cam;
        std::unique_ptr<StreamManager> manager;
    };

private slots:
    void audioConversion();
    void alignmentWaitsForBothKindsThenTrims();
    void nothingBelowTheMinimumAmounts();
    void pictureWithoutDueAudioGoesAlone();
    void lookAheadLimit();
    void clockAdvance();
    void automaticFlushOnlyOnce();
    void backlogCatchesUp();
    void resetRequest();
    void resetRequestWaitsForAlignment();
    void videoOnlyTick();
    void videoOnlyBound();
    void monoAndClampingThroughTheTick();
    void oversizedAudioNeverWedges();
    void clockSchedule_data();
    void clockSchedule();
    void clockCatchesUp();
    void busyWorkerLosesTicks();
    void deliveryStopsAndIsBounded();
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
    EngineLog log;
    Rig rig(true);
    StreamManager &m = *rig.manager;

    // Pictures only, and audio stamped 0: not yet positive for both kinds.
    for (int i = 0; i < 10; ++i)
        rig.picture(qint64(i * kFrameMs), 40);
    rig.tick();
    rig.audio(0);
    rig.tick();
    QVERIFY(!m.aligned());
    QCOMPARE(m.clockMs(), qint64(-1));
    QCOMPARE(rig.sent(), 0);
    QCOMPARE(log.count(QStringLiteral("S 10:")), 2);
    QCOMPARE(m.videoQueue().count(), 10);

    // A two-second backlog of both kinds: audio lags the newest picture.
    for (int i = 10; i < 60; ++i)
        rig.picture(qint64(i * kFrameMs), i);
    for (int i = 1; i < 90; ++i)
        rig.audio(qint64(i * 1024 * 1000.0 / kRate));
    const qint64 newestVideo = m.lastVideoMs();
    const qint64 newestAudio = m.lastAudioMs();
    QCOMPARE(newestVideo, qint64(1966));
    QCOMPARE(newestAudio, qint64(1898));
    rig.tick();

    QVERIFY(m.aligned());
    QCOMPARE(log.count(QStringLiteral("LAST PTS BEFORE FLUSH:")), 1);
    QCOMPARE(log.count(QStringLiteral("IN VIDEO and AUDI BUFF AFTER TRIM:")), 1);
    QVERIFY(m.m_firstResetArmed.load());
    // Trimmed to the newer common time, 1898: pictures from 1900 on (57, 58, 59) and the
    // audio frame at 1898 survived; the tick then delivered the due part of them.
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(lastLuma(rig.output), 57);
    QCOMPARE(rig.last().samples.size(), 2 * 1024);
    QCOMPARE(m.videoQueue().count(), 2);
    QCOMPARE(m.audioQueue().count(), 0);
    QCOMPARE(m.clockMs(), qint64(1933));
    // "S 10:" only until the alignment.
    rig.tick();
    QCOMPARE(log.count(QStringLiteral("S 10:")), 3);
}

void DeliveryTest::nothingBelowTheMinimumAmounts()
{
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    // Plenty of pictures, 15 ms of audio.
    for (int i = 0; i < 5; ++i)
        rig.picture(1000 + qint64(i * kFrameMs), 100);
    rig.audio(1000, 720);
    rig.tick();
    QCOMPARE(rig.sent(), 0);
    QCOMPARE(m.videoQueue().count(), 5);
    QCOMPARE(m.clockMs(), qint64(1000));

    // Enough audio, but only 10 ms of video.
    Rig rig2(true);
    rig2.alignAt(1000);
    rig2.picture(1000, 100, 10.0);
    rig2.audio(1000, 2048);
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
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    rig.picture(1000, 50);
    rig.audio(1200); // due only after the clock has moved
    rig.tick();
    // Held back for its audio it would be overwritten by the next picture: it goes alone.
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(lastLuma(rig.output), 50);
    QCOMPARE(rig.last().channels, 0);
    QVERIFY(rig.last().samples.isEmpty());
    QCOMPARE(m.videoQueue().count(), 0);
    QCOMPARE(m.clockMs(), qint64(1200));

    // A newer picture queued but not yet due; the audio is due now and goes out with the
    // picture on show.
    rig.picture(1300, 90);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    const RecordingOutput::Frame frame = rig.last();
    QCOMPARE(lastLuma(rig.output), 50);
    QCOMPARE(frame.width, kWidth);
    QCOMPARE(frame.height, kHeight);
    QCOMPARE(frame.rowBytes, kWidth);
    QCOMPARE(frame.channels, 2);
    QCOMPARE(frame.sampleRate, kRate);
    QCOMPARE(frame.samples.size(), 2 * 1024);
    QCOMPARE(frame.samples.at(0), qint16(8191));
    QCOMPARE(frame.samples.at(1), qint16(-8191));
    QCOMPARE(m.clockMs(), qint64(1300));
}

void DeliveryTest::lookAheadLimit()
{
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    // Limit: 1000 + 5 + 33 = 1038, inclusive.
    for (qint64 t : {1000, 1021, 1038, 1039})
        rig.audio(t);
    rig.picture(1038, 70);
    rig.picture(1039, 71);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.last().samples.size(), 2 * 3 * 1024);
    QCOMPARE(lastLuma(rig.output), 70);
    QCOMPARE(m.audioQueue().count(), 1);
    QCOMPARE(m.videoQueue().count(), 1);
    QCOMPARE(m.clockMs(), qint64(1039));
}

void DeliveryTest::clockAdvance()
{
    EngineLog log;
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    // The tick empties both queues: the clock takes the older of what it popped.
    rig.picture(1010, 60);
    rig.audio(1005);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(m.clockMs(), qint64(1005));
    QCOMPARE(log.count(QStringLiteral("---- ALERT")), 0);

    // Only audio popped, no picture due: "--- no video", and the clock goes to the oldest
    // queued picture even though it lies beyond the limit.
    rig.picture(1500, 61);
    rig.audio(1010);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(lastLuma(rig.output), 60); // the previous picture again
    QCOMPARE(log.count(QStringLiteral("--- no video")), 1);
    QCOMPARE(m.clockMs(), qint64(1500));
}

void DeliveryTest::automaticFlushOnlyOnce()
{
    EngineLog log;
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    m.m_firstResetArmed = true;
    for (int i = 0; i < 25; ++i) // 833 ms
        rig.picture(1000 + qint64(i * kFrameMs), 30 + i);
    for (int i = 0; i < 10; ++i)
        rig.audio(1000 + i * 21);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QVERIFY(m.m_resetRequested.load());
    QVERIFY(!m.m_firstResetArmed.load());
    QCOMPARE(log.count(QStringLiteral("-- first auto reset")), 1);

    // The flush happens at the next tick, which delivers nothing.
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(m.videoQueue().count(), 0);
    QCOMPARE(m.audioQueue().count(), 0);
    QCOMPARE(m.videoQueue().bufferedMs(), 0.0);
    QCOMPARE(log.count(QStringLiteral("-- RESET BUFFERS")), 2);

    // A second excursion above 700 ms is not flushed; the backlog is only cut back to where
    // the audio has got to.
    const qint64 clock = m.clockMs();
    for (int i = 0; i < 25; ++i)
        rig.picture(clock + qint64(i * kFrameMs), 80);
    for (int i = 0; i < 10; ++i)
        rig.audio(clock + i * 21);
    rig.tick();
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QVERIFY(!m.m_resetRequested.load());
    QCOMPARE(log.count(QStringLiteral("-- first auto reset")), 1);
    QCOMPARE(log.count(QStringLiteral("-- RESET BUFFERS")), 2);
    QVERIFY(m.videoQueue().bufferedMs() > 500.0);
    QVERIFY(m.videoQueue().frontTimestamp() >= clock + 9 * 21);
}

void DeliveryTest::backlogCatchesUp()
{
    EngineLog log;
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    auto at = [](int frame) { return 1000 + qint64(frame * kFrameMs); };

    // Steady state: the next picture waiting is no backlog.
    rig.picture(at(0), 10);
    rig.picture(at(1), 11);
    rig.audio(at(0));
    rig.audio(at(1));
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(lastLuma(rig.output), 10);
    QCOMPARE(m.videoQueue().count(), 1);
    QCOMPARE(log.count(QStringLiteral("-- catch up")), 0);

    // A stall: its pictures and audio arrive at once. The tick still delivers the oldest due
    // picture, then skips the waiting ones older than the newest audio.
    for (int frame = 2; frame < 7; ++frame)
        rig.picture(at(frame), 10 + frame);
    for (int frame = 2; frame < 6; ++frame)
        rig.audio(at(frame));
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(lastLuma(rig.output), 11);
    QCOMPARE(log.count(QStringLiteral("-- catch up")), 1);
    QCOMPARE(m.catchUpPictureDrops(), qint64(3)); // frames 2 to 4
    QCOMPARE(m.videoQueue().count(), 2);          // frames 5 and 6: 6 is newer than the audio
    QCOMPARE(m.clockMs(), at(5));

    // The next tick sends frame 5 with all the audio up to it: no sound is skipped.
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(lastLuma(rig.output), 15);
    QCOMPARE(rig.last().samples.size(), 2 * 3 * 1024); // frames 3 to 5
    QCOMPARE(m.audioQueue().count(), 0);

    // The camera's audio has stopped: nothing newer than the clock to cut to, so waiting
    // pictures are not thrown away here (the flush rules and the reset button deal with that).
    for (int frame = 7; frame < 12; ++frame)
        rig.picture(at(frame), 10 + frame);
    rig.audio(at(6) + 10);
    rig.tick();
    QCOMPARE(rig.sent(), 4);
    QCOMPARE(log.count(QStringLiteral("-- catch up")), 1);
    QCOMPARE(m.videoQueue().count(), 5);
    QCOMPARE(m.catchUpPictureDrops(), qint64(3));
}

void DeliveryTest::resetRequest()
{
    {
        Rig rig(true);
        StreamManager &m = *rig.manager;
        rig.alignAt(1000);
        for (int i = 0; i < 3; ++i) {
            rig.picture(1000 + i * 33, 10);
            rig.audio(1000 + i * 21);
        }
        m.requestBufferReset();
        rig.tick();
        QCOMPARE(rig.sent(), 0);
        QCOMPARE(m.videoQueue().count(), 0);
        QCOMPARE(m.audioQueue().count(), 0);
        QVERIFY(!m.m_resetRequested.load());
        // Not realigned: the clock keeps its value.
        QCOMPARE(m.clockMs(), qint64(1000));
        QVERIFY(m.aligned());
    }
    {
        // Video-only: only the video queue; the audio queue is not the tick's business.
        Rig rig(false);
        StreamManager &m = *rig.manager;
        m.m_audioQueue.allocateBlocks(2, StreamManager::kAudioBlockBytes);
        rig.audio(500);
        rig.alignAt(1000);
        for (int i = 0; i < 3; ++i)
            rig.picture(1000 + i * 33, 10);
        m.requestBufferReset();
        rig.tick();
        QCOMPARE(rig.sent(), 0);
        QCOMPARE(m.videoQueue().count(), 0);
        QCOMPARE(m.audioQueue().count(), 1);
        QVERIFY(!m.m_resetRequested.load());
    }
}

void DeliveryTest::resetRequestWaitsForAlignment()
{
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.picture(100, 10);
    m.requestBufferReset();
    rig.tick(); // no audio yet: no alignment, no reset
    QVERIFY(m.m_resetRequested.load());
    QCOMPARE(m.videoQueue().count(), 1);
    rig.audio(90);
    rig.tick(); // aligned, then the pending reset
    QVERIFY(m.aligned());
    QVERIFY(!m.m_resetRequested.load());
    QCOMPARE(m.videoQueue().count(), 0);
    QCOMPARE(m.audioQueue().count(), 0);
    QCOMPARE(rig.sent(), 0);
}

void DeliveryTest::videoOnlyTick()
{
    Rig rig(false);
    StreamManager &m = *rig.manager;
    // Not aligned while the newest picture is stamped below 1.
    rig.picture(0, 20);
    rig.tick();
    QVERIFY(!m.aligned());
    QCOMPARE(rig.sent(), 0);
    QCOMPARE(m.videoQueue().count(), 1);

    rig.picture(33, 21);
    rig.tick();
    QVERIFY(m.aligned());
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(lastLuma(rig.output), 20);
    QCOMPARE(m.clockMs(), qint64(0));
    const RecordingOutput::Frame frame = rig.last();
    QVERIFY(!frame.audioAdded);
    QCOMPARE(frame.channels, 0);
    QCOMPARE(frame.sampleRate, 0);

    // One picture of 33.3 ms queued: delivered at once, timestamps play no part.
    rig.picture(5000, 22);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(lastLuma(rig.output), 21);
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(lastLuma(rig.output), 22);
    QCOMPARE(m.clockMs(), qint64(5000));

    // Nothing queued: the tick waits one frame duration and delivers nothing.
    QElapsedTimer timer;
    timer.start();
    rig.tick();
    QVERIFY2(timer.elapsed() >= 30, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(rig.sent(), 3);
    // Below 10 ms is as good as nothing.
    rig.picture(5033, 23, 9.9);
    rig.tick();
    QCOMPARE(rig.sent(), 3);
}

void DeliveryTest::videoOnlyBound()
{
    // The bound rule as the video handler applies it, before each picture is queued.
    auto arrive = [](Rig &rig, int luma) {
        rig.manager->applyVideoBound();
        rig.picture(0, luma, 30.0);
    };
    {
        // Exactly at the bound: never a drop.
        Rig rig(false);
        rig.manager->m_maxBufferMs = 300;
        for (int i = 0; i < 10; ++i)
            rig.picture(0, i, 30.0);
        for (int i = 0; i < 5; ++i) {
            rig.manager->applyVideoBound();
            QCOMPARE(rig.manager->videoQueue().count(), 10);
            QCOMPARE(rig.manager->m_overLimitCount, 0);
        }
    }
    {
        // Above it: the first two arrivals are tolerated, the third drops one (330 -> 300 is
        // no longer above the bound) and restarts the count.
        Rig rig(false);
        rig.manager->m_maxBufferMs = 300;
        for (int i = 0; i < 11; ++i)
            rig.picture(0, i, 30.0);
        rig.manager->applyVideoBound();
        QCOMPARE(rig.manager->videoQueue().count(), 11);
        rig.manager->applyVideoBound();
        QCOMPARE(rig.manager->videoQueue().count(), 11);
        rig.manager->applyVideoBound();
        QCOMPARE(rig.manager->videoQueue().count(), 10);
        QCOMPARE(rig.manager->m_overLimitCount, 0);
    }
    {
        // Well above it: the third arrival drops two, oldest first.
        Rig rig(false);
        rig.manager->m_maxBufferMs = 300;
        for (int i = 0; i < 12; ++i)
            rig.picture(0, i, 30.0);
        arrive(rig, 100);
        arrive(rig, 101);
        QCOMPARE(rig.manager->videoQueue().count(), 14);
        arrive(rig, 102);
        QCOMPARE(rig.manager->videoQueue().count(), 13);
        QCOMPARE(rig.manager->m_overLimitCount, 0);
        rig.alignAt(1);
        rig.tick();
        QCOMPARE(lastLuma(rig.output), 2);
        // A single arrival below the bound restarts the count.
        Rig small(false);
        small.manager->m_maxBufferMs = 300;
        for (int i = 0; i < 11; ++i)
            small.picture(0, i, 30.0);
        small.manager->applyVideoBound();
        small.manager->applyVideoBound();
        small.manager->m_videoQueue.dropOldest();
        small.manager->m_videoQueue.dropOldest();
        small.manager->applyVideoBound();
        QCOMPARE(small.manager->m_overLimitCount, 0);
        QCOMPARE(small.manager->videoQueue().count(), 9);
    }
}

void DeliveryTest::monoAndClampingThroughTheTick()
{
    Rig rig(true);
    rig.alignAt(1000);
    rig.picture(1000, 10);
    rig.audio(1000, 960, 1, 1.5f);
    rig.audio(1020, 960, 2, -2.0f, 0.5f);
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
    EngineLog log;
    // Blocks large enough for records beyond the 240,000 sample frames of the delivery buffer.
    Rig rig(true, 1200000);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    for (int i = 0; i < 4; ++i)
        rig.picture(1000 + qint64(i * kFrameMs), 40 + i);
    rig.audio(1000, 250000, 1); // can never fit
    rig.audio(1001, 1024);
    rig.tick();
    QCOMPARE(m.oversizedAudioDrops(), qint64(1));
    QCOMPARE(log.count(QStringLiteral("-- WARN: audio frame larger than the delivery buffer")), 1);
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.last().samples.size(), 2 * 1024);

    // Two that fit only one at a time: the second waits for the next tick, then goes out.
    const qint64 clock = m.clockMs();
    rig.audio(clock, 200000, 1);
    rig.audio(clock + 1, 200000, 1);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.last().samples.size(), 2 * 200000);
    QCOMPARE(m.audioQueue().count(), 1);
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(rig.last().samples.size(), 2 * 200000);
    QCOMPARE(m.oversizedAudioDrops(), qint64(1));
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
    EngineLog log;
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
    QCOMPARE(log.count(QStringLiteral("GENERATOR MS: %1").arg(periodMs)), 1);
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
    EngineLog log;
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
    // Real clock and worker over a queue of due frames; the virtual camera's put is held, so
    // the worker stays inside one delivery while the clock goes on ticking.
    EngineLog log;
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    for (int i = 0; i < 50; ++i) {
        rig.picture(1000 + qint64(i * kFrameMs), i);
        rig.audio(1000 + qint64(i * kFrameMs), 1600);
    }
    // The backlog is what keeps the worker busy: nothing newer than the clock to catch up to.
    m.m_lastAudioMs = 1000;
    rig.output.holdPuts(RecordingOutput::Sink);
    m.startDelivery();
    QVERIFY(m.deliveryRunning());
    Generator *clock = m.m_clock.load();
    Worker *worker = clock->worker();
    QCOMPARE(clock->objectName(), QStringLiteral("output clock -1"));
    QVERIFY(rig.output.waitForHeldPut(5000));
    // While the pass is held: exactly the pass's own tick and one pending tick were handed
    // over, everything else is lost.
    QTRY_VERIFY_WITH_TIMEOUT(clock->lostTicks() >= 5, 5000);
    QCOMPARE(clock->ticks(), qint64(2));
    QCOMPARE(worker->passes(), qint64(0));
    rig.output.releaseHeldPuts();
    QTRY_VERIFY_WITH_TIMEOUT(rig.sent() >= 10, 5000);
    // One pass per handed tick, never more; at most one tick waits besides the running pass.
    const qint64 passes = worker->passes();
    const qint64 ticks = clock->ticks();
    QVERIFY(passes <= ticks);
    QVERIFY(ticks - passes <= 2);
    QVERIFY(m.stopDelivery(false));
    QVERIFY(!m.deliveryRunning());
}

void DeliveryTest::deliveryStopsAndIsBounded()
{
    EngineLog log;
    Rig rig(true);
    StreamManager &m = *rig.manager;
    rig.alignAt(1000);
    for (int i = 0; i < 50; ++i) {
        rig.picture(1000 + qint64(i * kFrameMs), i);
        rig.audio(1000 + qint64(i * kFrameMs), 1600);
    }
    m.m_lastAudioMs = 1000; // worked off one picture per tick, not caught up
    m.startDelivery();
    QTRY_VERIFY_WITH_TIMEOUT(rig.sent() >= 3, 5000);
    // A stop while idle returns at once and leaves nothing behind.
    QElapsedTimer timer;
    timer.start();
    QVERIFY(m.stopDelivery(false));
    QVERIFY(timer.elapsed() < 1000);
    const int sent = rig.sent();
    QTest::qWait(200);
    QCOMPARE(rig.sent(), sent);
    QVERIFY(m.stopDelivery(false)); // twice is harmless

    // A worker stuck in the output: the stop gives up after its bound and says so, and the
    // manager keeps the clock for a later, unbounded stop.
    m.startDelivery();
    rig.output.holdPuts(RecordingOutput::Sink);
    QVERIFY(rig.output.waitForHeldPut(5000));
    timer.restart();
    QVERIFY(!m.stopDelivery(false));
    QVERIFY(timer.elapsed() < 8000);
    QVERIFY(m.deliveryRunning());
    QCOMPARE(log.count(QStringLiteral("can't stop delivery")), 2);
    rig.output.releaseHeldPuts();
    QVERIFY(m.stopDelivery(true));
    QVERIFY(!m.deliveryRunning());
}

QTEST_GUILESS_MAIN(DeliveryTest)
#include "DeliveryTest.moc"
