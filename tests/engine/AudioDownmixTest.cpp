#include "engine/AudioDownmix.h"
#include "engine/FfmpegPtr.h"
#include "engine/FrameFeeder.h"
#include "engine/FrameQueue.h"
#include "engine/SessionTimeline.h"

#include <QtTest>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <cstring>
#include <limits>

namespace {

const int kRate = 48000;
const int kSamples = 1024;
const double kAmplitude = 0.5;
// What centre and surrounds give each side they reach, and the LFE each side.
const double kMinus3Db = M_SQRT1_2;
const double kMinus6Db = 0.5;
// Above s16 quantisation (1.5e-5 of full scale), far below any mixing error.
const double kTolerance = 1e-4;

double tone(int i)
{
    return kAmplitude * std::sin(2.0 * M_PI * 1000.0 * i / kRate);
}

// "unspec:N" is N channels of unspecified order, "custom:FC+FL+FR" a custom order of those
// channels; anything else is FFmpeg's own layout name.
bool makeLayout(const QString &name, AVChannelLayout *layout)
{
    if (name.startsWith(QLatin1String("unspec:"))) {
        layout->order = AV_CHANNEL_ORDER_UNSPEC;
        layout->nb_channels = name.mid(7).toInt();
        return true;
    }
    if (name.startsWith(QLatin1String("custom:"))) {
        const QStringList ids = name.mid(7).split(QLatin1Char('+'));
        layout->order = AV_CHANNEL_ORDER_CUSTOM;
        layout->nb_channels = ids.size();
        layout->u.map =
            static_cast<AVChannelCustom *>(av_calloc(ids.size(), sizeof(AVChannelCustom)));
        for (int i = 0; i < ids.size() && layout->u.map; ++i)
            layout->u.map[i].id = av_channel_from_string(ids[i].toLatin1().constData());
        return layout->u.map != nullptr;
    }
    return av_channel_layout_from_string(layout, name.toLatin1().constData()) == 0;
}

void putSample(AVFrame *frame, int channel, int i, double value)
{
    const auto format = AVSampleFormat(frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    const int index = planar ? i : i * frame->ch_layout.nb_channels + channel;
    uint8_t *data = frame->extended_data[planar ? channel : 0];
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16:
        reinterpret_cast<int16_t *>(data)[index] = int16_t(std::lrint(value * 32768.0));
        break;
    case AV_SAMPLE_FMT_S32:
        reinterpret_cast<int32_t *>(data)[index] = int32_t(std::lrint(value * 2147483648.0));
        break;
    case AV_SAMPLE_FMT_FLT:
        reinterpret_cast<float *>(data)[index] = float(value);
        break;
    case AV_SAMPLE_FMT_DBL:
        reinterpret_cast<double *>(data)[index] = value;
        break;
    default:
        qFatal("sample format not handled by the test");
    }
}

// A sound frame with the test tone in `toneChannel` and silence in every other channel.
AVFramePtr makeSound(const QString &layout, int format, int toneChannel, int samples = kSamples)
{
    AVFramePtr frame(av_frame_alloc());
    if (!frame || !makeLayout(layout, &frame->ch_layout))
        qFatal("layout %s", qPrintable(layout));
    frame->format = format;
    frame->nb_samples = samples;
    frame->sample_rate = kRate;
    frame->pts = 0;
    if (av_frame_get_buffer(frame.get(), 0) < 0 ||
        av_samples_set_silence(frame->extended_data, 0, samples, frame->ch_layout.nb_channels,
                               AVSampleFormat(format)) < 0)
        qFatal("av_frame_get_buffer");
    for (int i = 0; i < samples; ++i)
        putSample(frame.get(), toneChannel, i, tone(i));
    return frame;
}

// The largest difference between planar float `plane` and the tone at `gain`.
double deviation(const float *plane, int samples, double gain)
{
    double worst = 0.0;
    for (int i = 0; i < samples; ++i)
        worst = std::max(worst, std::abs(double(plane[i]) - gain * tone(i)));
    return worst;
}

// Checks `out` is planar float with the tone at `left` and `right` (mono when right < 0).
void checkTone(const AVFrame *out, double left, double right)
{
    QVERIFY(out);
    QCOMPARE(out->format, int(AV_SAMPLE_FMT_FLTP));
    QCOMPARE(out->sample_rate, kRate);
    QCOMPARE(out->nb_samples, kSamples);
    QCOMPARE(out->ch_layout.nb_channels, right < 0 ? 1 : 2);
    const auto *l = reinterpret_cast<const float *>(out->extended_data[0]);
    QVERIFY2(deviation(l, kSamples, left) < kTolerance, "left");
    if (right >= 0) {
        const auto *r = reinterpret_cast<const float *>(out->extended_data[1]);
        QVERIFY2(deviation(r, kSamples, right) < kTolerance, "right");
    }
}

} // namespace

class AudioDownmixTest : public QObject
{
    Q_OBJECT

private slots:
    void channelMap_data();
    void channelMap();
    void planarFloatPassesUntouched();
    void formatChangesMidStream();
    void unusableFramesAreDroppedNotFatal_data();
    void unusableFramesAreDroppedNotFatal();
    void feederQueuesSurroundAsStereo();
};

