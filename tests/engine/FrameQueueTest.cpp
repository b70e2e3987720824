#include "engine/FrameQueue.h"
#include "engine/FfmpegPtr.h"

#include <QtTest>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <limits>
#include <set>
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

const qint64 kNoLimit = std::numeric_limits<qint64>::max();

} // namespace

class FrameQueueTest : public QObject
{
    Q_OBJECT

private slots:
    void poolGrowsByFiveWhenEmpty();
    void popDueBoundaryAndFront();
    void trimAndClearRecycleEveryBlock();
    void audioDurationAndLayout();
    void videoKeepsOwnLineSizes();
    void oddWidthIsPackedToHalfChroma();
    void oversizedAndForeignFramesAreDropped();
    void poolStopsGrowingAtItsBound();
    void releaseBlocksFreesThePool();
    void producerConsumerStress();
};

void FrameQueueTest::poolGrowsByFiveWhenEmpty()
{
    Picture picture(64, 32, 64, 32);
    FrameQueue queue(FrameQueue::kKindVideo);
    QVERIFY(queue.allocateBlocks(60, 64 * 32 * 3 / 2));
    for (int i = 0; i < 60; ++i)
        QVERIFY(queue.push(picture.frame.get(), i * 33, 33.3));
    QCOMPARE(queue.freeBlockCount(), 0);
    QVERIFY(queue.push(picture.frame.get(), 60 * 33, 33.3));
    QCOMPARE(queue.blockCount(), 65);
    QCOMPARE(queue.freeBlockCount(), 4);
    QCOMPARE(queue.count(), 61);
    QCOMPARE(queue.bufferedMs(), 61 * 33.3);
    // Every block is either queued or free, each exactly once.
    std::set<uchar *> seen;
    FrameRecord record;
    while (queue.popIfDue(record, kNoLimit)) {
        QVERIFY(seen.insert(record.block).second);
        queue.release(record);
    }
    QCOMPARE(int(seen.size()), 61);
    QCOMPARE(queue.freeBlockCount(), 65);
    QVERIFY(qAbs(queue.bufferedMs()) < 1e-9);
}

void FrameQueueTest::popDueBoundaryAndFront()
{
    Picture picture(16, 16, 16, 8);
    FrameQueue queue(FrameQueue::kKindVideo);
    QCOMPARE(queue.frontTimestamp(), kNoLimit);
    FrameRecord record;
    QVERIFY(!queue.popIfDue(record, kNoLimit));
    queue.allocateBlocks(4, 16 * 16 * 3 / 2);
    QVERIFY(queue.push(picture.frame.get(), 100, 40.0));
    QVERIFY(queue.push(picture.frame.get(), 140, 40.0));
    QCOMPARE(queue.frontTimestamp(), qint64(100));
    QVERIFY(!queue.popIfDue(record, 99));
    QCOMPARE(queue.count(), 2);
    QVERIFY(queue.popIfDue(record, 100));
    QCOMPARE(record.timestamp, qint64(100));
    QCOMPARE(record.durationMs, 40.0);
    QCOMPARE(record.size, 16 * 16 * 3 / 2);
    QCOMPARE(queue.bufferedMs(), 40.0);
    QCOMPARE(queue.frontTimestamp(), qint64(140));
    // The popped block belongs to the caller until it gives it back.
    QCOMPARE(queue.freeBlockCount(), 2);
    queue.release(record);
    QCOMPARE(queue.freeBlockCount(), 3);
    queue.dropOldest();
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.freeBlockCount(), 4);
    queue.dropOldest(); // empty: nothing happens
    QCOMPARE(queue.freeBlockCount(), 4);
}

