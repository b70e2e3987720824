#include "RecordingSink.h"
#include "TestPicture.h"
#include "engine/DeliveryPolicy.h"
#include "engine/FrameFeeder.h"
#include "engine/FrameQueue.h"
#include "engine/PlayoutDelay.h"
#include "engine/SessionDelivery.h"
#include "engine/SessionTimeline.h"
#include "engine/VideoBound.h"

#include <QHash>
#include <QtTest>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr double kFrameMs = 1000.0 / 30;
constexpr int kRate = 48000;

AVFrame *makePicture(int luma)
{
    return makeTestPicture(kWidth, kHeight, luma);
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
// test thread in virtual time (`now`, monotonic ms), delivering into a recording sink. Frames
// pushed arrive at `now` unless told otherwise.
struct Rig
{
    explicit Rig(bool withAudio, double frameMs = kFrameMs, int maxDelayMs = 2000)
    {
        // The queues as a session has them.
        video.setBudget(FrameFeeder::kVideoBudgetBytes, FrameFeeder::kMaxVideoFrames);
        if (withAudio)
            audio.setBudget(FrameFeeder::kAudioBudgetBytes, FrameFeeder::kMaxAudioFrames);
        DeliveryPolicy::Session session;
        session.frameMs = frameMs;
        session.videoOnly = !withAudio;
        session.maxDelayMs = maxDelayMs;
        policy = std::make_unique<DeliveryPolicy>(session, video, audio, timeline, sink);
    }

    // Frames arrive at `arrival`, else on `schedule` (t + schedule) when one is set, else now.
    qint64 arrivalOf(qint64 t, qint64 arrival) const
    {
        return arrival >= 0 ? arrival : schedule >= 0 ? schedule + t : now;
    }
    void picture(qint64 t, int luma, double durationMs = kFrameMs, qint64 arrival = -1)
    {
        AVFrame *frame = makePicture(luma);
        QVERIFY(video.push(frame, t, durationMs, arrivalOf(t, arrival)));
        av_frame_free(&frame);
        timeline.lastVideoMs = t;
    }
    void sound(qint64 t, int samples = 1024, int channels = 2, float left = 0.25f,
               float right = -0.25f, qint64 arrival = -1)
    {
        AVFrame *frame = makeAudio(samples, channels, left, right);
        QVERIFY(audio.push(frame, t, 0.0, arrivalOf(t, arrival)));
        av_frame_free(&frame);
        timeline.lastAudioMs = t;
    }
    // As after the first alignment at `now`, with `clock` due now and the automatic flush off;
    // frames pushed from now on arrive on time.
    void alignAt(qint64 clock)
    {
        policy->alignAt_for_testing(now, clock, false);
        schedule = now - clock;
    }
    DeliveryPolicy::Tick tick() { return policy->tick(now); }
    int sent() const { return sink.count(); }
    RecordingSink::Frame last() const { return sink.last(); }
    int lastLuma() const { return sink.count() ? sink.last().luma : -1; }
    qint64 clock() const { return timeline.clockMs.load(); }

    qint64 now = 100000;
    qint64 schedule = -1;
    FrameQueue video{FrameQueue::kKindVideo};
    FrameQueue audio{FrameQueue::kKindAudio};
    SessionTimeline timeline;
    RecordingSink sink;
    std::unique_ptr<DeliveryPolicy> policy;
};

} // namespace

// The delivery policy's rules over synthetic queues.
class DeliveryTest : public QObject
{
    Q_OBJECT

private slots:
    void alignmentWaitsForBothKindsThenTrims();
    void framesGoOutAtTheirTime();
    void latePictureHoldsTheOneOnShow();
    void stallBurstLeavesTheJitterAlone_data();
    void stallBurstLeavesTheJitterAlone();
    void lateAfterStallBecomesJitter();
    void laterLinkAfterStallKeepsItsSound();
    void playout_data();
    void playout();
    void fasterThanRealTimeIsHeldToTheQueueBound();
    void automaticFlushOnlyOnce();
    void resetRequest();
    void resetRequestWaitsForAlignment();
    void videoOnlyTick();
    void videoOnlyBound_data();
    void videoOnlyBound();
    void monoOnBothSidesUnclamped();
    void oversizedAudioNeverWedges();
    void picturesGoOutAsTheQueuedFrames();
};

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
    // audio frame at 1898 survived. The output starts there: the picture at 1900 (within the
    // tick's half period) goes out now, the next at its time; sound waits for its warm-up.
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.lastLuma(), 57);
    QCOMPARE(rig.video.count(), 2);
    rig.now += DeliveryPolicy::kTickMs;
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.audio.count(), 1);
    rig.now += 36;
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.lastLuma(), 58);
    QCOMPARE(rig.last().audio.size(), 0);
    // After the warm-up the lone frame is the start's backlog: gone, and not counted as late.
    rig.now += DeliveryPolicy::kAudioWarmUpMs;
    rig.tick();
    QCOMPARE(rig.audio.count(), 0);
    QCOMPARE(rig.policy->stats().lateAudio, qint64(0));
}

