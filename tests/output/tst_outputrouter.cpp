// OutputRouter against recording backends: which backend gets which frame (live or card) with which
// fields, what a missing or throwing backend changes, the card held back while a stream is
// live, session changes, and destruction while a frame is under way. Live pictures reach the
// backends from the video-out thread: the cases wait for it (sendLiveAndWait).

#include "tests/support/LogCapture.h"
#include "../support/I420Frame.h"
#include "output/OutputRouter.h"
#include "support/RecordingOutput.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Target = RecordingOutput::Target;

// An I420 picture with `stride` bytes per luma row, every byte a function of its offset.
std::vector<uchar> makePicture(int height, int stride)
{
    std::vector<uchar> picture(
        static_cast<size_t>(stride * height + 2 * ((stride + 1) / 2) * ((height + 1) / 2)));
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<uchar>(i * 7 + 3);
    return picture;
}

QByteArray bytes(const std::vector<uchar> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), static_cast<int>(data.size()));
}

// Sends a live frame and waits until the video-out thread has put its picture to the backends.
bool sendLiveAndWait(OutputRouter &cam, const std::vector<uchar> &picture, int width, int height,
                     int stride, const qint16 *audio = nullptr, int samples = 0, int sampleRate = 0,
                     int channels = 0)
{
    const qint64 before = cam.statistics().picturesShown;
    sendI420(cam, picture.data(), width, height, stride, audio, samples, sampleRate, channels);
    return QTest::qWaitFor([&] { return cam.statistics().picturesShown > before; }, 5000);
}

// The picture as the mailbox's copy lays it out: rows packed.
QByteArray packed(const std::vector<uchar> &picture, int width, int height, int stride)
{
    QByteArray out;
    const int chromaStride = (stride + 1) / 2;
    const uchar *plane = picture.data();
    for (int row = 0; row < height; ++row)
        out.append(reinterpret_cast<const char *>(plane + row * stride), width);
    for (int p = 0; p < 2; ++p) {
        plane = picture.data() + stride * height + p * chromaStride * ((height + 1) / 2);
        for (int row = 0; row < (height + 1) / 2; ++row)
            out.append(reinterpret_cast<const char *>(plane + row * chromaStride), (width + 1) / 2);
    }
    return out;
}

} // namespace

class OutputRouterTest : public QObject
{
    Q_OBJECT

private slots:
    void backendsComeFromTheFactoryAndGoWithTheRouter();
    void missingBackendIsLeftOut_data();
    void missingBackendIsLeftOut();
    void liveFrameRecord();
    void audioOnlyWhenComplete_data();
    void audioOnlyWhenComplete();
    void unusablePictureReachesNoBackend_data();
    void unusablePictureReachesNoBackend();
    void frameRate();
    void webcamAvailableFollowsTheWebcam();
    void routing_data();
    void routing();
    void microphone();
    void throwingBackendDoesNotStopOthers_data();
    void throwingBackendDoesNotStopOthers();
    void cardHeldBackWhileStreamLive();
    void sessionChangeReachesEveryBackend();
    void previewWindowSwitching();
    void cardNeverWaits();
    void destructionWaitsForSendUnderWay();
    void cardComesFromTheVideoOutThread();
};

void OutputRouterTest::backendsComeFromTheFactoryAndGoWithTheRouter()
{
    LogCapture log;
    RecordingOutput output;
    {
        OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
        QCOMPARE(output.backendsAlive(), 4);
        QVERIFY(log.criticals().isEmpty());
        QVERIFY(cam.webcamAvailable());
        QVERIFY(!cam.streamActive());
        QVERIFY(!cam.ndiEnabled());
        QVERIFY(!cam.previewEnabled());
        // Nothing reaches a backend before the first frame.
        QVERIFY(output.frames().isEmpty());
        QCOMPARE(output.sessionChanges(), 0);
    }
    QCOMPARE(output.backendsAlive(), 0);

    // Uninstalled: the next OutputRouter gets the real backends, not the recording ones.
    output.uninstall();
    {
        OutputRouter real(QStringLiteral("Quorvix"), nullptr);
        QCOMPARE(output.backendsAlive(), 0);
    }
}

