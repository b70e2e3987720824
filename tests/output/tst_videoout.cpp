// The output's video-out hand-over: the one-slot mailbox (a reference for pictures with
// buffers, one copy into pooled storage for pictures without, a waiting picture replaced and
// counted) and the thread behind it (pictures and ticks on its own thread, a slow handler
// costing pictures rather than the sender's time, a bounded stop).

#include "output/FrameMailbox.h"
#include "output/VideoOutThread.h"

#include <QtTest>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct FrameFree
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// A reference-counted YUV420P picture whose every byte tells `seed`.
FramePtr counted(int width, int height, int seed)
{
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane ? (height + 1) / 2 : height;
        memset(frame->data[plane], (seed + plane) & 0xFF,
               static_cast<size_t>(frame->linesize[plane]) * rows);
    }
    return frame;
}

// A picture without buffers of its own: planes in `storage` with padded rows, as a caller's
// own memory would be.
struct BorrowedPicture
{
    std::vector<uint8_t> storage;
    FramePtr frame{av_frame_alloc()};

    BorrowedPicture(int width, int height, int seed)
    {
        const int luma = width + 16;
        const int chroma = (width + 1) / 2 + 8;
        const int chromaRows = (height + 1) / 2;
        storage.assign(static_cast<size_t>(luma * height + 2 * chroma * chromaRows), 0xEE);
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = width;
        frame->height = height;
        frame->data[0] = storage.data();
        frame->data[1] = frame->data[0] + luma * height;
        frame->data[2] = frame->data[1] + chroma * chromaRows;
        frame->linesize[0] = luma;
        frame->linesize[1] = chroma;
        frame->linesize[2] = chroma;
        paint(seed);
    }
    // Pixels only; the padding keeps 0xEE.
    void paint(int seed)
    {
        for (int plane = 0; plane < 3; ++plane) {
            const int w = plane ? (frame->width + 1) / 2 : frame->width;
            const int h = plane ? (frame->height + 1) / 2 : frame->height;
            for (int row = 0; row < h; ++row)
                for (int col = 0; col < w; ++col)
                    frame->data[plane][row * frame->linesize[plane] + col] =
                        static_cast<uint8_t>(seed + plane * 40 + row * 3 + col);
        }
    }
};

// The pixel bytes of a picture, rows without their padding, for comparison.
QByteArray pixels(const AVFrame &frame)
{
    QByteArray out;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? (frame.width + 1) / 2 : frame.width;
        const int h = plane ? (frame.height + 1) / 2 : frame.height;
        for (int row = 0; row < h; ++row)
            out.append(
                reinterpret_cast<const char *>(frame.data[plane] + row * frame.linesize[plane]), w);
    }
    return out;
}

constexpr std::chrono::milliseconds kNoWait(0);
constexpr std::chrono::milliseconds kLongWait(10000);

// A picture handler that can be held inside, as a backend in a slow write.
struct HoldingHandler
{
    std::mutex lock;
    std::condition_variable changed;
    bool hold = false;
    std::vector<int> seen; // the first luma byte of each picture
    std::vector<Qt::HANDLE> threads;
    int delayMs = 0;

    void operator()(const AVFrame &picture)
    {
        std::unique_lock<std::mutex> guard(lock);
        seen.push_back(picture.data[0][0]);
        threads.push_back(QThread::currentThreadId());
        changed.notify_all();
        changed.wait(guard, [this] { return !hold; });
        const int delay = delayMs;
        guard.unlock();
        // A device write that takes its time.
        if (delay > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    // Waits until a picture reached the handler.
    bool waitEntered(int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                [this] { return !seen.empty(); });
    }
    void release()
    {
        std::lock_guard<std::mutex> guard(lock);
        hold = false;
        changed.notify_all();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return seen.size();
    }
};

} // namespace

class VideoOutTest : public QObject
{
    Q_OBJECT

private slots:
    void mailboxKeepsThePicture_data();
    void mailboxKeepsThePicture();
    void borrowedCopiesReuseTheirBuffers();
    void waitingPictureIsReplacedAndCounted();
    void clearAndInterrupt();
    void notAPictureIsRefused_data();
    void notAPictureIsRefused();