void DeliveryTest::framesGoOutAtTheirTime()
{
    // Frames arriving on time go out at their time plus the least delay (a tick; sound its
    // margin more), each once; audio between pictures goes alone, and nothing is sent when
    // nothing is due.
    Rig rig(true);
    rig.alignAt(1000);
    const qint64 start = rig.now;
    rig.picture(1000, 50);
    rig.picture(1033, 51);
    rig.sound(1000, 1024, 2, 0.25f, -0.25f);
    rig.sound(1021);
    rig.sound(1200);
    QHash<int, qint64> pictureAt;
    QVector<qint64> audioAt;
    int empty = 0;
    for (; rig.now < start + 150; rig.now += DeliveryPolicy::kTickMs) {
        const int before = rig.sent();
        rig.tick();
        if (rig.sent() == before) {
            ++empty;
            continue;
        }
        const RecordingSink::Frame frame = rig.last();
        if (frame.newPicture) {
            QVERIFY(!pictureAt.contains(frame.luma));
            pictureAt.insert(frame.luma, rig.now - start);
        } else {
            QCOMPARE(frame.luma, -1);
        }
        if (!frame.audio.isEmpty()) {
            QCOMPARE(frame.channels, 2);
            QCOMPARE(frame.sampleRate, kRate);
            QCOMPARE(frame.audio.size(), 2 * 1024);
            if (audioAt.isEmpty()) {
                QCOMPARE(frame.audio.at(0), 0.25f);
                QCOMPARE(frame.audio.at(1), -0.25f);
            }
            audioAt << rig.now - start;
        }
    }
    qInfo() << "pictures at" << pictureAt << "audio at" << audioAt;
    QCOMPARE(pictureAt.size(), 2);
    QVERIFY(pictureAt.value(50) <= DeliveryPolicy::kTickMs);
    QVERIFY(pictureAt.value(51) >= 33 - 2 &&
            pictureAt.value(51) <= 33 + 2 * DeliveryPolicy::kTickMs);
    // The audio at 1200 is not due within the 150 ms.
    QCOMPARE(audioAt.size(), 2);
    constexpr qint64 margin = DeliveryPolicy::kAudioMarginMs;
    QVERIFY(audioAt.at(0) >= margin - 2 && audioAt.at(0) <= margin + 2 * DeliveryPolicy::kTickMs);
    QVERIFY(audioAt.at(1) >= 21 + margin - 2 &&
            audioAt.at(1) <= 21 + margin + 2 * DeliveryPolicy::kTickMs);
    QCOMPARE(rig.audio.count(), 1);
    QVERIFY(empty > 20);
    // The clock for admitting late frames stands at the oldest time out.
    QCOMPARE(rig.clock(), qint64(1021));
}

void DeliveryTest::latePictureHoldsTheOneOnShow()
{
    // A picture that arrives after its time is shown at once; the pictures after it keep
    // their spacing from it, and the offset then works its way back at the bounded speed-up.
    Rig rig(false);
    rig.alignAt(1000);
    auto at = [](int frame) { return 1000 + qint64(frame * kFrameMs); };
    const qint64 start = rig.now;
    rig.picture(at(0), 0);
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    // Frame 1 is 30 ms late; frames 2 to 4 arrive right behind it.
    rig.now = start + 63;
    for (int frame = 1; frame < 5; ++frame)
        rig.picture(at(frame), frame);
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.lastLuma(), 1);
    QCOMPARE(rig.policy->stats().repeated, qint64(1));
    // Frame 2 is due one spacing after frame 1 shortened by at most the speed-up, not at once.
    rig.now += 12;
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    qint64 shownAt = 0;
    for (int i = 0; i < 20 && rig.sent() < 3; ++i) {
        rig.now += DeliveryPolicy::kTickMs;
        rig.tick();
        shownAt = rig.now;
    }
    QCOMPARE(rig.lastLuma(), 2);
    const qint64 interval = shownAt - (start + 63);
    QVERIFY2(interval >= qint64(kFrameMs / (1 + DeliveryPolicy::kMaxSpeedUp)) - 2 &&
                 interval <= qint64(kFrameMs) + DeliveryPolicy::kTickMs,
             qPrintable(QString::number(interval)));
    QCOMPARE(rig.policy->stats().skipped, qint64(0));
}

