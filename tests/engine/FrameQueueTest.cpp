#include "TestPicture.h"
#include "engine/FfmpegPtr.h"
#include "engine/FrameFeeder.h"
#include "engine/FrameQueue.h"
#include "engine/SessionTimeline.h"

#include <QtTest>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <limits>
#include <vector>

namespace {

// A YUV420P picture whose planes live in the test's own buffers, so that any line sizes can
// be given. Each byte holds a value derived from plane, row and column.
struct Picture
{
    Picture(int width, int height, int lumaLine, int chromaLine)
        : y(size_t(lumaLine) * height), u(size_t(chromaLine) * ((height + 1) / 2)), v(u.size())
    {
        frame.reset(av_frame_alloc());
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = width;
        frame->height = height;
        frame->linesize[0] = lumaLine;
        frame->linesize[1] = chromaLine;
        frame->linesize[2] = chromaLine;
        frame->data[0] = y.data();
        frame->data[1] = u.data();
        frame->data[2] = v.data();
        for (size_t i = 0; i < y.size(); ++i)
            y[i] = uint8_t(value(0, int(i / lumaLine), int(i % lumaLine)));
        for (size_t i = 0; i < u.size(); ++i) {
            u[i] = uint8_t(value(1, int(i / chromaLine), int(i % chromaLine)));
            v[i] = uint8_t(value(2, int(i / chromaLine), int(i % chromaLine)));
        }
    }
    static int value(int plane, int row, int column) { return plane * 71 + row * 7 + column * 3; }

    std::vector<uint8_t> y, u, v;
    AVFramePtr frame;
};

// Planar float audio with `channels` planes; sample i of channel c is c + i / 1000.
struct Audio
{
    Audio(int samples, int channels, int rate = 48000)
    {
        frame.reset(av_frame_alloc());
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->nb_samples = samples;
        frame->sample_rate = rate;
        av_channel_layout_default(&frame->ch_layout, channels);
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            qFatal("av_frame_get_buffer");
        for (int c = 0; c < channels; ++c) {
            auto *plane = reinterpret_cast<float *>(frame->extended_data[c]);
            for (int i = 0; i < samples; ++i)
                plane[i] = float(c) + float(i) / 1000.0f;
        }
    }
    AVFramePtr frame;
};

AVFrame *countedPicture(int width, int height, int luma, std::atomic<int> *freed,
                        AVPixelFormat format = AV_PIX_FMT_YUV420P)
{
    return makeTestPicture(width, height, luma, freed, format);
}

const qint64 kNoLimit = std::numeric_limits<qint64>::max();

} // namespace

class FrameQueueTest : public QObject
{
    Q_OBJECT

private slots:
    void picturesAreReferencedNotCopied_data();
    void picturesAreReferencedNotCopied();
    void foreignMemoryIsCopiedOnce();
    void popDueBoundaryAndFront();
    void everyRemovalLetsTheFrameGo();
    void budgetBoundsBytesAndFrames_data();
    void budgetBoundsBytesAndFrames();
    void audioDurationAndLayout();
    void foreignFramesAreRefused();
    void producerConsumerStress();
    void feederQueuesPicturesAsDecoded();
};

void FrameQueueTest::picturesAreReferencedNotCopied_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("yuv420p") << int(AV_PIX_FMT_YUV420P) << 64 << 48;
    QTest::newRow("odd size") << int(AV_PIX_FMT_YUV420P) << 1029 << 11;
    QTest::newRow("nv12") << int(AV_PIX_FMT_NV12) << 64 << 48;
    QTest::newRow("yuv422p10") << int(AV_PIX_FMT_YUV422P10LE) << 32 << 16;
    QTest::newRow("gray") << int(AV_PIX_FMT_GRAY8) << 16 << 16;
}