void OutputRouterTest::missingBackendIsLeftOut_data()
{
    QTest::addColumn<int>("missing");
    QTest::addColumn<int>("criticals");
    QTest::newRow("webcam") << int(RecordingOutput::Sink) << 1;
    QTest::newRow("ndi") << int(RecordingOutput::Ndi) << 1;
    QTest::newRow("preview") << int(RecordingOutput::Preview) << 0;
    QTest::newRow("microphone") << int(RecordingOutput::Microphone) << 0;
}

void OutputRouterTest::missingBackendIsLeftOut()
{
    QFETCH(int, missing);
    QFETCH(int, criticals);
    LogCapture log;
    RecordingOutput output;
    output.failCreate(Target(missing));
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QCOMPARE(output.backendsAlive(), 3);
    QCOMPARE(log.criticals().size(), criticals);
    QCOMPARE(cam.webcamAvailable(), missing != RecordingOutput::Sink);
    QCOMPARE(cam.microphoneAvailable(), missing != RecordingOutput::Microphone);

    // The others work as ever; nothing crashes for the missing one.
    cam.setNdiEnabled(true);
    cam.setPreviewWindow(42);
    const std::vector<uchar> picture = makePicture(16, 16);
    cam.sendStub(picture.data(), 16, 16);
    QVERIFY(sendLiveAndWait(cam, picture, 16, 16, 16));
    cam.setStreamLive(false);
    // The microphone gets the card and no live frame: that one carried no sound.
    const int expected[] = {2, 2, 1, 1};
    for (int target = 0; target < RecordingOutput::kTargets; ++target) {
        QCOMPARE(output.frameCount(Target(target)), target == missing ? 0 : expected[target]);
        QCOMPARE(output.sessionChanges(target), target == missing ? 0 : 1);
    }
}

void OutputRouterTest::liveFrameRecord()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setNdiEnabled(true);
    cam.setPreviewWindow(7);
    const int width = 64, height = 36, stride = 80, samples = 10, channels = 2;
    const std::vector<uchar> picture = makePicture(height, stride);
    std::vector<qint16> audio(samples * channels);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] =
            static_cast<qint16>(i % 2 ? -1000 - static_cast<int>(i) : 1000 + static_cast<int>(i));
    QVERIFY(sendLiveAndWait(cam, picture, width, height, stride, audio.data(), samples, 48000,
                            channels));
    QVERIFY(cam.streamActive());

    // The picture once to each picture backend, without the sound. The caller's buffer was
    // no reference-counted frame: the video-out thread got the one copy the hand-over makes.
    for (Target target : {RecordingOutput::Sink, RecordingOutput::Ndi, RecordingOutput::Preview}) {
        QList<RecordingOutput::Frame> frames = output.frames(target);
        frames.erase(std::remove_if(frames.begin(), frames.end(),
                                    [](const RecordingOutput::Frame &f) { return f.width == 0; }),
                     frames.end());
        QCOMPARE(frames.size(), 1);
        const RecordingOutput::Frame &frame = frames.first();
        QVERIFY(frame.live);
        QCOMPARE(frame.width, width);
        QCOMPARE(frame.height, height);
        QCOMPARE(frame.rowBytes, width);
        QCOMPARE(frame.rateNum, 30); // until a stream tells its rate
        QCOMPARE(frame.rateDen, 1);
        QVERIFY(!frame.audioAdded);
        QCOMPARE(frame.picture, packed(picture, width, height, stride));
        QVERIFY(frame.video != static_cast<const void *>(picture.data()));
    }
    // The sound once to each sound backend, straight from the sender, without a picture.
    for (Target target : {RecordingOutput::Ndi, RecordingOutput::Microphone}) {
        QList<RecordingOutput::Frame> frames = output.frames(target);
        frames.erase(std::remove_if(frames.begin(), frames.end(),
                                    [](const RecordingOutput::Frame &f) { return f.width != 0; }),
                     frames.end());
        QCOMPARE(frames.size(), 1);
        const RecordingOutput::Frame &frame = frames.first();
        QVERIFY(frame.live);
        QCOMPARE(frame.channels, channels);
        QCOMPARE(frame.sampleRate, 48000);
        QVERIFY(frame.audioAdded);
        QCOMPARE(frame.samples, QVector<qint16>(audio.begin(), audio.end()));
    }

    // A reference-counted picture reaches the backends as it is: no copy, its own line size.
    output.clear();
    AVFramePtr counted(av_frame_alloc());
    counted->format = AV_PIX_FMT_YUV420P;
    counted->width = width;
    counted->height = height;
    QVERIFY(av_frame_get_buffer(counted.get(), 0) >= 0);
    OutputFrame frame;
    frame.picture = counted.get();
    const qint64 before = cam.statistics().picturesShown;
    cam.sendFrame(frame);
    QTRY_VERIFY_WITH_TIMEOUT(cam.statistics().picturesShown > before, 5000);
    const RecordingOutput::Frame sink = output.frames(RecordingOutput::Sink).first();
    QCOMPARE(sink.video, static_cast<const void *>(counted->data[0]));
    QCOMPARE(sink.rowBytes, counted->linesize[0]);
}

