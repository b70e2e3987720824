// An SRT camera behind a lossy path (2 % of the datagrams dropped each way, seeded): libsrt
// sends the lost packets again inside the latency window, so the webcam's picture goes on
// without a stall. The figures (longest time without a new picture, packets lost and
// retransmitted) are printed.
#include "../listener/ListenerFixtures.h"

#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/LossyUdpRelay.h"
#include "support/RecordingOutput.h"

#include <QtTest>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
constexpr int kMeasuredFrames = 240; // 8 s at 30 fps
constexpr qint64 kMaxGapMs = 200;

// Longest time between two puts whose pictures differ (testsrc2 changes every frame), and
// how many puts repeated the picture before.
qint64 longestStall(const QList<RecordingOutput::Frame> &frames, int &repeats)
{
    qint64 longest = 0;
    repeats = 0;
    for (int i = 1, changedAt = 0; i < frames.size(); ++i) {
        if (frames.at(i).checksum == frames.at(changedAt).checksum) {
            ++repeats;
            continue;
        }
        longest = qMax(longest, frames.at(i).putMs - frames.at(changedAt).putMs);
        changedAt = i;
    }
    return longest;
}

} // namespace

class SrtLossTest : public QObject
{
    Q_OBJECT

private slots:
    void twoPercentLossCausesNoStall();
};

void SrtLossTest::twoPercentLossCausesNoStall()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    TestWindow window;
    TestServer server(&cam, &window);
    SrtOptions options;
    options.port = FreePort::udpLoopback();
    options.latencyMs = 120;
    server.setSrtOptions(options);
    QVERIFY(server.startListening(QHostAddress::LocalHost, FreePort::loopback()));
    QVERIFY(server.srtListening());
    QTRY_COMPARE_WITH_TIMEOUT(server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers,
                              kReadyTimeoutMs);

    LossyUdpRelay path(options.port, 0.02, 2026);
    const quint16 pathPort = path.start();
    QVERIFY(pathPort != 0);
    FfmpegPublisher::Options publish;
    publish.size = QSize(320, 240);
    publish.durationS = 0;
    publish.srt = true;
    FfmpegPublisher publisher(publish);
    QVERIFY(publisher.start(pathPort));
    QTRY_VERIFY_WITH_TIMEOUT(window.states.contains(QStringLiteral("320x240 30fps")),
                             kStreamTimeoutMs);
    // Past the start-up (buffers fill, the first GOP), then measure.
    QVERIFY(output.waitForFrames(30, kStreamTimeoutMs, RecordingOutput::Sink));
    output.clear();
    QVERIFY(output.waitForFrames(kMeasuredFrames, kStreamTimeoutMs, RecordingOutput::Sink));
    const QList<RecordingOutput::Frame> frames = output.frames(RecordingOutput::Sink);
    SrtRelay::LinkStats link;
    QVERIFY(server.srtStats(link));
    int repeats = 0;
    const qint64 stall = longestStall(frames, repeats);
    qInfo("SRT, 2%% loss: %lld datagrams dropped of %lld; receiver lost %lld, retransmitted "
          "%lld, dropped %lld; longest time without a new picture %lld ms over %d puts, "
          "%d repeated",
          path.dropped(), path.dropped() + path.passed(), link.lost, link.retransmitted,
          link.dropped, stall, int(frames.size()), repeats);
    // The path did lose, and SRT repaired it.
    QVERIFY(path.dropped() > 20);
    QVERIFY(link.lost > 0);
    QVERIFY(link.retransmitted > 0);
    QVERIFY2(stall <= kMaxGapMs, qPrintable(QStringLiteral("stall of %1 ms").arg(stall)));
    publisher.stop();
    path.stop();
}

QTEST_MAIN(SrtLossTest)
#include "tst_srt_loss.moc"