namespace {

// A link between a camera and the delivery, in virtual time: pictures and 1024-sample audio
// frames leave the camera at their time plus a base transit and a little noise; holds (bursts)
// keep everything that would arrive during them until they end. Deterministic with its seed.
struct Link
{
    double fps = 30;
    bool audio = true;
    int audioShiftMs = 0; // audio arrives this much later than pictures of the same time
    int burstGapMs = 0;   // mean gap between holds; 0: none
    int burstMeanMs = 0;  // mean length of a hold
    int stallAtMs = -1;   // one long hold
    int stallMs = 0;
    int laterAfterStallMs = 0; // after the stall the link stays this much later
    int flushAtMs = -1;        // the flush button
    int outputDelayMs = 0;
    int audioPerPacket = 1; // audio frames the camera's muxer gathers into one packet
    int seconds = 8;
    double speed = 1.0; // how much faster than real time the camera sends (a flood above 1)
    quint32 seed = 1;
    // Ticks as the playout thread runs them: not before the policy's idleUntilMs unless a frame
    // came into an empty queue or the flush was asked for; otherwise every tick.
    bool sleeps = false;
};

struct Played
{
    QVector<qint64> pictureAt;  // wall time each picture went out (-1: never)
    QVector<qint64> pictureMs;  // session time of each picture
    QVector<qint64> pictureArr; // when it arrived
    QVector<int> shownOrder;    // picture indices in the order shown
    QVector<qint64> audioAt;    // wall time each audio frame went out (-1: never)
    QVector<qint64> audioMs;
    QVector<int> audioOrder;      // audio frame indices in the order sent
    double mostQueuedVideoMs = 0; // after any tick
    double mostQueuedAudioMs = 0;
    int ticks = 0;
    DeliveryPolicy::Stats stats;
};

constexpr qint64 kStart = 100000;
constexpr qint64 kBaseTransitMs = 10;

Played play(const Link &link)
{
    Rig rig(link.audio, 1000.0 / link.fps);
    rig.policy->setAudioOutputDelayMs(link.outputDelayMs);
    rig.now = kStart;
    quint32 seed = link.seed;
    auto random = [&seed](int below) {
        seed = seed * 1664525u + 1013904223u;
        return below > 0 ? int((seed >> 8) % quint32(below)) : 0;
    };
    // Holds on the wall clock.
    QVector<QPair<qint64, qint64>> holds;
    const qint64 end = kStart + link.seconds * 1000;
    if (link.burstGapMs > 0)
        for (qint64 at = kStart + 500 + random(link.burstGapMs * 2); at < end;
             at += 1 + random(link.burstGapMs * 2)) {
            const qint64 length = 1 + random(link.burstMeanMs * 2);
            holds.append({at, at + length});
            at += length;
        }
    if (link.stallAtMs >= 0)
        holds.append({kStart + link.stallAtMs, kStart + link.stallAtMs + link.stallMs});
    auto arrive = [&](qint64 nominal) {
        for (const auto &hold : holds)
            if (nominal >= hold.first && nominal < hold.second)
                return hold.second;
        if (link.stallAtMs >= 0 && nominal >= kStart + link.stallAtMs + link.stallMs)
            return nominal + link.laterAfterStallMs;
        return nominal;
    };

    Played p;
    auto audioStart = [](int k) { return 1000 + qint64(std::llround(k * 1024 * 1000.0 / kRate)); };
    const int pictures = int(link.seconds * link.fps);
    qint64 previous = 0;
    for (int i = 0; i < pictures; ++i) {
        const qint64 t = 1000 + qint64(std::llround(i * 1000.0 / link.fps));
        // With audio, the camera's muxer sends a picture once the audio up to its time has been
        // captured (an audio frame is 21 ms): just before the first audio frame from t on.
        qint64 leaves = t;
        if (link.audio) {
            int k = int((t - 1000) * kRate / 1024 / 1000);
            while (audioStart(k) < t)
                ++k;
            leaves = audioStart(k) + 21;
        }
        const qint64 arrival = qMax(previous, arrive(kStart + qint64((leaves - 1000) / link.speed) +
                                                     kBaseTransitMs + random(3)));
        previous = arrival;
        p.pictureMs << t;
        p.pictureArr << arrival;
        p.pictureAt << -1;
    }
    QVector<qint64> audioArr;
    previous = 0;
    const int audioFrames = link.audio ? int(link.seconds * kRate / 1024) : 0;
    for (int k = 0; k < audioFrames; ++k) {
        const qint64 t = audioStart(k);
        // An audio frame leaves once its 21 ms have been captured, with the last of its packet.
        const int last =
            qMin(audioFrames - 1, (k / link.audioPerPacket + 1) * link.audioPerPacket - 1);
        const qint64 arrival =
            qMax(previous, arrive(kStart + qint64((audioStart(last) - 1000 + 21) / link.speed) +
                                  link.audioShiftMs + kBaseTransitMs + random(3)));
        previous = arrival;
        p.audioMs << t;
        audioArr << arrival;
        p.audioAt << -1;
    }

    int nextPicture = 0;
    int nextAudio = 0;
    bool flushed = false;
    QHash<qint64, int> pictureIndex;
    for (int i = 0; i < p.pictureMs.size(); ++i)
        pictureIndex.insert(p.pictureMs[i], i);
    qint64 idleUntil = kStart;
    for (rig.now = kStart; rig.now < end + 1500; rig.now += DeliveryPolicy::kTickMs) {
        bool woken = false;
        while (nextPicture < pictures && p.pictureArr[nextPicture] <= rig.now) {
            woken = woken || rig.video.count() == 0;
            rig.picture(p.pictureMs[nextPicture], nextPicture % 200, 1000.0 / link.fps,
                        p.pictureArr[nextPicture]);
            ++nextPicture;
        }
        while (nextAudio < audioFrames && audioArr[nextAudio] <= rig.now) {
            woken = woken || rig.audio.count() == 0;
            // The audio frame's number is its left sample value.
            rig.sound(p.audioMs[nextAudio], 1024, 2, (nextAudio + 0.5f) / 32767.0f, 0.0f,
                      audioArr[nextAudio]);
            ++nextAudio;
        }
        if (link.flushAtMs >= 0 && !flushed && rig.now >= kStart + link.flushAtMs) {
            flushed = true;
            woken = true;
            rig.policy->requestReset();
        }
        if (link.sleeps && !woken && rig.now < idleUntil)
            continue;
        const int before = rig.sent();
        rig.tick();
        ++p.ticks;
        idleUntil = qMin(rig.policy->idleUntilMs(rig.now), rig.now + SessionDelivery::kMaxIdleMs);
        p.mostQueuedVideoMs = qMax(p.mostQueuedVideoMs, rig.video.bufferedMs());
        p.mostQueuedAudioMs = qMax(p.mostQueuedAudioMs, rig.audio.bufferedMs());
        if (rig.sent() == before)
            continue;
        const RecordingSink::Frame frame = rig.last();
        if (frame.newPicture) {
            const int index = pictureIndex.value(frame.pictureMs, -1);
            if (index >= 0) {
                p.pictureAt[index] = rig.now;
                p.shownOrder << index;
            }
        }
        for (int s = 0; s < frame.audio.size(); s += 2 * 1024) {
            const int k = int(frame.audio.at(s) * 32767.0f);
            if (k >= 0 && k < audioFrames) {
                p.audioAt[k] = rig.now;
                p.audioOrder << k;
            }
        }
    }
    p.stats = rig.policy->stats();
    return p;
}

double percentileOf(QVector<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[qMin(values.size() - 1, int(p * (values.size() - 1) + 0.5))];
}

} // namespace