void FrameQueueTest::trimAndClearRecycleEveryBlock()
{
    Picture picture(16, 16, 16, 8);
    FrameQueue queue(FrameQueue::kKindVideo);
    queue.allocateBlocks(8, 16 * 16 * 3 / 2);
    for (int i = 0; i < 6; ++i)
        QVERIFY(queue.push(picture.frame.get(), 1000 + i * 10, 10.0));
    QCOMPARE(queue.trimBefore(1000), 0); // equal to the oldest: nothing removed
    QCOMPARE(queue.trimBefore(1025), 3);
    QCOMPARE(queue.frontTimestamp(), qint64(1030));
    QCOMPARE(queue.bufferedMs(), 30.0);
    QCOMPARE(queue.freeBlockCount(), 5);
    queue.clear();
    QCOMPARE(queue.bufferedMs(), 0.0);
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.freeBlockCount(), 8);
    QCOMPARE(queue.frontTimestamp(), kNoLimit);
}

void FrameQueueTest::audioDurationAndLayout()
{
    FrameQueue queue(FrameQueue::kKindAudio);
    queue.allocateBlocks(30, 0x28000);
    Audio stereo(1024, 2);
    QVERIFY(queue.push(stereo.frame.get(), 5, 0.0));
    QCOMPARE(queue.bufferedMs(), 1024 * 1000.0 / 48000);
    FrameRecord record;
    QVERIFY(queue.popIfDue(record, 5));
    QCOMPARE(record.size, 8192);
    QCOMPARE(record.samples, 1024);
    QCOMPARE(record.channels, 2);
    QCOMPARE(record.sampleRate, 48000);
    // Channel runs one after the other, each nb_samples floats long.
    const auto *samples = reinterpret_cast<const float *>(record.block);
    QCOMPARE(samples[0], 0.0f);
    QCOMPARE(samples[1023], 1.023f);
    QCOMPARE(samples[1024], 1.0f);
    QCOMPARE(samples[2047], 1.0f + 1.023f);
    queue.release(record);
}

void FrameQueueTest::videoKeepsOwnLineSizes()
{
    // Chroma line size exactly half the luma line size: planes are copied whole.
    Picture picture(60, 20, 64, 32);
    FrameQueue queue(FrameQueue::kKindVideo);
    queue.allocateBlocks(2, 64 * 20 * 3 / 2);
    QVERIFY(queue.push(picture.frame.get(), 0, 33.3));
    FrameRecord record;
    QVERIFY(queue.popIfDue(record, 0));
    QCOMPARE(record.stride, 64);
    QCOMPARE(record.size, 64 * 20 + 2 * 32 * 10);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(record.block), 64 * 20),
             QByteArray(reinterpret_cast<char *>(picture.y.data()), 64 * 20));
    const uchar *v = record.block + 64 * 20 + 32 * 10;
    QCOMPARE(int(v[9 * 32 + 29]), Picture::value(2, 9, 29) & 0xFF);
    queue.release(record);
}

void FrameQueueTest::oddWidthIsPackedToHalfChroma()
{
    // 1030 wide: chroma rows of 515 bytes in lines of 544 are not half of 1056. The queue
    // packs them so that a reader using stride / 2 for chroma reads the right bytes.
    Picture picture(1030, 11, 1056, 544);
    FrameQueue queue(FrameQueue::kKindVideo);
    queue.allocateBlocks(2, 1056 * 11 + 2 * 528 * 6);
    QVERIFY(queue.push(picture.frame.get(), 7, 33.3));
    FrameRecord record;
    QVERIFY(queue.popIfDue(record, 7));
    QCOMPARE(record.stride, 1030);
    QCOMPARE(record.size, 1030 * 11 + 2 * 515 * 6);
    const int half = record.stride / 2;
    const uchar *y = record.block;
    const uchar *u = y + record.stride * 11;
    const uchar *v = u + half * 6;
    for (int row = 0; row < 11; ++row)
        for (int column : {0, 1, 514, 1029})
            QCOMPARE(int(y[row * record.stride + column]), Picture::value(0, row, column) & 0xFF);
    for (int row = 0; row < 6; ++row) {
        for (int column : {0, 257, 514}) {
            QCOMPARE(int(u[row * half + column]), Picture::value(1, row, column) & 0xFF);
            QCOMPARE(int(v[row * half + column]), Picture::value(2, row, column) & 0xFF);
        }
    }
    queue.release(record);
}