void FrameQueueTest::picturesAreReferencedNotCopied()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    std::atomic<int> freed{0};
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.setBudget(64 * 1024 * 1024, 4));
    AVFramePtr decoded(countedPicture(width, height, 77, &freed, AVPixelFormat(format)));
    const uint8_t *data = decoded->data[0];
    const int line = decoded->linesize[0];
    const qint64 bytes = FrameQueue::frameBytes(decoded.get());
    QVERIFY(queue.push(decoded.get(), 10, 33.3));
    // The decoder's frame is left blank: the queue holds its reference now.
    QVERIFY(!decoded->buf[0]);
    QCOMPARE(queue.queuedBytes(), bytes);

    AVFramePtr shown(av_frame_alloc());
    FrameRecord record;
    QVERIFY(queue.popIfDue(record, kNoLimit, shown.get()));
    QCOMPARE(record.frame, shown.get());
    QCOMPARE(record.bytes, bytes);
    // The very same buffer, format and size: no copy, no conversion.
    QCOMPARE(shown->data[0], data);
    QCOMPARE(shown->linesize[0], line);
    QCOMPARE(shown->format, format);
    QCOMPARE(shown->width, width);
    QCOMPARE(shown->height, height);
    QCOMPARE(int(shown->data[0][0]), 77);
    QCOMPARE(queue.queuedBytes(), qint64(0));
    QCOMPARE(freed.load(), 0);
    av_frame_unref(shown.get());
    QCOMPARE(freed.load(), 1);
}

void FrameQueueTest::foreignMemoryIsCopiedOnce()
{
    // A frame that is not reference-counted lives only for the call: the queue copies it.
    Picture picture(60, 20, 64, 32);
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.setBudget(1024 * 1024, 4));
    QVERIFY(queue.push(picture.frame.get(), 0, 33.3));
    std::fill(picture.y.begin(), picture.y.end(), 0);
    AVFramePtr out(av_frame_alloc());
    FrameRecord record;
    QVERIFY(queue.popIfDue(record, 0, out.get()));
    QVERIFY(out->buf[0]);
    QVERIFY(out->data[0] != picture.y.data());
    QVERIFY(record.bytes >= 60 * 20 * 3 / 2);
    for (int row = 0; row < 20; ++row)
        for (int column = 0; column < 60; column += 7)
            QCOMPARE(int(out->data[0][row * out->linesize[0] + column]),
                     Picture::value(0, row, column) & 0xFF);
    QCOMPARE(int(out->data[2][9 * out->linesize[2] + 29]), Picture::value(2, 9, 29) & 0xFF);
}

void FrameQueueTest::popDueBoundaryAndFront()
{
    std::atomic<int> freed{0};
    FrameQueue queue(FrameQueue::kKindVideo);
    QCOMPARE(queue.frontTimestamp(), kNoLimit);
    AVFramePtr out(av_frame_alloc());
    FrameRecord record;
    QVERIFY(!queue.popIfDue(record, kNoLimit, out.get()));
    // Without a budget nothing is queued.
    AVFramePtr early(countedPicture(16, 16, 1, &freed));
    QVERIFY(!queue.push(early.get(), 1, 40.0));
    QCOMPARE(freed.load(), 1);
    QCOMPARE(queue.droppedFrames(), qint64(1));

    QVERIFY(queue.setBudget(1024 * 1024, 4));
    for (qint64 t : {100, 140}) {
        AVFramePtr frame(countedPicture(16, 16, int(t), &freed));
        QVERIFY(queue.push(frame.get(), t, 40.0));
    }
    QCOMPARE(queue.frontTimestamp(), qint64(100));
    QVERIFY(!queue.popIfDue(record, 99, out.get()));
    QCOMPARE(queue.count(), 2);
    QVERIFY(queue.popIfDue(record, 100, out.get()));
    QCOMPARE(record.timestamp, qint64(100));
    QCOMPARE(record.durationMs, 40.0);
    QCOMPARE(queue.bufferedMs(), 40.0);
    QCOMPARE(queue.frontTimestamp(), qint64(140));
    // A pop into a frame that holds a picture lets that one go.
    QVERIFY(queue.popIfDue(record, 140, out.get()));
    QCOMPARE(int(out->data[0][0]), 140);
    QCOMPARE(freed.load(), 2);
    queue.dropOldest(); // empty: nothing happens
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.bufferedMs(), 0.0);
}