Q_DECLARE_METATYPE(Link)

void DeliveryTest::stallBurstLeavesTheJitterAlone_data()
{
    // How a decoder works off the backlog: one picture every `spacing` ms, and every fifth one
    // `longGap` ms after the one before (a busy computer: more than a frame).
    QTest::addColumn<int>("spacing");
    QTest::addColumn<int>("longGap");
    QTest::newRow("steady, 20 ms apart") << 20 << 20;
    QTest::newRow("busy, gaps longer than a frame") << 15 << 40;
}

void DeliveryTest::stallBurstLeavesTheJitterAlone()
{
    // A second's stall: neither the stall nor the long tail of the burst after it counts as
    // jitter, so the delay does not stay up for seconds after.
    QFETCH(int, spacing);
    QFETCH(int, longGap);
    PlayoutDelay arrivals;
    qint64 t = 0;
    for (int i = 0; i < 100; ++i, t += 33)
        arrivals.add(t, 10000 + t + (i * 7) % 4);
    QCOMPARE(arrivals.jitterMs(), qint64(3));
    const qint64 stallStart = 10000 + t;
    qint64 previous = stallStart;
    for (int i = 0; i < 150; ++i, t += 33) {
        const qint64 nominal = qMax(stallStart + 1000, 10000 + t + (i * 7) % 4);
        previous = qMax(nominal, previous + (i % 5 == 4 ? longGap : spacing));
        arrivals.add(t, previous);
        // Once worked off, a long gap leaves a picture that much after its time: real jitter.
        QVERIFY2(arrivals.jitterMs() <= 3 + qMax(0, longGap - 33),
                 qPrintable(QStringLiteral("picture %1: %2").arg(i).arg(arrivals.jitterMs())));
    }
    // Worked off: the last picture is back within a long gap of its time.
    QVERIFY2(previous - (t - 33) - 10000 <= qMax(3, longGap - 33),
             qPrintable(QString::number(previous - (t - 33) - 10000)));
    QVERIFY2(arrivals.stalls() >= 60, qPrintable(QString::number(arrivals.stalls())));
    QCOMPARE(arrivals.baseMs(), qint64(10000));
    // Jitter that stays is taken up: every fifth picture 40 ms late.
    for (int i = 0; i < 128; ++i, t += 33)
        arrivals.add(t, 10000 + t + (i % 5 == 0 ? 40 : 0));
    QCOMPARE(arrivals.jitterMs(), qint64(40));
}

void DeliveryTest::lateAfterStallBecomesJitter()
{
    // After a stall the link stays 60 ms later than before, below the stall level: that is its
    // new normal, and the delay must cover it within a few seconds, or every picture is late.
    PlayoutDelay arrivals;
    qint64 t = 0;
    for (int i = 0; i < 100; ++i, t += 33)
        arrivals.add(t, 10000 + t);
    QCOMPARE(arrivals.jitterMs(), qint64(0));
    arrivals.add(t, 10000 + t + 500);
    t += 33;
    QCOMPARE(arrivals.stalls(), qint64(1));
    qint64 coveredAt = -1;
    for (int i = 0; i < 120 && coveredAt < 0; ++i, t += 33) {
        arrivals.add(t, 10000 + t + 60);
        if (arrivals.baseMs() + arrivals.jitterMs() >= 10000 + 60)
            coveredAt = t;
    }
    QVERIFY2(coveredAt >= 0, qPrintable(QString::number(arrivals.jitterMs())));
    // The pictures are not catching up, so no burst follows the stall: a few pictures to fill
    // the percentile. Covered only seconds later, the audio of those seconds would all be late.
    QVERIFY2(coveredAt - 100 * 33 <= 500, qPrintable(QString::number(coveredAt - 100 * 33)));
}

void DeliveryTest::laterLinkAfterStallKeepsItsSound()
{
    // After a second's stall the link stays 80 ms later than before, below the stall level. The
    // delay takes that up once the backlog is worked off; until then the sound of every frame
    // comes after its time and is dropped, which the microphone plays as silence.
    Link link;
    link.stallAtMs = 3000;
    link.stallMs = 1000;
    link.laterAfterStallMs = 80;
    link.seconds = 10;
    const Played p = play(link);
    Link plain = link;
    plain.laterAfterStallMs = 0;
    const Played reference = play(plain);
    qInfo() << "late audio frames" << p.stats.lateAudio << "with the plain stall"
            << reference.stats.lateAudio;
    // At most a quarter of a second more than the stall itself costs.
    QVERIFY2(p.stats.lateAudio <= reference.stats.lateAudio + 12,
             qPrintable(QString::number(p.stats.lateAudio)));
}