void AudioDownmixTest::channelMap_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("toneChannel");
    QTest::addColumn<double>("left");
    QTest::addColumn<double>("right"); // < 0: the output is mono

    const int fltp = AV_SAMPLE_FMT_FLTP;
    // 5.1 and 7.1 in FFmpeg's order: FL FR FC LFE, then the surrounds left before right.
    QTest::newRow("5.1 centre") << "5.1" << fltp << 2 << kMinus3Db << kMinus3Db;
    QTest::newRow("5.1 LFE") << "5.1" << fltp << 3 << kMinus6Db << kMinus6Db;
    QTest::newRow("5.1 front left") << "5.1" << fltp << 0 << 1.0 << 0.0;
    QTest::newRow("5.1 surround right") << "5.1" << fltp << 5 << 0.0 << kMinus3Db;
    QTest::newRow("5.1 s16 interleaved centre")
        << "5.1" << int(AV_SAMPLE_FMT_S16) << 2 << kMinus3Db << kMinus3Db;
    QTest::newRow("7.1 centre") << "7.1" << fltp << 2 << kMinus3Db << kMinus3Db;
    QTest::newRow("7.1 side left") << "7.1" << fltp << 6 << kMinus3Db << 0.0;
    QTest::newRow("6 unspecified centre") << "unspec:6" << fltp << 2 << kMinus3Db << kMinus3Db;
    QTest::newRow("6 unspecified s32 front right")
        << "unspec:6" << int(AV_SAMPLE_FMT_S32) << 1 << 0.0 << 1.0;
    QTest::newRow("custom order centre first")
        << "custom:FC+FL+FR" << fltp << 0 << kMinus3Db << kMinus3Db;
    QTest::newRow("custom order front right")
        << "custom:FC+FL+FR" << int(AV_SAMPLE_FMT_S16) << 2 << 0.0 << 1.0;
    QTest::newRow("stereo s16 left") << "stereo" << int(AV_SAMPLE_FMT_S16) << 0 << 1.0 << 0.0;
    QTest::newRow("stereo s16 right") << "stereo" << int(AV_SAMPLE_FMT_S16) << 1 << 0.0 << 1.0;
    QTest::newRow("stereo flt right") << "stereo" << int(AV_SAMPLE_FMT_FLT) << 1 << 0.0 << 1.0;
    QTest::newRow("stereo dblp left") << "stereo" << int(AV_SAMPLE_FMT_DBLP) << 0 << 1.0 << 0.0;
    QTest::newRow("2 unspecified s16 right")
        << "unspec:2" << int(AV_SAMPLE_FMT_S16) << 1 << 0.0 << 1.0;
    QTest::newRow("mono s16p") << "mono" << int(AV_SAMPLE_FMT_S16P) << 0 << 1.0 << -1.0;
    QTest::newRow("mono s32") << "mono" << int(AV_SAMPLE_FMT_S32) << 0 << 1.0 << -1.0;
    QTest::newRow("mono dbl") << "mono" << int(AV_SAMPLE_FMT_DBL) << 0 << 1.0 << -1.0;
}

void AudioDownmixTest::channelMap()
{
    QFETCH(QString, layout);
    QFETCH(int, format);
    QFETCH(int, toneChannel);
    QFETCH(double, left);
    QFETCH(double, right);

    AudioDownmix downmix;
    const AVFramePtr frame = makeSound(layout, format, toneChannel);
    const AVFrame *out = downmix.convert(frame.get());
    QVERIFY(out != frame.get());
    checkTone(out, left, right);
    QCOMPARE(downmix.drops(), qint64(0));
}

void AudioDownmixTest::planarFloatPassesUntouched()
{
    AudioDownmix downmix;
    for (const char *layout : {"stereo", "mono"}) {
        const AVFramePtr frame = makeSound(layout, AV_SAMPLE_FMT_FLTP, 0);
        QCOMPARE(downmix.convert(frame.get()), frame.get());
        checkTone(frame.get(), 1.0, QByteArray(layout) == "mono" ? -1.0 : 0.0);
    }
    // Interleaved mono float is the same memory as planar.
    const AVFramePtr mono = makeSound("mono", AV_SAMPLE_FMT_FLT, 0);
    QCOMPARE(downmix.convert(mono.get()), mono.get());
}