void FrameQueueTest::everyRemovalLetsTheFrameGo()
{
    std::atomic<int> freed{0};
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.setBudget(1024 * 1024, 8));
    auto fill = [&](int count) {
        for (int i = 0; i < count; ++i) {
            AVFramePtr frame(countedPicture(16, 16, i, &freed));
            QVERIFY(queue.push(frame.get(), 1000 + i * 10, 10.0));
        }
    };
    fill(6);
    QCOMPARE(queue.trimBefore(1000), 0); // equal to the oldest: nothing removed
    QCOMPARE(queue.trimBefore(1025), 3);
    QCOMPARE(freed.load(), 3);
    QCOMPARE(queue.frontTimestamp(), qint64(1030));
    QCOMPARE(queue.bufferedMs(), 30.0);
    FrameRecord oldest;
    QVERIFY(queue.peekOldest(oldest));
    QCOMPARE(int(oldest.frame->data[0][0]), 3);
    queue.dropOldest();
    QCOMPARE(freed.load(), 4);
    queue.clear();
    QCOMPARE(freed.load(), 6);
    QCOMPARE(queue.bufferedMs(), 0.0);
    QCOMPARE(queue.queuedBytes(), qint64(0));
    QCOMPARE(queue.frontTimestamp(), kNoLimit);
    // The slots go round: many more frames than slots pass through.
    for (int round = 0; round < 5; ++round) {
        fill(7);
        queue.trimBefore(1035);
        queue.clear();
    }
    QCOMPARE(freed.load(), 6 + 35);
    // The session's end lets go what is still queued.
    fill(5);
    queue.releaseFrames();
    QCOMPARE(freed.load(), 6 + 35 + 5);
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.maxFrames(), 0);
}

void FrameQueueTest::budgetBoundsBytesAndFrames_data()
{
    QTest::addColumn<int>("budgetPictures"); // the byte budget, in pictures
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("accepted");
    QTest::newRow("bytes bind") << 3 << 10 << 3;
    QTest::newRow("slots bind") << 10 << 2 << 2;
    QTest::newRow("both at once") << 4 << 4 << 4;
}

void FrameQueueTest::budgetBoundsBytesAndFrames()
{
    QFETCH(int, budgetPictures);
    QFETCH(int, frames);
    QFETCH(int, accepted);
    std::atomic<int> freed{0};
    AVFramePtr probe(countedPicture(320, 240, 0, &freed));
    const qint64 pictureBytes = FrameQueue::frameBytes(probe.get());
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.setBudget(pictureBytes * budgetPictures, frames));
    int pushed = 0;
    for (int i = 0; i < 12; ++i) {
        AVFramePtr frame(countedPicture(320, 240, i, &freed));
        pushed += queue.push(frame.get(), i, 33.3) ? 1 : 0;
    }
    QCOMPARE(pushed, accepted);
    QCOMPARE(queue.droppedFrames(), qint64(12 - accepted));
    QVERIFY(queue.queuedBytes() <= queue.budgetBytes());
    // Refused frames are let go at once, not kept anywhere.
    QCOMPARE(freed.load(), 12 - accepted);
    // Once delivery takes one, the next is queued again.
    queue.dropOldest();
    AVFramePtr next(countedPicture(320, 240, 99, &freed));
    QVERIFY(queue.push(next.get(), 99, 33.3));
    // The budget is kept while frames are queued.
    QVERIFY(!queue.setBudget(pictureBytes, 1));
    queue.clear();
    QVERIFY(queue.setBudget(pictureBytes, 1));
}