void DeliveryTest::playout_data()
{
    // A link, then what the playout must make of it: the picture delay (shown minus arrived,
    // median over the steady state: what the delivery adds), pictures skipped and
    // repeated, whether the spacing of the pictures stays within 5 ms of the frame period
    // (95 %), gaps allowed in the audio, and the hold of pictures behind the audio.
    QTest::addColumn<Link>("link");
    QTest::addColumn<int>("maxDelayMs");
    QTest::addColumn<int>("maxSkipped");
    QTest::addColumn<int>("maxRepeated");
    QTest::addColumn<bool>("evenSpacing");
    QTest::addColumn<int>("audioGaps");
    QTest::addColumn<int>("holdMs");
    // Each link twice: ticked every kTickMs, and as the playout thread ticks it, sleeping until
    // a frame can be due; the same rules hold for both.
    auto row = [](const char *name, Link link, int maxDelayMs, int maxSkipped, int maxRepeated,
                  bool evenSpacing, int audioGaps, int holdMs) {
        for (const bool sleeps : {false, true}) {
            link.sleeps = sleeps;
            QTest::newRow(
                qPrintable(QString::fromLatin1(name) +
                           (sleeps ? QStringLiteral(", sleeping between frames") : QString())))
                << link << maxDelayMs << maxSkipped << maxRepeated << evenSpacing << audioGaps
                << holdMs;
        }
    };

    Link clean;
    row("clean link", clean, 15, 0, 0, true, 0, 0);
    Link jittery;
    jittery.burstGapMs = 300;
    jittery.burstMeanMs = 20;
    jittery.seed = 7;
    // 3 % of 240 pictures.
    row("jittery link, 20 ms bursts", jittery, 50, 0, 7, false, 0, 0);
    Link stall;
    stall.stallAtMs = 3000;
    stall.stallMs = 1000;
    stall.seconds = 10;
    // What lies beyond the backlog bound is skipped (about 750 ms, 23 pictures); the stalled
    // second's audio, whose time the output filled with silence, is dropped as late.
    row("stall of a second, then a burst", stall, 15, 27, 40, false, 1, 0);
    Link leads;
    leads.audioShiftMs = -100;
    row("audio leads by 100 ms", leads, 15, 0, 0, true, 0, 0);
    Link lags;
    lags.audioShiftMs = 100;
    // The pictures wait for their sound.
    row("audio lags by 100 ms", lags, 130, 0, 0, true, 0, 0);
    Link ntsc;
    ntsc.fps = 30000.0 / 1001;
    row("29.97 fps", ntsc, 15, 0, 0, true, 0, 0);
    Link videoOnly;
    videoOnly.audio = false;
    row("video only", videoOnly, 10, 0, 0, true, 0, 0);
    Link flush;
    flush.flushAtMs = 4000;
    // What was queued at the flush is gone (counted by no rule here), the rest plays on.
    row("flush button", flush, 15, 0, 3, false, 1, 0);
    Link microphone;
    microphone.outputDelayMs = 60;
    row("microphone adds 60 ms", microphone, 75, 0, 0, true, 0, 40);
    Link packets;
    packets.audioPerPacket = 14;
    // A TS muxer's default: 300 ms of sound per packet. All of it plays, and the pictures wait
    // for it.
    row("sound in 300 ms packets", packets, 320, 0, 0, false, 0, 0);
    Link packetsStall = packets;
    packetsStall.stallAtMs = 3000;
    packetsStall.stallMs = 1000;
    packetsStall.seconds = 10;
    // A stall is still one: the packets' delay stays what it was, not the stall's second.
    row("sound in 300 ms packets, a stall", packetsStall, 320, 40, 40, false, 1, 0);
}

void DeliveryTest::fasterThanRealTimeIsHeldToTheQueueBound()
{
    // A camera sending eight times faster than real time (a flood): what is queued stays within
    // the bound, so its memory does too, the oldest frames going; pictures keep being shown in
    // order, at most a quarter faster than the stream.
    Link flood;
    flood.speed = 8;
    flood.seconds = 24;
    const Played p = play(flood);
    qInfo() << "most queued: video" << p.mostQueuedVideoMs << "ms audio" << p.mostQueuedAudioMs
            << "ms; shown" << p.shownOrder.size() << "of" << p.pictureMs.size() << "skipped"
            << p.stats.skipped << "audio dropped" << p.stats.lateAudio;
    const double bound = double(DeliveryPolicy::kMaxQueuedMs);
    QVERIFY2(p.mostQueuedVideoMs <= bound + kFrameMs,
             qPrintable(QString::number(p.mostQueuedVideoMs)));
    QVERIFY2(p.mostQueuedAudioMs <= bound + 1024 * 1000.0 / kRate,
             qPrintable(QString::number(p.mostQueuedAudioMs)));
    QVERIFY(p.stats.skipped > p.pictureMs.size() / 2);
    QVERIFY(p.stats.lateAudio > 0);
    // Three wall-clock seconds of sending plus the playout afterwards: a quarter faster at most.
    QVERIFY2(p.shownOrder.size() >= 60, qPrintable(QString::number(p.shownOrder.size())));
    for (int i = 1; i < p.shownOrder.size(); ++i)
        QVERIFY(p.shownOrder[i] > p.shownOrder[i - 1]);
    for (int i = 1; i < p.shownOrder.size(); ++i) {
        const qint64 spacing = p.pictureAt[p.shownOrder[i]] - p.pictureAt[p.shownOrder[i - 1]];
        QVERIFY2(spacing >=
                     qint64(kFrameMs / (1 + DeliveryPolicy::kMaxSpeedUp)) - DeliveryPolicy::kTickMs,
                 qPrintable(QString::number(spacing)));
    }
}