// A camera that changes its sound (a new encoder setting, another source) mid-session: each
// format is converted right, and while nobody keeps the converted frames every conversion
// writes into the same two planes again.
void AudioDownmixTest::formatChangesMidStream()
{
    AudioDownmix downmix;
    const AVFramePtr stereo = makeSound("stereo", AV_SAMPLE_FMT_S16, 1);
    const AVFramePtr surround = makeSound("5.1", AV_SAMPLE_FMT_FLTP, 2);
    const AVFramePtr mono = makeSound("mono", AV_SAMPLE_FMT_S16P, 0);

    const AVFrame *out = downmix.convert(stereo.get());
    checkTone(out, 0.0, 1.0);
    const float *buffer = reinterpret_cast<const float *>(out->extended_data[0]);
    checkTone(downmix.convert(stereo.get()), 0.0, 1.0);
    checkTone(downmix.convert(surround.get()), kMinus3Db, kMinus3Db);
    checkTone(downmix.convert(mono.get()), 1.0, -1.0);
    out = downmix.convert(stereo.get());
    checkTone(out, 0.0, 1.0);
    QVERIFY(reinterpret_cast<const float *>(out->extended_data[0]) == buffer ||
            reinterpret_cast<const float *>(out->extended_data[1]) == buffer);

    // The same channels in another order are another format.
    const AVFramePtr centreFirst = makeSound("custom:FC+FL+FR", AV_SAMPLE_FMT_FLTP, 0);
    const AVFramePtr leftFirst = makeSound("custom:FL+FC+FR", AV_SAMPLE_FMT_FLTP, 0);
    checkTone(downmix.convert(centreFirst.get()), kMinus3Db, kMinus3Db);
    checkTone(downmix.convert(leftFirst.get()), 1.0, 0.0);

    // A new session starts from nothing and converts again.
    downmix.release();
    checkTone(downmix.convert(surround.get()), kMinus3Db, kMinus3Db);
    QCOMPARE(downmix.drops(), qint64(0));
}

void AudioDownmixTest::unusableFramesAreDroppedNotFatal_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("larger than the buffer") << "size";
    QTest::newRow("no sample rate") << "rate";
    QTest::newRow("unknown sample format") << "format";
    QTest::newRow("no channels") << "channels";
    QTest::newRow("layout mask disagrees with its count") << "mask";
}

// A frame that cannot be converted is dropped and counted; the frames after it still convert,
// whether they have the format of the frame before or of the one dropped.
void AudioDownmixTest::unusableFramesAreDroppedNotFatal()
{
    QFETCH(QString, fault);
    AudioDownmix downmix;
    const AVFramePtr good = makeSound("5.1", AV_SAMPLE_FMT_S16, 2);
    checkTone(downmix.convert(good.get()), kMinus3Db, kMinus3Db);

    AVFramePtr bad = makeSound("5.1", AV_SAMPLE_FMT_S16, 2,
                               fault == "size" ? AudioDownmix::kMaxSamples + 1 : kSamples);
    if (fault == "rate")
        bad->sample_rate = 0;
    if (fault == "format")
        bad->format = AV_SAMPLE_FMT_NB + 3;
    if (fault == "channels")
        bad->ch_layout.nb_channels = 0;
    if (fault == "mask")
        bad->ch_layout.u.mask = AV_CH_LAYOUT_7POINT1;
    QCOMPARE(downmix.convert(bad.get()), nullptr);
    QCOMPARE(downmix.drops(), qint64(1));
    // Put back so that the frame frees as it was allocated.
    bad->ch_layout.nb_channels = 6;
    bad->ch_layout.u.mask = AV_CH_LAYOUT_5POINT1;

    checkTone(downmix.convert(good.get()), kMinus3Db, kMinus3Db);
    QCOMPARE(downmix.drops(), qint64(1));
}

// Through the feeder into the audio queue: a 5.1 frame becomes one two-channel record whose
// planes both carry the centre.
// Converted frames are queued by reference: each keeps its own planes while queued, also
// after the next conversion and after the session's conversion is freed.
void AudioDownmixTest::feederQueuesSurroundAsStereo()
{
    FrameQueue video(FrameQueue::kKindVideo);
    FrameQueue audio(FrameQueue::kKindAudio);
    SessionTimeline timeline;
    timeline.startPtsMs = 0;
    FrameFeeder feeder(video, audio, timeline);
    feeder.reset(false, 1000, {});

    AVFramePtr centre = makeSound("5.1", AV_SAMPLE_FMT_FLTP, 2);
    centre->pts = 480; // 10 ms
    feeder.feedAudio(centre.get(), AVRational{1, kRate});
    AVFramePtr left = makeSound("5.1", AV_SAMPLE_FMT_FLTP, 0);
    left->pts = 960; // 20 ms
    feeder.feedAudio(left.get(), AVRational{1, kRate});
    QCOMPARE(audio.count(), 2);
    QCOMPARE(timeline.lastAudioMs.load(), qint64(20));
    feeder.release();

    AVFramePtr out(av_frame_alloc());
    FrameRecord record;
    QVERIFY(audio.popIfDue(record, std::numeric_limits<qint64>::max(), out.get()));
    QCOMPARE(record.timestamp, qint64(10));
    QCOMPARE(record.channels, 2);
    QCOMPARE(record.samples, kSamples);
    QCOMPARE(record.sampleRate, kRate);
    checkTone(out.get(), kMinus3Db, kMinus3Db);
    QVERIFY(audio.popIfDue(record, std::numeric_limits<qint64>::max(), out.get()));
    QCOMPARE(record.timestamp, qint64(20));
    checkTone(out.get(), 1.0, 0.0);
}

QTEST_GUILESS_MAIN(AudioDownmixTest)
#include "AudioDownmixTest.moc"