void OutputRouterTest::audioOnlyWhenComplete_data()
{
    QTest::addColumn<bool>("withBuffer");
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("carried");
    QTest::newRow("complete") << true << 4 << 44100 << 2 << true;
    QTest::newRow("no buffer") << false << 4 << 44100 << 2 << false;
    QTest::newRow("no samples") << true << 0 << 44100 << 2 << false;
    QTest::newRow("no rate") << true << 4 << 0 << 2 << false;
    QTest::newRow("no channels") << true << 4 << 44100 << 0 << false;
    QTest::newRow("negative samples") << true << -4 << 44100 << 2 << false;
}

void OutputRouterTest::audioOnlyWhenComplete()
{
    QFETCH(bool, withBuffer);
    QFETCH(int, samples);
    QFETCH(int, sampleRate);
    QFETCH(int, channels);
    QFETCH(bool, carried);
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(18, 32);
    std::vector<qint16> audio(8, 1234);
    // A complete frame first: what it carried must not linger into the next one.
    QVERIFY(sendLiveAndWait(cam, picture, 32, 18, 32, audio.data(), 4, 48000, 2));
    output.clear();
    QVERIFY(sendLiveAndWait(cam, picture, 32, 18, 32, withBuffer ? audio.data() : nullptr, samples,
                            sampleRate, channels));
    const QList<RecordingOutput::Frame> sound = output.frames(RecordingOutput::Microphone);
    QCOMPARE(sound.size(), carried ? 1 : 0);
    if (carried) {
        QCOMPARE(sound.first().channels, channels);
        QCOMPARE(sound.first().sampleRate, sampleRate);
        QCOMPARE(sound.first().samples.size(), samples * channels);
    }
    // The picture goes out either way, on its own.
    const QList<RecordingOutput::Frame> sink = output.frames(RecordingOutput::Sink);
    QCOMPARE(sink.size(), 1);
    QVERIFY(!sink.first().audioAdded);
    QCOMPARE(sink.first().picture, bytes(picture));
}

void OutputRouterTest::unusablePictureReachesNoBackend_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("a format FFmpeg does not describe") << int(AV_PIX_FMT_NB) + 5;
    // 64 bytes a row where the format needs 192: reading it would run past every row.
    QTest::newRow("rows longer than their line size") << int(AV_PIX_FMT_BGR24);
}

void OutputRouterTest::unusablePictureReachesNoBackend()
{
    QFETCH(int, format);
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setNdiEnabled(true);
    cam.setPreviewWindow(3);
    const std::vector<uchar> picture = makePicture(36, 64);
    sendI420(cam, picture.data(), 64, 36, 64, nullptr, 0, 0, 0, format);
    QVERIFY(sendLiveAndWait(cam, picture, 64, 36, 64));
    // Only the second picture reached the webcam, NDI and the preview.
    QCOMPARE(output.frames().size(), 3);
    QCOMPARE(cam.statistics().picturesShown, qint64(1));
}