void DeliveryTest::playout()
{
    QFETCH(Link, link);
    QFETCH(int, maxDelayMs);
    QFETCH(int, maxSkipped);
    QFETCH(int, maxRepeated);
    QFETCH(bool, evenSpacing);
    QFETCH(int, audioGaps);
    QFETCH(int, holdMs);
    const Played p = play(link);
    // Sleeping until a frame can be due spares most of the ticks.
    const int everyTick = (link.seconds * 1000 + 1500) / DeliveryPolicy::kTickMs;
    qInfo() << "ticks" << p.ticks << "of" << everyTick;
    if (link.sleeps)
        QVERIFY2(p.ticks * 2 < everyTick, qPrintable(QString::number(p.ticks)));

    // Pictures in order, each at most once; nothing lost that was not skipped or flushed.
    for (int i = 1; i < p.shownOrder.size(); ++i)
        QVERIFY(p.shownOrder[i] > p.shownOrder[i - 1]);
    const int missing = p.pictureMs.size() - p.shownOrder.size();
    qInfo() << "shown" << p.shownOrder.size() << "of" << p.pictureMs.size() << "skipped"
            << p.stats.skipped << "repeated" << p.stats.repeated << "late audio"
            << p.stats.lateAudio << "delay" << p.stats.delayMs;
    QVERIFY2(p.stats.skipped <= maxSkipped, qPrintable(QString::number(p.stats.skipped)));
    QVERIFY2(p.stats.repeated <= maxRepeated, qPrintable(QString::number(p.stats.repeated)));
    if (link.flushAtMs < 0)
        QCOMPARE(qint64(missing), p.stats.skipped);
    else
        QVERIFY2(missing <= 3, qPrintable(QString::number(missing)));

    // The steady state: from the second second on, away from a stall's catch-up.
    auto steady = [&](qint64 wall) {
        if (wall < kStart + 2000)
            return false;
        if (link.stallAtMs >= 0 && wall >= kStart + link.stallAtMs &&
            wall < kStart + link.stallAtMs + link.stallMs + 2000)
            return false;
        return true;
    };
    QVector<double> delays;
    QVector<double> spacing;
    qint64 previousAt = -1;
    qint64 previousMs = -1;
    for (int index : p.shownOrder) {
        const qint64 at = p.pictureAt[index];
        if (steady(at)) {
            delays << double(at - p.pictureArr[index]);
            if (previousAt >= 0 && steady(previousAt))
                spacing << qAbs(double(at - previousAt) - double(p.pictureMs[index] - previousMs));
        }
        previousAt = at;
        previousMs = p.pictureMs[index];
    }
    QVERIFY(delays.size() > 100);
    const double delay = percentileOf(delays, 0.5);
    qInfo() << "picture wait median" << delay << "p95" << percentileOf(delays, 0.95)
            << "spacing error p95" << percentileOf(spacing, 0.95);
    QVERIFY2(delay <= maxDelayMs, qPrintable(QString::number(delay)));
    if (evenSpacing)
        QVERIFY2(percentileOf(spacing, 0.95) <= 5,
                 qPrintable(QString::number(percentileOf(spacing, 0.95))));

    if (link.stallAtMs >= 0) {
        // Back within 10 ms of the delay before the stall in at most 2 s after it ended (the
        // second after that, as medians: the waits themselves follow the muxer's 21 ms saw).
        QVector<double> before;
        QVector<double> after;
        for (int index : p.shownOrder) {
            const qint64 at = p.pictureAt[index];
            const double d = double(at - p.pictureArr[index]);
            if (at > kStart + 1500 && at < kStart + link.stallAtMs)
                before << d;
            else if (at >= kStart + link.stallAtMs + link.stallMs + 2000 &&
                     at < kStart + link.stallAtMs + link.stallMs + 3000)
                after << d;
        }
        QVERIFY(!before.isEmpty() && !after.isEmpty());
        const double recovered = percentileOf(after, 0.5);
        qInfo() << "delay before the stall" << percentileOf(before, 0.5) << "2 s after"
                << recovered;
        QVERIFY2(qAbs(recovered - percentileOf(before, 0.5)) <= 10,
                 qPrintable(QString::number(recovered)));
    }

    if (!link.audio) {
        QCOMPARE(p.audioOrder.size(), 0);
        return;
    }
    // Audio in order, never twice; continuous but for the allowed gaps (a stall, a flush).
    int gaps = 0;
    for (int i = 1; i < p.audioOrder.size(); ++i) {
        QVERIFY(p.audioOrder[i] > p.audioOrder[i - 1]);
        if (p.audioOrder[i] != p.audioOrder[i - 1] + 1)
            ++gaps;
    }
    QVERIFY2(gaps <= audioGaps, qPrintable(QString::number(gaps)));
    if (audioGaps == 0)
        QCOMPARE(p.stats.lateAudio, qint64(0));
    // In step: a picture goes out `holdMs` after the audio of its time, within a tick and the
    // audio frame's length.
    QVector<double> offsets;
    for (int index : p.shownOrder) {
        const qint64 at = p.pictureAt[index];
        if (!steady(at))
            continue;
        const qint64 t = p.pictureMs[index];
        const int k = int((t - 1000) * kRate / 1024 / 1000);
        if (k + 1 >= p.audioMs.size() || p.audioAt[k] < 0 || p.audioAt[k + 1] < 0)
            continue;
        // Audio of time t went out between the release of frame k and of frame k + 1.
        const double fraction = double(t - p.audioMs[k]) / double(p.audioMs[k + 1] - p.audioMs[k]);
        const double audioAt = p.audioAt[k] + fraction * (p.audioAt[k + 1] - p.audioAt[k]);
        offsets << double(at) - audioAt;
    }
    QVERIFY(offsets.size() > 100);
    const double offset = percentileOf(offsets, 0.5);
    qInfo() << "picture after its audio: median" << offset << "ms";
    QVERIFY2(qAbs(offset - holdMs) <= 12, qPrintable(QString::number(offset)));
}

