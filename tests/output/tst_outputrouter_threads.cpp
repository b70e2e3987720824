// OutputRouter's senders at once (run it under ThreadSanitizer too): the delivery thread's live
// frames (their pictures put by the video-out thread) and the GUI thread's card frames must
// never mix in what a backend gets, and the stream state and NDI mode may be flipped from a
// third thread while both send.

#include "output/OutputRouter.h"
#include "../support/I420Frame.h"
#include "support/RecordingOutput.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

class OutputRouterThreadsTest : public QObject
{
    Q_OBJECT

private slots:
    void sendersHammerFromTwoThreads();
    void destroyedRightAfterLastSend();
};

void OutputRouterThreadsTest::sendersHammerFromTwoThreads()
{
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setPreviewWindow(11);

    constexpr int kLiveWidth = 48, kLiveHeight = 32, kLiveStride = 64;
    constexpr int kCardWidth = 32, kCardHeight = 16;
    constexpr int kRounds = 1500;
    std::vector<uchar> live(kLiveStride * kLiveHeight * 2, 0x40);
    std::vector<uchar> card(kCardWidth * kCardHeight * 2, 0x80);
    std::vector<qint16> audio(2 * 16, 7);
    // The hand-over copies a picture that is not reference-counted once, rows packed.
    const quint64 liveSum =
        RecordingOutput::checksum(live.data(), kLiveWidth * kLiveHeight * 3 / 2);
    const quint64 cardSum =
        RecordingOutput::checksum(card.data(), kCardWidth * kCardHeight * 3 / 2);

    std::atomic<bool> done{false};
    std::thread delivery([&] {
        for (int i = 0; i < kRounds; ++i)
            sendI420(cam, live.data(), kLiveWidth, kLiveHeight, kLiveStride, audio.data(), 16,
                     48000, 2);
        done = true;
    });
    // The stream engine ends and restarts streams while the window's flags change.
    std::thread engine([&] {
        int i = 0;
        while (!done.load()) {
            cam.setStreamLive(false);
            cam.setNdiEnabled((++i % 3) == 0);
            std::this_thread::yield();
        }
    });
    while (!done.load())
        cam.sendStub(card.data(), kCardWidth, kCardHeight);
    delivery.join();
    engine.join();
    // On a busy machine the hammering may leave no live picture on the webcam (each one replaced
    // or its stream ended before the video-out thread took it): one sent while nobody ends the
    // stream gets there.
    const auto liveOnWebcam = [&output] {
        const QList<RecordingOutput::Frame> frames = output.frames();
        return std::any_of(frames.begin(), frames.end(), [](const RecordingOutput::Frame &frame) {
            return frame.live && frame.width != 0 && frame.target == RecordingOutput::Sink;
        });
    };
    sendI420(cam, live.data(), kLiveWidth, kLiveHeight, kLiveStride, audio.data(), 16, 48000, 2);
    QTRY_VERIFY(liveOnWebcam());
    cam.setStreamLive(false);
    cam.sendStub(card.data(), kCardWidth, kCardHeight);

    // Every recorded frame is wholly a live picture, live sound or a card: none built by two.
    int liveSink = 0;
    int cardSink = 0;
    int sound = 0;
    for (const RecordingOutput::Frame &frame : output.frames()) {
        if (frame.live && frame.width == 0) {
            sound += frame.target == RecordingOutput::Microphone ? 1 : 0;
            QCOMPARE(frame.channels, 2);
            QCOMPARE(frame.samples.size(), 16 * 2);
            QVERIFY(frame.target == RecordingOutput::Microphone ||
                    frame.target == RecordingOutput::Ndi);
        } else if (frame.live) {
            liveSink += frame.target == RecordingOutput::Sink ? 1 : 0;
            QCOMPARE(frame.rowBytes, kLiveWidth);
            QCOMPARE(frame.width, kLiveWidth);
            QCOMPARE(frame.height, kLiveHeight);
            QVERIFY(!frame.audioAdded);
            QCOMPARE(frame.checksum, liveSum);
            QVERIFY(frame.target != RecordingOutput::Microphone);
        } else {
            cardSink += frame.target == RecordingOutput::Sink ? 1 : 0;
            QCOMPARE(frame.rowBytes, kCardWidth);
            QCOMPARE(frame.width, kCardWidth);
            QCOMPARE(frame.height, kCardHeight);
            QCOMPARE(frame.channels, 0);
            QVERIFY(!frame.audioAdded);
            QCOMPARE(frame.checksum, cardSum);
            QVERIFY(frame.target != RecordingOutput::Preview);
        }
    }
    // Every frame's sound reached the microphone; pictures reached the webcam unless a newer
    // one replaced them first or their session left; cards got through whenever none was live.
    QCOMPARE(sound, kRounds + 1);
    QVERIFY(liveSink > 0);
    const OutputRouter::Statistics statistics = cam.statistics();
    QVERIFY(liveSink <= statistics.picturesShown);
    QVERIFY(statistics.picturesShown + statistics.picturesDropped <= kRounds + 1);
    QVERIFY(cardSink > 0);
    QCOMPARE(output.backendsAlive(), 4);
}

void OutputRouterThreadsTest::destroyedRightAfterLastSend()
{
    // The delivery thread sends until told to stop; the owner tears OutputRouter down while the
    // last frame may still be under way on it.
    for (int round = 0; round < 20; ++round) {
        RecordingOutput output;
        output.setCopyPictures(false);
        auto *cam = new OutputRouter(QStringLiteral("Quorvix"), nullptr);
        cam->setNdiEnabled(true);
        std::vector<uchar> live(32 * 32 * 2, 0x10);
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::thread delivery([&] {
            while (!stop.load()) {
                sendI420(*cam, live.data(), 32, 32, 32);
                ++sent;
            }
        });
        QTRY_VERIFY(sent.load() > 10);
        // The video-out thread is held inside the webcam's put; the delivery thread stops (its
        // sends never wait for that put), then the owner destroys the output: the put under
        // way must finish before the backends go.
        output.holdPuts(RecordingOutput::Sink);
        QVERIFY(output.waitForHeldPut());
        stop = true;
        delivery.join();
        std::thread destroyer([&] { delete cam; });
        output.releaseHeldPuts();
        destroyer.join();
        QCOMPARE(output.backendsAlive(), 0);
        QCOMPARE(output.destroyedWhileBusy(), 0);
        // The held frame was finished on NDI too: a frame is never cut between backends.
        QCOMPARE(output.frameCount(RecordingOutput::Ndi), output.frameCount(RecordingOutput::Sink));
    }
}

QTEST_MAIN(OutputRouterThreadsTest)
#include "tst_outputrouter_threads.moc"