void OutputRouterTest::frameRate()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(18, 32);
    const auto lastRate = [&output] {
        const RecordingOutput::Frame frame = output.frames(RecordingOutput::Sink).last();
        return qMakePair(frame.rateNum, frame.rateDen);
    };

    // 29.97 fps stays the exact fraction, not a rounded integer.
    cam.setFrameRate(30000, 1001);
    QVERIFY(sendLiveAndWait(cam, picture, 32, 18, 32));
    QCOMPARE(lastRate(), qMakePair(30000, 1001));
    // Terms that are not positive are ignored; the last good rate stays.
    cam.setFrameRate(0, 1);
    cam.setFrameRate(25, -1);
    QVERIFY(sendLiveAndWait(cam, picture, 32, 18, 32));
    QCOMPARE(lastRate(), qMakePair(30000, 1001));
    cam.setFrameRate(2147483647, 2147483646);
    QVERIFY(sendLiveAndWait(cam, picture, 32, 18, 32));
    QCOMPARE(lastRate(), qMakePair(2147483647, 2147483646));

    // Card frames carry no rate: the card has its own timer.
    cam.setStreamLive(false);
    output.clear();
    cam.sendStub(picture.data(), 32, 18);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    QCOMPARE(lastRate(), qMakePair(0, 0));

    // A rate set from another thread while frames go out is always one of the pairs set.
    std::atomic<bool> stop{false};
    std::thread setter([&cam, &stop] {
        for (int i = 0; !stop.load(); ++i)
            i % 2 ? cam.setFrameRate(60000, 1001) : cam.setFrameRate(25, 1);
    });
    QString torn;
    for (int i = 0; i < 200 && torn.isEmpty(); ++i) {
        output.clear();
        QVERIFY(sendLiveAndWait(cam, picture, 32, 18, 32));
        const QPair<int, int> rate = lastRate();
        if (rate != qMakePair(60000, 1001) && rate != qMakePair(25, 1) &&
            rate != qMakePair(2147483647, 2147483646))
            torn = QStringLiteral("torn rate %1/%2").arg(rate.first).arg(rate.second);
    }
    stop.store(true);
    setter.join();
    QVERIFY2(torn.isEmpty(), qPrintable(torn));
}

void OutputRouterTest::webcamAvailableFollowsTheWebcam()
{
    RecordingOutput output;
    {
        OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
        QVERIFY(cam.webcamAvailable());
        output.setWebcamAvailable(false);
        QVERIFY(!cam.webcamAvailable());
        output.setWebcamAvailable(true);
        QVERIFY(cam.webcamAvailable());
    }
    // No webcam at all is no webcam, whatever a device would say.
    output.failCreate(RecordingOutput::Sink);
    OutputRouter without(QStringLiteral("Quorvix"), nullptr);
    QVERIFY(!without.webcamAvailable());
}

void OutputRouterTest::routing_data()
{
    QTest::addColumn<bool>("ndi");
    QTest::addColumn<bool>("preview");
    QTest::newRow("webcam only") << false << false;
    QTest::newRow("ndi") << true << false;
    QTest::newRow("preview") << false << true;
    QTest::newRow("ndi and preview") << true << true;
}

void OutputRouterTest::routing()
{
    QFETCH(bool, ndi);
    QFETCH(bool, preview);
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setNdiEnabled(ndi);
    QCOMPARE(cam.ndiEnabled(), ndi);
    if (preview)
        cam.setPreviewWindow(99);
    const std::vector<uchar> card = makePicture(16, 16);
    const std::vector<uchar> live = makePicture(18, 32);

    // Card: the webcam and NDI whatever the NDI mode, never the preview; rows packed, no audio.
    cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 0);
    for (const RecordingOutput::Frame &frame : output.frames()) {
        QVERIFY(!frame.live);
        QCOMPARE(frame.width, 16);
        QCOMPARE(frame.height, 16);
        QCOMPARE(frame.rowBytes, 16);
        QCOMPARE(frame.channels, 0);
        QVERIFY(!frame.audioAdded);
        QCOMPARE(frame.picture, bytes(card).left(16 * 16 * 3 / 2));
    }

    // Live: the webcam, NDI while on, the preview while attached; once each.
    output.clear();
    QVERIFY(sendLiveAndWait(cam, live, 32, 18, 32));
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), ndi ? 1 : 0);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), preview ? 1 : 0);
    for (const RecordingOutput::Frame &frame : output.frames()) {
        QVERIFY(frame.live);
        QCOMPARE(frame.checksum, RecordingOutput::checksum(live.data(), qint64(live.size())));
    }

    // NDI mode flipped: live frames follow it from the next frame.
    output.clear();
    cam.setNdiEnabled(!ndi);
    QVERIFY(sendLiveAndWait(cam, live, 32, 18, 32));
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), ndi ? 0 : 1);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
}