void FrameQueueTest::audioDurationAndLayout()
{
    FrameQueue queue(FrameQueue::kKindAudio);
    QVERIFY(queue.setBudget(1024 * 1024, 30));
    Audio stereo(1024, 2);
    const uint8_t *left = stereo.frame->extended_data[0];
    QVERIFY(queue.push(stereo.frame.get(), 5, 0.0));
    QCOMPARE(queue.bufferedMs(), 1024 * 1000.0 / 48000);
    AVFramePtr out(av_frame_alloc());
    FrameRecord record;
    QVERIFY(queue.popIfDue(record, 5, out.get()));
    QVERIFY(record.bytes >= 8192);
    QCOMPARE(record.samples, 1024);
    QCOMPARE(record.channels, 2);
    QCOMPARE(record.sampleRate, 48000);
    QCOMPARE(out->extended_data[0], left);
    const auto *right = reinterpret_cast<const float *>(out->extended_data[1]);
    QCOMPARE(right[0], 1.0f);
    QCOMPARE(right[1023], 1.0f + 1.023f);
}

void FrameQueueTest::foreignFramesAreRefused()
{
    FrameQueue video(FrameQueue::kKindVideo);
    QVERIFY(video.setBudget(1024 * 1024, 4));
    AVFramePtr empty(av_frame_alloc());
    QVERIFY(!video.push(empty.get(), 0, 33.3));

    FrameQueue audio(FrameQueue::kKindAudio);
    QVERIFY(audio.setBudget(1024 * 1024, 4));
    Audio s16(1024, 2);
    s16.frame->format = AV_SAMPLE_FMT_S16;
    QVERIFY(!audio.push(s16.frame.get(), 0, 0.0));
    Audio noRate(1024, 2);
    noRate.frame->sample_rate = 0;
    QVERIFY(!audio.push(noRate.frame.get(), 0, 0.0));
    QCOMPARE(video.droppedFrames() + audio.droppedFrames(), qint64(3));
    Audio fits(1024, 1);
    QVERIFY(audio.push(fits.frame.get(), 0, 0.0));
    QCOMPARE(audio.count(), 1);
    QCOMPARE(video.count(), 0);
}

void FrameQueueTest::producerConsumerStress()
{
    // One producer pushes numbered pictures while one consumer pops, trims, drops and clears.
    // Every frame must come out in order with its own data, and be let go exactly once.
    constexpr int kFrames = 20000;
    std::atomic<int> freed{0};
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.setBudget(64 * 1024, 8));
    std::atomic<bool> producerDone{false};
    std::atomic<int> pushedCount{0};

    QThread *producer = QThread::create([&] {
        for (int i = 0; i < kFrames; ++i) {
            // The first byte carries the frame number so the consumer can check the data.
            AVFramePtr frame(countedPicture(16, 8, i & 0xFF, &freed));
            if (queue.push(frame.get(), i, 1.0))
                pushedCount.fetch_add(1);
        }
        producerDone = true;
    });
    producer->start();

    AVFramePtr held(av_frame_alloc());
    int popped = 0;
    qint64 lastTimestamp = -1;
    bool orderKept = true;
    bool dataKept = true;
    int round = 0;
    while (!producerDone || queue.count() > 0) {
        FrameRecord record;
        if (queue.popIfDue(record, kNoLimit, held.get())) {
            ++popped;
            orderKept = orderKept && record.timestamp > lastTimestamp;
            lastTimestamp = record.timestamp;
            dataKept = dataKept && held->data[0][0] == uint8_t(record.timestamp);
        }
        switch (++round % 97) {
        case 0:
            queue.clear();
            break;
        case 50:
            queue.dropOldest();
            break;
        default:
            break;
        }
    }
    producer->wait();
    delete producer;
    held.reset();
    queue.clear();

    QVERIFY(orderKept);
    QVERIFY(dataKept);
    QVERIFY(popped > 0);
    // Every frame was let go exactly once: the refused, the dropped and the shown.
    QCOMPARE(freed.load(), kFrames);
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.bufferedMs(), 0.0);
    QCOMPARE(queue.queuedBytes(), qint64(0));
    QVERIFY(pushedCount.load() + queue.droppedFrames() == kFrames);
}