    void picturesAndTicksRunOnTheThread();
    void slowHandlerCostsPicturesNotTime();
    void stopIsBounded_data();
    void stopIsBounded();
};

void VideoOutTest::mailboxKeepsThePicture_data()
{
    QTest::addColumn<bool>("referenceCounted");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("counted 64x36") << true << 64 << 36;
    QTest::newRow("counted odd 33x17") << true << 33 << 17;
    QTest::newRow("borrowed 64x36") << false << 64 << 36;
    QTest::newRow("borrowed odd 33x17") << false << 33 << 17;
}

void VideoOutTest::mailboxKeepsThePicture()
{
    QFETCH(bool, referenceCounted);
    QFETCH(int, width);
    QFETCH(int, height);
    FrameMailbox mailbox;
    FramePtr out(av_frame_alloc());
    QVERIFY(!mailbox.take(out.get(), kNoWait));

    FramePtr source = counted(width, height, 10);
    BorrowedPicture borrowed(width, height, 20);
    AVFrame *picture = referenceCounted ? source.get() : borrowed.frame.get();
    picture->pts = 1234;
    const QByteArray sent = pixels(*picture);
    QVERIFY(mailbox.put(picture));

    // The caller is done with its picture once put returns: reuse it for something else.
    if (referenceCounted)
        av_frame_unref(source.get());
    else
        borrowed.paint(99);

    QVERIFY(mailbox.take(out.get(), kNoWait));
    QCOMPARE(out->width, width);
    QCOMPARE(out->height, height);
    QCOMPARE(out->format, int(AV_PIX_FMT_YUV420P));
    QCOMPARE(out->pts, qint64(1234));
    QCOMPARE(pixels(*out), sent);
    QVERIFY(out->buf[0]); // whoever takes it may keep a reference in turn
    if (!referenceCounted)
        QVERIFY(out->data[0] < borrowed.storage.data() ||
                out->data[0] >= borrowed.storage.data() + borrowed.storage.size());
    QCOMPARE(mailbox.taken(), qint64(1));
    QCOMPARE(mailbox.dropped(), qint64(0));
    QVERIFY(!mailbox.take(out.get(), kNoWait));
}

void VideoOutTest::borrowedCopiesReuseTheirBuffers()
{
    FrameMailbox mailbox;
    FramePtr out(av_frame_alloc());
    BorrowedPicture borrowed(96, 54, 1);
    // A reference-counted picture is handed on as it is, buffer and all.
    FramePtr source = counted(96, 54, 5);
    QVERIFY(mailbox.put(source.get()));
    QVERIFY(mailbox.take(out.get(), kNoWait));
    QCOMPARE(out->data[0], source->data[0]);

    // Copies of a steady size come from a few buffers used again and again.
    std::set<const uint8_t *> buffers;
    for (int i = 0; i < 50; ++i) {
        borrowed.paint(i);
        QVERIFY(mailbox.put(borrowed.frame.get()));
        QVERIFY(mailbox.take(out.get(), kNoWait));
        QCOMPARE(pixels(*out), pixels(*borrowed.frame));
        buffers.insert(out->data[0]);
    }
    QVERIFY2(buffers.size() <= 3, qPrintable(QString::number(buffers.size())));

    // Another size: pictures of it come out whole, while one of the old size is still held.
    FramePtr held(av_frame_alloc());
    QVERIFY(av_frame_ref(held.get(), out.get()) >= 0);
    const QByteArray heldPixels = pixels(*held);
    BorrowedPicture bigger(160, 90, 7);
    QVERIFY(mailbox.put(bigger.frame.get()));
    QVERIFY(mailbox.take(out.get(), kNoWait));
    QCOMPARE(out->width, 160);
    QCOMPARE(pixels(*out), pixels(*bigger.frame));
    QCOMPARE(pixels(*held), heldPixels);
}