void OutputRouterTest::microphone()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QCOMPARE(output.backendsAlive(), 4);
    const std::vector<uchar> picture = makePicture(16, 16);
    std::vector<qint16> audio(2 * 160);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<qint16>(i * 100 - 16000);
    cam.sendStub(picture.data(), 16, 16);
    sendI420(cam, picture.data(), 16, 16, 16, audio.data(), 160, 48000, 2);
    cam.setStreamLive(false);
    const QList<RecordingOutput::Frame> frames = output.frames(RecordingOutput::Microphone);
    QCOMPARE(frames.size(), 2);
    QVERIFY(!frames[0].live);
    QVERIFY(!frames[0].audioAdded);
    QVERIFY(frames[1].live);
    QCOMPARE(frames[1].samples, QVector<qint16>(audio.begin(), audio.end()));
    QCOMPARE(frames[1].sampleRate, 48000);
    QCOMPARE(output.sessionChanges(RecordingOutput::Microphone), 1);

    // On and off, and its state, go straight through to the backend.
    cam.setMicrophoneEnabled(false);
    cam.setMicrophoneEnabled(true);
    QCOMPARE(output.microphoneSwitches(), (QList<bool>{false, true}));
    QVERIFY(cam.microphoneAvailable());
    QVERIFY(cam.microphoneUnavailableReason().isEmpty());
    output.setMicrophoneAvailable(false, QStringLiteral("no sound server"));
    QVERIFY(!cam.microphoneAvailable());
    QCOMPARE(cam.microphoneUnavailableReason(), QStringLiteral("no sound server"));

    // Without a microphone backend: never available, and no reason to show.
    output.failCreate(RecordingOutput::Microphone);
    OutputRouter without(QStringLiteral("Quorvix"), nullptr);
    without.setMicrophoneEnabled(true);
    QVERIFY(!without.microphoneAvailable());
    QVERIFY(without.microphoneUnavailableReason().isEmpty());
    QCOMPARE(output.microphoneSwitches().size(), 2);
}

void OutputRouterTest::throwingBackendDoesNotStopOthers_data()
{
    QTest::addColumn<int>("target");
    QTest::newRow("webcam throws") << int(RecordingOutput::Sink);
    QTest::newRow("ndi throws") << int(RecordingOutput::Ndi);
    QTest::newRow("preview throws") << int(RecordingOutput::Preview);
    QTest::newRow("microphone throws") << int(RecordingOutput::Microphone);
}

void OutputRouterTest::throwingBackendDoesNotStopOthers()
{
    QFETCH(int, target);
    LogCapture log;
    RecordingOutput output;
    output.setPutBehaviour(Target(target), RecordingOutput::PutThrows);
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setNdiEnabled(true);
    cam.setPreviewWindow(5);
    const std::vector<uchar> picture = makePicture(16, 16);
    const std::vector<qint16> audio(2 * 32, 100);

    // Every backend gets every frame meant for it, the thrower included, over and over: per
    // round a card, a picture (video-out thread) and its sound (the sender's thread).
    for (int round = 0; round < 2; ++round) {
        cam.sendStub(picture.data(), 16, 16);
        QVERIFY(sendLiveAndWait(cam, picture, 16, 16, 16, audio.data(), 32, 48000, 2));
        cam.setStreamLive(false);
    }
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 4);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 6);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 2);
    QCOMPARE(output.frameCount(RecordingOutput::Microphone), 4);
    for (int t = 0; t < RecordingOutput::kTargets; ++t)
        QCOMPARE(output.sessionChanges(t), 2);
    QVERIFY(!cam.streamActive());
    QCOMPARE(output.backendsAlive(), 4);
}

void OutputRouterTest::cardHeldBackWhileStreamLive()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setNdiEnabled(true);
    const std::vector<uchar> card = makePicture(16, 16);
    const std::vector<uchar> live = makePicture(18, 32);
    cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    QVERIFY(sendLiveAndWait(cam, live, 32, 18, 32));
    QVERIFY(cam.streamActive());
    for (int i = 0; i < 3; ++i)
        cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 2);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 2);

    // The last session left: the card is back on every backend it goes to.
    cam.setStreamLive(false);
    QVERIFY(!cam.streamActive());
    cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 3);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 3);
    QVERIFY(!output.frames(RecordingOutput::Sink).last().live);
    QCOMPARE(output.frames(RecordingOutput::Sink).last().width, 16);

    // A session taking the output holds the card back before its first frame arrives.
    cam.setStreamLive(true);
    QVERIFY(cam.streamActive());
    cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 3);
}