void FrameQueueTest::oversizedAndForeignFramesAreDropped()
{
    FrameQueue video(FrameQueue::kKindVideo);
    video.allocateBlocks(2, 32 * 16 * 3 / 2);
    // A bigger picture than the first one (a size change) must not be written past a block.
    Picture big(64, 32, 64, 32);
    QVERIFY(!video.push(big.frame.get(), 0, 33.3));
    // Wide padding alone is no reason to drop: the rows are packed into the block.
    Picture padded(32, 16, 128, 64);
    QVERIFY(video.push(padded.frame.get(), 1, 33.3));
    // Another pixel format has no three 4:2:0 planes to copy.
    Picture grey(32, 16, 32, 16);
    grey.frame->format = AV_PIX_FMT_GRAY8;
    QVERIFY(!video.push(grey.frame.get(), 2, 33.3));
    QCOMPARE(video.count(), 1);
    QCOMPARE(video.droppedFrames(), qint64(2));
    QCOMPARE(video.freeBlockCount(), 1);

    FrameQueue audio(FrameQueue::kKindAudio);
    audio.allocateBlocks(2, 0x28000);
    Audio huge(0x28000 / 8 + 1, 2); // one sample more than fits
    QVERIFY(!audio.push(huge.frame.get(), 0, 0.0));
    Audio s16(1024, 2);
    s16.frame->format = AV_SAMPLE_FMT_S16P; // 2 bytes a sample: reading 4 would overrun
    QVERIFY(!audio.push(s16.frame.get(), 0, 0.0));
    Audio fits(0x28000 / 8, 2);
    QVERIFY(audio.push(fits.frame.get(), 0, 0.0));
    QCOMPARE(audio.count(), 1);
    QCOMPARE(audio.droppedFrames(), qint64(2));
}

void FrameQueueTest::poolStopsGrowingAtItsBound()
{
    Audio frame(16, 1);
    // A pool grows by kMaxGrowBytes at most, also when that is less than a whole step of
    // kGrowBlocks, then drops what is pushed. (The blocks are never written beyond a few bytes,
    // so they cost no RSS.)
    {
        const int blockSize = 5 * 1024 * 1024;
        FrameQueue queue(FrameQueue::kKindAudio);
        QVERIFY(queue.allocateBlocks(4, blockSize));
        QCOMPARE(queue.poolBoundBytes(), 4 * qint64(blockSize) + FrameQueue::kMaxGrowBytes);
        const int most = int(queue.poolBoundBytes() / blockSize);
        int pushed = 0;
        for (int i = 0; i < most + 10; ++i)
            pushed += queue.push(frame.frame.get(), i, 0.0) ? 1 : 0;
        QCOMPARE(pushed, most);
        QCOMPARE(queue.blockCount(), most);
        QCOMPARE(queue.droppedFrames(), qint64(10));
        // Once blocks come back, pushes succeed again, from the blocks there are.
        queue.dropOldest();
        QVERIFY(queue.push(frame.frame.get(), 99, 0.0));
        QVERIFY(!queue.push(frame.frame.get(), 100, 0.0));
        QCOMPARE(queue.blockCount(), most);
        // A released pool starts over: its next first allocation sets the bound.
        queue.releaseBlocks();
        QVERIFY(queue.allocateBlocks(1, 1000));
        QCOMPARE(queue.poolBoundBytes(), 1000 + FrameQueue::kMaxGrowBytes);
    }
    // A fixed pool (the picture pool's byte budget) never grows: once its blocks are queued
    // the new picture is dropped and counted, and the queue stays as it was.
    {
        Picture picture(16, 16, 16, 8);
        FrameQueue queue(FrameQueue::kKindVideo);
        QVERIFY(queue.allocateBlocks(3, 16 * 16 * 3 / 2, 0));
        QCOMPARE(queue.poolBoundBytes(), 3 * qint64(16 * 16 * 3 / 2));
        for (int i = 0; i < 3; ++i)
            QVERIFY(queue.push(picture.frame.get(), i, 10.0));
        QVERIFY(!queue.push(picture.frame.get(), 3, 10.0));
        QVERIFY(!queue.push(picture.frame.get(), 4, 10.0));
        QCOMPARE(queue.blockCount(), 3);
        QCOMPARE(queue.count(), 3);
        QCOMPARE(queue.bufferedMs(), 30.0);
        QCOMPARE(queue.droppedFrames(), qint64(2));
        QCOMPARE(queue.frontTimestamp(), qint64(0));
        // Delivery frees a block: the next picture is taken again.
        queue.dropOldest();
        QVERIFY(queue.push(picture.frame.get(), 5, 10.0));
        QCOMPARE(queue.blockCount(), 3);
        // The growth bound belongs to the pool's first allocation, not to the queue.
        queue.releaseBlocks();
        QVERIFY(queue.allocateBlocks(1, 1000));
        QCOMPARE(queue.poolBoundBytes(), 1000 + FrameQueue::kMaxGrowBytes);
    }
}