void VideoOutTest::waitingPictureIsReplacedAndCounted()
{
    FrameMailbox mailbox;
    FramePtr out(av_frame_alloc());
    std::vector<FramePtr> pictures;
    for (int i = 0; i < 5; ++i) {
        pictures.push_back(counted(32, 18, 10 * i));
        QVERIFY(mailbox.put(pictures.back().get()));
    }
    // Only the newest waits; the four before it were dropped, none queued.
    QCOMPARE(mailbox.dropped(), qint64(4));
    QVERIFY(mailbox.take(out.get(), kNoWait));
    QCOMPARE(int(out->data[0][0]), 40);
    QVERIFY(!mailbox.take(out.get(), kNoWait));

    // A replaced reference is released at once: the sender's buffers do not pile up.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(av_buffer_get_ref_count(pictures[size_t(i)]->buf[0]), 1);

    // A picture taken in time is no drop.
    QVERIFY(mailbox.put(pictures[0].get()));
    QVERIFY(mailbox.take(out.get(), kNoWait));
    QCOMPARE(mailbox.dropped(), qint64(4));
    QCOMPARE(mailbox.taken(), qint64(2));
}

void VideoOutTest::clearAndInterrupt()
{
    FrameMailbox mailbox;
    FramePtr out(av_frame_alloc());
    FramePtr picture = counted(32, 18, 3);

    // A cleared picture is gone without counting as dropped.
    QVERIFY(mailbox.put(picture.get()));
    mailbox.clear();
    QVERIFY(!mailbox.take(out.get(), kNoWait));
    QCOMPARE(mailbox.dropped(), qint64(0));
    QCOMPARE(av_buffer_get_ref_count(picture->buf[0]), 1);

    // A writer waiting long is woken by interrupt, and nothing is kept afterwards.
    std::atomic<bool> returned{false};
    std::atomic<bool> got{true};
    std::thread writer([&] {
        FramePtr frame(av_frame_alloc());
        got = mailbox.take(frame.get(), kLongWait);
        returned = true;
    });
    QTest::qWait(50); // let the writer reach its wait (it must not matter if it has not)
    mailbox.interrupt();
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 2000);
    writer.join();
    QVERIFY(!got.load());
    QVERIFY(mailbox.isInterrupted());
    QVERIFY(!mailbox.put(picture.get()));
    QVERIFY(!mailbox.take(out.get(), kNoWait));
    QCOMPARE(av_buffer_get_ref_count(picture->buf[0]), 1);
}

void VideoOutTest::notAPictureIsRefused_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("withData");
    QTest::newRow("no width") << 0 << 18 << int(AV_PIX_FMT_YUV420P) << true;
    QTest::newRow("negative height") << 32 << -2 << int(AV_PIX_FMT_YUV420P) << true;
    QTest::newRow("no format") << 32 << 18 << int(AV_PIX_FMT_NONE) << true;
    QTest::newRow("no planes") << 32 << 18 << int(AV_PIX_FMT_YUV420P) << false;
}

void VideoOutTest::notAPictureIsRefused()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, format);
    QFETCH(bool, withData);
    FrameMailbox mailbox;
    BorrowedPicture borrowed(32, 18, 0);
    AVFrame *frame = borrowed.frame.get();
    frame->width = width;
    frame->height = height;
    frame->format = format;
    if (!withData)
        frame->data[0] = nullptr;
    QVERIFY(!mailbox.put(frame));
    QVERIFY(!mailbox.put(nullptr));
    QCOMPARE(mailbox.failed(), qint64(2));
    FramePtr out(av_frame_alloc());
    QVERIFY(!mailbox.take(out.get(), kNoWait));
}