void OutputRouterTest::sessionChangeReachesEveryBackend()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setStreamLive(true);
    for (int target = 0; target < RecordingOutput::kTargets; ++target)
        QCOMPARE(output.sessionChanges(target), 1);
    // Another session takes over, then the last one leaves: each is a change.
    cam.setStreamLive(true);
    cam.setStreamLive(false);
    for (int target = 0; target < RecordingOutput::kTargets; ++target)
        QCOMPARE(output.sessionChanges(target), 3);
    // Whatever NDI mode and preview say: the change is about what a backend still holds.
    QVERIFY(!cam.ndiEnabled());
    QVERIFY(!cam.previewEnabled());
    QVERIFY(output.frames().isEmpty());
}

void OutputRouterTest::previewWindowSwitching()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(16, 16);

    cam.setPreviewWindow(0);
    QVERIFY(output.attachedWindows().isEmpty());
    QVERIFY(!cam.previewEnabled());

    cam.setPreviewWindow(77);
    QCOMPARE(output.attachedWindows(), QList<quintptr>{77});
    QVERIFY(cam.previewEnabled());
    QVERIFY(sendLiveAndWait(cam, picture, 16, 16, 16));
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 1);

    // Off: the backend is not asked anything, and gets no more frames.
    cam.setPreviewWindow(0);
    QCOMPARE(output.attachedWindows(), QList<quintptr>{77});
    QVERIFY(!cam.previewEnabled());
    QVERIFY(sendLiveAndWait(cam, picture, 16, 16, 16));
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 2);

    // On again, in another window: attached to that one.
    cam.setPreviewWindow(78);
    QCOMPARE(output.attachedWindows(), (QList<quintptr>{77, 78}));
    QVERIFY(sendLiveAndWait(cam, picture, 16, 16, 16));
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 2);
}

void OutputRouterTest::cardNeverWaits()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> card = makePicture(16, 16);
    const std::vector<uchar> live = makePicture(18, 32);

    // A card frame under way (a slow webcam write): the next card is dropped at once, a live
    // frame's sender returns at once too, and its picture goes out after the card.
    output.holdPuts(RecordingOutput::Sink);
    std::thread cardTimer([&] { cam.sendStub(card.data(), 16, 16); });
    QVERIFY(output.waitForHeldPut());
    std::atomic<bool> secondCardReturned{false};
    std::thread secondCard([&] {
        cam.sendStub(card.data(), 16, 16);
        secondCardReturned.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(secondCardReturned.load(), 5000);
    secondCard.join();
    std::atomic<bool> liveReturned{false};
    std::thread delivery([&] {
        sendI420(cam, live.data(), 32, 18, 32);
        liveReturned.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(liveReturned.load(), 5000);
    delivery.join();
    QCOMPARE(output.frames().size(), 0);
    output.releaseHeldPuts();
    cardTimer.join();
    QVERIFY(output.waitForFrames(2, 5000, RecordingOutput::Sink));
    QList<RecordingOutput::Frame> sink = output.frames(RecordingOutput::Sink);
    QCOMPARE(sink.size(), 2);
    QVERIFY(!sink[0].live);
    QVERIFY(sink[1].live);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 1); // the held card's, after the webcam

    // A live picture under way on the video-out thread: a card sent meanwhile returns at once
    // and goes nowhere.
    output.clear();
    cam.setStreamLive(false);
    output.holdPuts(RecordingOutput::Sink);
    sendI420(cam, live.data(), 32, 18, 32);
    QVERIFY(output.waitForHeldPut());
    std::atomic<bool> cardReturned{false};
    std::thread lateCard([&] {
        cam.sendStub(card.data(), 16, 16);
        cardReturned.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(cardReturned.load(), 5000);
    lateCard.join();
    output.releaseHeldPuts();
    QTRY_COMPARE_WITH_TIMEOUT(cam.statistics().picturesShown, qint64(2), 5000);
    sink = output.frames(RecordingOutput::Sink);
    QCOMPARE(sink.size(), 1);
    QVERIFY(sink[0].live);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 0);
}

void OutputRouterTest::destructionWaitsForSendUnderWay()
{
    RecordingOutput output;
    output.holdPuts(RecordingOutput::Sink);
    auto *cam = new OutputRouter(QStringLiteral("Quorvix"), nullptr);
    cam->setNdiEnabled(true);
    const std::vector<uchar> picture = makePicture(16, 16);
    const std::vector<uchar> next = makePicture(16, 16);
    const std::vector<qint16> audio(2 * 32, 7);

    // One picture held inside the webcam's put, the next waiting in the mailbox.
    sendI420(*cam, picture.data(), 16, 16, 16, audio.data(), 32, 48000, 2);
    QVERIFY(output.waitForHeldPut());
    sendI420(*cam, next.data(), 16, 16, 16);
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        delete cam;
        destroyed = true;
    });
    // Whatever the destroyer has reached, no backend goes while the webcam's put is held.
    QCOMPARE(output.backendsAlive(), 4);
    QVERIFY(!destroyed.load());
    output.releaseHeldPuts();
    destroyer.join();

    // The picture under way was finished on every picture backend before they went (the one
    // waiting may have gone out too, if the destroyer came late: whole, then).
    const int pictures = output.frameCount(RecordingOutput::Sink);
    QVERIFY(pictures == 1 || pictures == 2);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), pictures + 1); // and the first one's sound
    QCOMPARE(output.frameCount(RecordingOutput::Microphone), 1);
    QCOMPARE(output.destroyedWhileBusy(), 0);
    QCOMPARE(output.backendsAlive(), 0);
}