void FrameQueueTest::releaseBlocksFreesThePool()
{
    Picture picture(16, 16, 16, 8);
    FrameQueue queue(FrameQueue::kKindVideo);
    queue.allocateBlocks(3, 16 * 16 * 3 / 2);
    QVERIFY(queue.push(picture.frame.get(), 1, 10.0));
    queue.releaseBlocks();
    QCOMPARE(queue.blockCount(), 0);
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.bufferedMs(), 0.0);
    // Without blocks nothing is written anywhere.
    QVERIFY(!queue.push(picture.frame.get(), 2, 10.0));
    // A pool that holds blocks keeps their size.
    QVERIFY(queue.allocateBlocks(2, 400));
    QVERIFY(!queue.allocateBlocks(2, 800));
    QCOMPARE(queue.blockSize(), 400);
}

void FrameQueueTest::producerConsumerStress()
{
    // One producer pushes numbered pictures while one consumer pops, trims, drops and clears.
    // Every block must come back exactly once and never be handed out twice at a time.
    constexpr int kFrames = 20000;
    Picture picture(16, 8, 16, 8);
    FrameQueue queue(FrameQueue::kKindVideo);
    queue.allocateBlocks(8, 16 * 8 * 3 / 2);
    std::atomic<bool> producerDone{false};
    std::atomic<int> pushedCount{0};

    QThread *producer = QThread::create([&] {
        for (int i = 0; i < kFrames; ++i) {
            // The first byte carries the frame number so the consumer can check the data.
            picture.y[0] = uint8_t(i);
            if (queue.push(picture.frame.get(), i, 1.0))
                pushedCount.fetch_add(1);
        }
        producerDone = true;
    });
    producer->start();

    std::set<uchar *> held;
    int popped = 0;
    qint64 lastTimestamp = -1;
    bool orderKept = true;
    bool dataKept = true;
    bool handedTwice = false;
    int round = 0;
    while (!producerDone || queue.count() > 0) {
        FrameRecord record;
        if (queue.popIfDue(record, kNoLimit)) {
            ++popped;
            orderKept = orderKept && record.timestamp > lastTimestamp;
            lastTimestamp = record.timestamp;
            dataKept = dataKept && record.block[0] == uint8_t(record.timestamp);
            handedTwice = handedTwice || !held.insert(record.block).second;
            // Hold up to two blocks at a time, as a consumer copying out would.
            if (held.size() > 2) {
                for (uchar *block : held) {
                    FrameRecord back;
                    back.block = block;
                    queue.release(back);
                }
                held.clear();
            }
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
    for (uchar *block : held) {
        FrameRecord back;
        back.block = block;
        queue.release(back);
    }
    queue.clear();

    QVERIFY(orderKept);
    QVERIFY(dataKept);
    QVERIFY(!handedTwice);
    QVERIFY(popped > 0);
    // No block lost: after everything came back, the whole pool is free, and every block is
    // distinct.
    QCOMPARE(queue.freeBlockCount(), queue.blockCount());
    QCOMPARE(queue.count(), 0);
    QCOMPARE(queue.bufferedMs(), 0.0);
    QVERIFY(pushedCount.load() + queue.droppedFrames() == kFrames);
}

QTEST_GUILESS_MAIN(FrameQueueTest)
#include "FrameQueueTest.moc"