void FrameQueueTest::feederQueuesPicturesAsDecoded()
{
    // The feeder hands the decoder's pictures to the queue by reference, in whatever format and
    // size they come; the first fixes the session's size, and a picture of a format nobody
    // knows is dropped and counted rather than queued.
    FrameQueue video(FrameQueue::kKindVideo);
    FrameQueue audio(FrameQueue::kKindAudio);
    SessionTimeline timeline;
    timeline.startPtsMs = 0;
    FrameFeeder feeder(video, audio, timeline);
    int starts = 0;
    feeder.reset(true, 2000, [&](const FrameFeeder::Format &format) {
        ++starts;
        QCOMPARE(format.width, 64);
        QCOMPARE(format.fps, 30);
    });
    const AVRational timeBase{1, 1000};
    const AVRational rate{30, 1};
    std::atomic<int> freed{0};

    AVFramePtr first(countedPicture(64, 48, 1, &freed, AV_PIX_FMT_NV12));
    first->pts = 0;
    const uint8_t *firstData = first->data[0];
    // Only the first picture says how the camera is held; the session keeps it.
    AVFrameSideData *side =
        av_frame_new_side_data(first.get(), AV_FRAME_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t));
    QVERIFY(side);
    av_display_rotation_set(reinterpret_cast<int32_t *>(side->data), 90);
    const QByteArray matrix(reinterpret_cast<const char *>(side->data), int(side->size));
    QVERIFY(!feeder.displayMatrix());
    QCOMPARE(feeder.feedPicture(first.get(), timeBase, rate), qint64(0));
    QVERIFY(!first->buf[0]); // the queue holds the decoder's reference
    AVFramePtr larger(countedPicture(96, 72, 2, &freed));
    larger->pts = 33;
    QCOMPARE(feeder.feedPicture(larger.get(), timeBase, rate), qint64(33));
    AVFramePtr unknown(countedPicture(64, 48, 3, &freed));
    unknown->format = AV_PIX_FMT_NB + 7;
    unknown->pts = 66;
    QCOMPARE(feeder.feedPicture(unknown.get(), timeBase, rate), qint64(-1));
    unknown->format = AV_PIX_FMT_YUV420P; // frees as it was allocated
    QCOMPARE(feeder.unusablePictures(), qint64(1));
    QCOMPARE(feeder.convertedPictures(), qint64(0));
    QCOMPARE(starts, 1);
    QCOMPARE(feeder.width(), 64);
    QCOMPARE(timeline.lastVideoMs.load(), qint64(33));
    QVERIFY(feeder.displayMatrix());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(feeder.displayMatrix()), matrix.size()),
             matrix);

    QCOMPARE(video.count(), 2);
    AVFramePtr out(av_frame_alloc());
    FrameRecord record;
    QVERIFY(video.popIfDue(record, kNoLimit, out.get()));
    QCOMPARE(out->data[0], firstData);
    QCOMPARE(out->format, int(AV_PIX_FMT_NV12));
    QVERIFY(video.popIfDue(record, kNoLimit, out.get()));
    QCOMPARE(out->width, 96);
    QCOMPARE(int(out->data[0][0]), 2);
    out.reset();
    QCOMPARE(freed.load(), 2);
    feeder.release();
    // The next session starts without it.
    feeder.reset(true, 2000, [](const FrameFeeder::Format &) {});
    QVERIFY(!feeder.displayMatrix());
}

QTEST_GUILESS_MAIN(FrameQueueTest)
#include "FrameQueueTest.moc"