void OutputRouterTest::cardComesFromTheVideoOutThread()
{
    RecordingOutput output;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    cam.setPreviewWindow(9);
    std::vector<uchar> card = makePicture(16, 16);
    card.resize(16 * 16 * 3 / 2);
    cam.setCard(card.data(), 16, 16);
    // The caller's buffer is free once setCard returns: the router sends its own copy.
    const QByteArray sent = bytes(card);
    std::fill(card.begin(), card.end(), uchar(0));

    // Nobody sends: the card goes out at its interval, to the webcam, NDI and the microphone.
    QVERIFY(output.waitForFrames(3, 5000, RecordingOutput::Sink));
    QVERIFY(output.waitForFrames(3, 5000, RecordingOutput::Ndi));
    QVERIFY(output.waitForFrames(3, 5000, RecordingOutput::Microphone));
    const QList<RecordingOutput::Frame> sink = output.frames(RecordingOutput::Sink);
    for (int i = 0; i < sink.size(); ++i) {
        QVERIFY(!sink[i].live);
        QCOMPARE(sink[i].width, 16);
        QCOMPARE(sink[i].picture, sent);
        if (i > 0) // an interval apart, give or take a busy machine's lateness
            QVERIFY2(sink[i].putMs - sink[i - 1].putMs >= OutputRouter::kCardIntervalMs / 2,
                     qPrintable(QString::number(sink[i].putMs - sink[i - 1].putMs)));
    }
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 0);

    // A live session holds the card back; when it leaves, the card returns.
    cam.setStreamLive(true);
    const int held = output.frameCount(RecordingOutput::Sink);
    QTest::qWait(3 * OutputRouter::kCardIntervalMs); // nothing to wait for: the card must not come
    // At most one tick was already under way when the session took the output.
    QVERIFY(output.frameCount(RecordingOutput::Sink) <= held + 1);
    const int beforeLeaving = output.frameCount(RecordingOutput::Sink);
    cam.setStreamLive(false);
    QVERIFY(output.waitForFrames(beforeLeaving + 1, 5000, RecordingOutput::Sink));

    // A new card replaces the old from the next tick; no card stops them.
    const std::vector<uchar> larger = makePicture(18, 32);
    cam.setCard(larger.data(), 32, 18);
    QTRY_COMPARE_WITH_TIMEOUT(output.frames(RecordingOutput::Sink).last().width, 32, 5000);
    QCOMPARE(output.frames(RecordingOutput::Sink).last().picture,
             bytes(larger).left(32 * 18 * 3 / 2));
    cam.setCard(nullptr, 0, 0);
    QTest::qWait(OutputRouter::kCardIntervalMs);
    const int afterRemoval = output.frameCount(RecordingOutput::Sink);
    QTest::qWait(3 * OutputRouter::kCardIntervalMs);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), afterRemoval);
}

QTEST_MAIN(OutputRouterTest)
#include "tst_outputrouter.moc"