void DeliveryTest::automaticFlushOnlyOnce()
{
    Rig rig(true);
    rig.policy->alignAt_for_testing(rig.now, 1000, true);
    for (int i = 0; i < 25; ++i) // 833 ms
        rig.picture(1000 + qint64(i * kFrameMs), 30 + i);
    for (int i = 0; i < 10; ++i)
        rig.sound(1000 + i * 21);
    // The pictures wait for the sound, which keeps its margin.
    rig.now += DeliveryPolicy::kAudioMarginMs;
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QVERIFY(rig.policy->resetPending());
    QVERIFY(!rig.policy->autoResetArmed());

    // The flush happens at the next tick, which delivers nothing.
    rig.now += DeliveryPolicy::kTickMs;
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    QVERIFY(!rig.policy->resetPending());
    QCOMPARE(rig.video.count(), 0);
    QCOMPARE(rig.audio.count(), 0);
    QCOMPARE(rig.video.bufferedMs(), 0.0);

    // A second excursion above 700 ms is not flushed.
    for (int i = 0; i < 25; ++i)
        rig.picture(2000 + qint64(i * kFrameMs), 80);
    rig.now += DeliveryPolicy::kTickMs;
    rig.tick();
    rig.now += DeliveryPolicy::kTickMs;
    rig.tick();
    QVERIFY(!rig.policy->resetPending());
    QVERIFY(rig.video.count() > 20);
}

void DeliveryTest::resetRequest()
{
    {
        Rig rig(true);
        rig.alignAt(1000);
        for (int i = 0; i < 3; ++i) {
            rig.picture(1050 + i * 33, 10);
            rig.sound(1050 + i * 21);
        }
        rig.policy->requestReset();
        rig.tick();
        QCOMPARE(rig.sent(), 0);
        QCOMPARE(rig.video.count(), 0);
        QCOMPARE(rig.audio.count(), 0);
        QVERIFY(!rig.policy->resetPending());
        // Not realigned: the clock keeps its value, and what comes next plays on it.
        QCOMPARE(rig.clock(), qint64(1000));
        QVERIFY(rig.policy->aligned());
        rig.picture(1200, 20);
        rig.now += 204;
        rig.tick();
        QCOMPARE(rig.sent(), 1);
        QCOMPARE(rig.lastLuma(), 20);
    }
    {
        // Video-only: only the video queue; the audio queue is not the tick's business.
        Rig rig(false);
        rig.audio.setBudget(FrameFeeder::kAudioBudgetBytes, 2);
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

    // Aligned on the oldest queued picture, which goes out at once, without audio.
    rig.picture(33, 21);
    rig.tick();
    QVERIFY(rig.policy->aligned());
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.lastLuma(), 20);
    QCOMPARE(rig.clock(), qint64(0));
    QCOMPARE(rig.last().channels, 0);
    QCOMPARE(rig.last().sampleRate, 0);
    QVERIFY(rig.last().audio.isEmpty());

    // The next one at its time, plus the least delay of a tick.
    rig.now += 20;
    QCOMPARE(rig.tick(), DeliveryPolicy::Tick::Done);
    QCOMPARE(rig.sent(), 1);
    rig.now += 16;
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.lastLuma(), 21);
    QCOMPARE(rig.clock(), qint64(33));

    // Nothing queued: the tick says so and delivers nothing.
    rig.now += 33;
    QCOMPARE(rig.tick(), DeliveryPolicy::Tick::Idle);
    QCOMPARE(rig.sent(), 2);
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
    QVERIFY(rig.video.visitOldest(
        [&](const FrameRecord &record) { oldest = record.frame->data[0][0]; }));
    QCOMPARE(oldest, expectedOldest);
}

void DeliveryTest::monoOnBothSidesUnclamped()
{
    Rig rig(true);
    rig.alignAt(1000);
    rig.picture(1000, 10);
    rig.sound(1000, 960, 1, 1.5f);
    rig.sound(1020, 960, 2, -2.0f, 0.5f);
    rig.now += 24 + DeliveryPolicy::kAudioMarginMs;
    rig.tick();
    QCOMPARE(rig.sent(), 1);
    const QVector<float> audio = rig.last().audio;
    QCOMPARE(rig.last().channels, 2);
    QCOMPARE(audio.size(), 2 * 1920);
    // Mono first: both sides alike; then the stereo frame right after it. Values beyond full
    // scale are the output's to clamp, in its one conversion.
    for (int i = 0; i < 960; ++i) {
        QCOMPARE(audio[2 * i], 1.5f);
        QCOMPARE(audio[2 * i + 1], 1.5f);
    }
    for (int i = 960; i < 1920; ++i) {
        QCOMPARE(audio[2 * i], -2.0f);
        QCOMPARE(audio[2 * i + 1], 0.5f);
    }
}

