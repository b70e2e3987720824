// One camera's figures from the stand-in webcams' writes: which writes count as its pictures
// in the window and the wire -> webcam latency each gets.
#include "bench/CameraLatency.h"

#include <QtTest>

using Write = bench::StampReadingWebcams::Write;
using Writes = std::vector<Write>;
Q_DECLARE_METATYPE(Writes)

namespace {

constexpr unsigned kId = 1;
constexpr qint64 kOriginUs = 1000000000; // the replay's clock start
constexpr qint64 kFrameUs = 33333;
// A picture's stamped send time: when it was encoded, long before the replay.
constexpr int64_t kEncodedUs = 5000000;
constexpr qint64 kAll = 0;
constexpr qint64 kNever = INT64_MAX;

// Frames 0..9, each due one frame after the previous one.
bench::ReplayIndex tenFrames()
{
    bench::ReplayIndex index;
    for (uint32_t f = 0; f < 10; ++f)
        index.frames[f] = {kEncodedUs + f * kFrameUs, (f + 1) * kFrameUs};
    return index;
}

// Frame `frame` written to `device` `latencyMs` after its wire time.
Write writeOf(uint32_t frame, int device, double latencyMs, unsigned id = kId)
{
    const int64_t wireUs = kOriginUs + (frame + 1) * kFrameUs;
    // The stamp resolves the send time against the reader's clock: another period of the
    // 28-bit time, the same low bits.
    const int64_t readSendUs = kEncodedUs + frame * kFrameUs + (int64_t(3) << stamp::kTimeBits);
    return Write{device, id, frame, readSendUs, wireUs + int64_t(latencyMs * 1000)};
}

} // namespace

class TestCameraLatency : public QObject
{
    Q_OBJECT

private slots:
    void figures_data();
    void figures();
};

void TestCameraLatency::figures_data()
{
    QTest::addColumn<Writes>("writes");
    QTest::addColumn<qint64>("fromUs"); // the window
    QTest::addColumn<qint64>("toUs");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<int>("device");
    QTest::addColumn<double>("medianMs");
    QTest::addColumn<double>("p95Ms");

    QTest::newRow("steady") << Writes{writeOf(0, 0, 50), writeOf(1, 0, 60), writeOf(2, 0, 70)}
                            << kAll << kNever << 3 << 0 << 60.0 << 70.0;
    // A picture written again (a repeat) is timed at its first write only.
    QTest::newRow("repeat") << Writes{writeOf(0, 1, 50), writeOf(0, 1, 90), writeOf(1, 1, 50)}
                            << kAll << kNever << 2 << 1 << 50.0 << 50.0;
    // Another camera's pictures, a frame the index does not list and a stamp whose time
    // bits differ from the logged ones (another stream) are none of this camera's.
    Write otherStream = writeOf(2, 0, 10);
    otherStream.sendUs += 1;
    QTest::newRow("not this camera's")
        << Writes{writeOf(0, 0, 40), writeOf(1, 0, 5, 2), writeOf(42, 0, 5), otherStream} << kAll
        << kNever << 1 << 0 << 40.0 << 40.0;
    // The window runs from frame 1's wire time to 100 ms after frame 8's, both ends in.
    QTest::newRow("window") << Writes{writeOf(0, 0, 20), writeOf(1, 0, 30), writeOf(2, 0, 30),
                                      writeOf(8, 0, 100), writeOf(9, 0, 80)}
                            << kOriginUs + 2 * kFrameUs << kOriginUs + 9 * kFrameUs + 100000 << 3
                            << 0 << 30.0 << 100.0;
    // Most of its pictures went to the second webcam.
    QTest::newRow("device") << Writes{writeOf(0, 0, 50), writeOf(1, 1, 50), writeOf(2, 1, 50)}
                            << kAll << kNever << 3 << 1 << 50.0 << 50.0;
    QTest::newRow("none") << Writes{writeOf(0, 0, 50, 2)} << kAll << kNever << 0 << -1 << qQNaN()
                          << qQNaN();
}

void TestCameraLatency::figures()
{
    QFETCH(Writes, writes);
    QFETCH(int, pictures);
    QFETCH(int, device);
    QFETCH(double, medianMs);
    QFETCH(double, p95Ms);
    QFETCH(qint64, fromUs);
    QFETCH(qint64, toUs);
    const bench::CameraFigures f =
        bench::cameraFigures(writes, kId, tenFrames(), kOriginUs, fromUs, toUs);
    QCOMPARE(f.pictures, pictures);
    QCOMPARE(f.device, device);
    if (std::isnan(medianMs)) {
        QVERIFY(std::isnan(f.medianMs) && std::isnan(f.p95Ms));
        return;
    }
    QCOMPARE(f.medianMs, medianMs);
    QCOMPARE(f.p95Ms, p95Ms);
}

QTEST_APPLESS_MAIN(TestCameraLatency)
#include "tst_cameralatency.moc"