void VideoOutTest::picturesAndTicksRunOnTheThread()
{
    HoldingHandler handler;
    std::atomic<int> ticks{0};
    std::atomic<Qt::HANDLE> tickThread{nullptr};
    VideoOutThread thread([&handler](const AVFrame &picture) { handler(picture); },
                          [&] {
                              tickThread = QThread::currentThreadId();
                              ++ticks;
                          },
                          40);
    thread.start();

    // Ticks come at their interval while no picture comes: several, but not a burst.
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.load() >= 4, 5000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 4 * 40 - 20, qPrintable(QString::number(elapsed)));
    QVERIFY(tickThread.load() != QThread::currentThreadId());

    // Pictures reach the handler on that same thread, each once, in order.
    for (int i = 1; i <= 3; ++i) {
        FramePtr picture = counted(32, 18, i);
        QVERIFY(thread.post(picture.get()));
        QTRY_COMPARE_WITH_TIMEOUT(handler.count(), size_t(i), 5000);
    }
    QCOMPARE(handler.seen, (std::vector<int>{1, 2, 3}));
    for (Qt::HANDLE id : handler.threads)
        QCOMPARE(id, tickThread.load());
    QCOMPARE(thread.picturesHandled(), qint64(3));
    QCOMPARE(thread.picturesDropped(), qint64(0));

    // Ticks go on between pictures.
    const int before = ticks.load();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.load() > before, 5000);
    thread.stop();
    QVERIFY(thread.isFinished());
}

void VideoOutTest::slowHandlerCostsPicturesNotTime()
{
    // A backend that takes 30 ms per picture, fed at 5 ms a picture.
    HoldingHandler handler;
    handler.delayMs = 30;
    VideoOutThread thread([&handler](const AVFrame &picture) { handler(picture); }, [] {}, 200);
    thread.start();
    constexpr int kPictures = 60;
    FramePtr picture = counted(1280, 720, 0);
    qint64 slowestPostUs = 0;
    for (int i = 0; i < kPictures; ++i) {
        picture->data[0][0] = static_cast<uint8_t>(i);
        QElapsedTimer post;
        post.start();
        QVERIFY(thread.post(picture.get()));
        slowestPostUs = std::max(slowestPostUs, post.nsecsElapsed() / 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the sender's pace
    }
    // Every picture is handled or counted; none waits beyond the one slot.
    QTRY_COMPARE_WITH_TIMEOUT(thread.picturesHandled() + thread.picturesDropped(),
                              qint64(kPictures), 5000);
    QVERIFY(thread.picturesDropped() >= kPictures / 2);
    QVERIFY(thread.picturesHandled() >= 2);
    // The sender never waited for a write (a 30 ms write would show; generous for a busy box).
    QVERIFY2(slowestPostUs < 20000, qPrintable(QString::number(slowestPostUs)));
    thread.stop();
}

void VideoOutTest::stopIsBounded_data()
{
    QTest::addColumn<bool>("pictureWaiting");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("inside a held put, a picture waiting") << true << 0;
    QTest::newRow("inside a slow put") << false << 30;
}

void VideoOutTest::stopIsBounded()
{
    QFETCH(bool, pictureWaiting);
    QFETCH(int, delayMs);
    HoldingHandler handler;
    handler.hold = delayMs == 0;
    handler.delayMs = delayMs;
    auto thread = std::make_unique<VideoOutThread>(
        [&handler](const AVFrame &picture) { handler(picture); }, [] {}, 200);
    thread->start();
    FramePtr first = counted(64, 36, 1);
    FramePtr second = counted(64, 36, 2);
    QVERIFY(thread->post(first.get()));
    QVERIFY(handler.waitEntered());
    if (pictureWaiting)
        QVERIFY(thread->post(second.get()));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        thread->stop();
        stopped = true;
    });
    // A held put keeps the thread (its backend must not go under it); released, it ends.
    if (handler.hold) {
        QTest::qWait(100);
        QVERIFY(!stopped.load());
        handler.release();
    }
    QTRY_VERIFY_WITH_TIMEOUT(stopped.load(), VideoOutThread::kStopWaitMs);
    stopper.join();
    QVERIFY(thread->isFinished());
    // The waiting picture was not handled after the stop, and its reference is released.
    QCOMPARE(handler.count(), size_t(1));
    QCOMPARE(av_buffer_get_ref_count(second->buf[0]), 1);
    thread->stop(); // twice is harmless
    thread.reset();
    QCOMPARE(av_buffer_get_ref_count(first->buf[0]), 1);
}

QTEST_GUILESS_MAIN(VideoOutTest)
#include "tst_videoout.moc"