void DeliveryTest::oversizedAudioNeverWedges()
{
    // Frames beyond the 240,000 sample frames of the delivery buffer fit the sound budget.
    Rig rig(true);
    rig.alignAt(1000);
    for (int i = 0; i < 4; ++i)
        rig.picture(1000 + qint64(i * kFrameMs), 40 + i);
    rig.sound(1000, 250000, 1); // can never fit
    rig.sound(1001, 1024);
    rig.now += 10 + DeliveryPolicy::kAudioMarginMs;
    rig.tick();
    QCOMPARE(rig.policy->oversizedAudioDrops(), qint64(1));
    QCOMPARE(rig.sent(), 1);
    QCOMPARE(rig.last().audio.size(), 2 * 1024);

    // Two that fit only one at a time: the second waits for the next tick, then goes out.
    rig.sound(1011, 200000, 1);
    rig.sound(1012, 200000, 1);
    rig.now += 10;
    rig.tick();
    QCOMPARE(rig.sent(), 2);
    QCOMPARE(rig.last().audio.size(), 2 * 200000);
    QCOMPARE(rig.audio.count(), 1);
    rig.now += DeliveryPolicy::kTickMs;
    rig.tick();
    QCOMPARE(rig.sent(), 3);
    QCOMPARE(rig.last().audio.size(), 2 * 200000);
    QCOMPARE(rig.policy->oversizedAudioDrops(), qint64(1));
}

void DeliveryTest::picturesGoOutAsTheQueuedFrames()
{
    // What the sink sees of each frame while deliver() runs.
    struct Seen
    {
        const AVFrame *picture = nullptr;
        const uint8_t *data = nullptr;
        int format = -1;
        int width = 0;
        bool newPicture = false;
        int samples = 0;
    };
    struct Sink : DeliverySink
    {
        void deliver(const DeliveredFrame &frame) override
        {
            Seen s;
            s.picture = frame.picture;
            s.data = frame.picture ? frame.picture->data[0] : nullptr;
            s.format = frame.picture ? frame.picture->format : -1;
            s.width = frame.picture ? frame.picture->width : 0;
            s.newPicture = frame.newPicture;
            s.samples = frame.samples;
            seen << s;
        }
        QVector<Seen> seen;
    } sink;

    Rig rig(true);
    DeliveryPolicy policy(DeliveryPolicy::Session{kFrameMs, false, 2000}, rig.video, rig.audio,
                          rig.timeline, sink);
    policy.alignAt_for_testing(rig.now, 1000, false);
    rig.schedule = rig.now - 1000;
    std::atomic<int> freed{0};
    // The decoder's pictures in whatever format and size they come: they go out as they are.
    AVFrame *first = makeTestPicture(kWidth, kHeight, 10, &freed, AV_PIX_FMT_NV12);
    AVFrame *second = makeTestPicture(1029, 11, 20, &freed);
    const uint8_t *firstData = first->data[0];
    const uint8_t *secondData = second->data[0];
    QVERIFY(rig.video.push(first, 1000, kFrameMs, rig.now));
    QVERIFY(rig.video.push(second, 1033, kFrameMs, rig.now));
    av_frame_free(&first);
    av_frame_free(&second);
    rig.sound(1010);

    policy.tick(rig.now);
    QCOMPARE(sink.seen.size(), 1);
    QVERIFY(sink.seen[0].newPicture);
    QCOMPARE(sink.seen[0].data, firstData);
    QCOMPARE(sink.seen[0].format, int(AV_PIX_FMT_NV12));
    // Sound due between pictures goes with the picture on show again: the same reference.
    for (int i = 0; i < 10 && sink.seen.size() < 2; ++i) {
        rig.now += DeliveryPolicy::kTickMs;
        policy.tick(rig.now);
    }
    QCOMPARE(sink.seen.size(), 2);
    QVERIFY(!sink.seen[1].newPicture);
    QCOMPARE(sink.seen[1].samples, 1024);
    QCOMPARE(sink.seen[1].picture, sink.seen[0].picture);
    QCOMPARE(sink.seen[1].data, firstData);
    QCOMPARE(freed.load(), 0);
    // The next picture takes its place, and the one shown before goes back to its decoder.
    for (int i = 0; i < 20 && sink.seen.size() < 3; ++i) {
        rig.now += DeliveryPolicy::kTickMs;
        policy.tick(rig.now);
    }
    QCOMPARE(sink.seen.size(), 3);
    QVERIFY(sink.seen[2].newPicture);
    QCOMPARE(sink.seen[2].data, secondData);
    QCOMPARE(sink.seen[2].width, 1029);
    QCOMPARE(freed.load(), 1);
    // The session's end lets the picture on show go too.
    policy.releaseBuffers();
    QCOMPARE(freed.load(), 2);
}

QTEST_GUILESS_MAIN(DeliveryTest)
#include "DeliveryTest.moc"
