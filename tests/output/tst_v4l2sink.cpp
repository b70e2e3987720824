// The v4l2loopback sink at its system-call seam: device discovery, the one output format,
// scaling with aspect kept, a module loaded after start and a device that goes away.

#include "FakeV4l2Io.h"
#include "I420Picture.h"
#include "LogCapture.h"
#include "output/FrameFactory.h"
#include "output/V4l2Sink.h"

#include <QtTest>

#include <cstdlib>

namespace {

constexpr int kProbeMs = 20;
constexpr qint64 k720pBytes = 1280 * 720 * 3 / 2;

FakeV4l2Io::Device plainDevice(const QByteArray &driver, const QByteArray &card, quint32 caps)
{
    FakeV4l2Io::Device device;
    device.driver = driver;
    device.card = card;
    device.capabilities = caps;
    return device;
}

} // namespace

class TestV4l2Sink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void discoveryPrefersProductLabel();
    void discoveryTakesFirstLoopbackOutput();
    void discoverySkipsDevicesWithoutOutput();
    void fixedDeviceFromEnvironment();
    void formatSetOnceForAllInputSizes();
    void scaledPictureKeepsContent();
    void otherAspectGetsBlackBars();
    void paddedRowsAreRepacked();
    void sizeFromEnvironment_data();
    void sizeFromEnvironment();
    void moduleLoadedAfterStart();
    void deviceGoneIsSurvived();
    void refusedFormatLeavesDeviceUnused();
    void unusableFramesAreDropped();

private:
    MFPtr<V4l2Sink> makeSink();
    int put(const I420Picture &picture, int wait = -1, qint32 fcc = kMfFccI420);

    std::shared_ptr<FakeV4l2Io> m_io;
    MFPtr<V4l2Sink> m_sink;
    MFPtr<FrameFactory> m_factory;
};

void TestV4l2Sink::init()
{
    qunsetenv("QUORVIX_VCAM_DEVICE");
    qunsetenv("QUORVIX_VCAM_SIZE");
    qunsetenv("QUORVIX_VCAM_TAP");
    m_io = std::make_shared<FakeV4l2Io>();
    m_factory = mfMake<FrameFactory>();
}

void TestV4l2Sink::cleanup()
{
    m_sink.reset();
    if (m_io)
        QCOMPARE(m_io->openDescriptors(), 0);
    m_io.reset();
    m_factory.reset();
}

MFPtr<V4l2Sink> TestV4l2Sink::makeSink()
{
    m_sink = mfMake<V4l2Sink>(m_io, kProbeMs);
    if (m_sink->init(QStringLiteral("Quorvix"), QStringLiteral("Quorvix"), 0) < 0)
        return {};
    return m_sink;
}

int TestV4l2Sink::put(const I420Picture &picture, int wait, qint32 fcc)
{
    MFFrameProps props{};
    props.video.fcc = fcc;
    props.video.width = picture.width;
    props.video.height = picture.height;
    props.video.rowBytes = picture.stride;
    MFPtr<IMFFrame> frame;
    m_factory->createFromMemory(&props, picture.data.data(), 0, 0, frame.put(), QString());
    return m_sink->putFrame(frame.get(), wait, QString());
}

void TestV4l2Sink::discoveryPrefersProductLabel()
{
    m_io->addDevice("/dev/video0",
                    plainDevice("uvcvideo", "Integrated Camera", V4L2_CAP_VIDEO_CAPTURE));
    m_io->addLoopback("/dev/video1", "Dummy video device (0x0000)");
    FakeV4l2Io::Device held =
        plainDevice("v4l2 loopback", "Quorvix",
                    V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS);
    held.deviceCaps = V4L2_CAP_VIDEO_CAPTURE; // another producer holds it (exclusive_caps=1)
    m_io->addDevice("/dev/video2", held);
    m_io->addLoopback("/dev/video3", "Quorvix");
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video3"));
    QCOMPARE(m_io->openDescriptors(), 1);
    QCOMPARE(m_io->device("/dev/video3").formatCalls, 1);
    QCOMPARE(m_io->device("/dev/video1").formatCalls, 0);
}

void TestV4l2Sink::discoveryTakesFirstLoopbackOutput()
{
    m_io->addDevice("/dev/video0", plainDevice("uvcvideo", "Quorvix", V4L2_CAP_VIDEO_OUTPUT));
    m_io->addLoopback("/dev/video4", "Dummy video device (0x0000)");
    m_io->addLoopback("/dev/video5", "OBS Virtual Camera");
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video4"));
    QCOMPARE(m_io->openDescriptors(), 1);
}

void TestV4l2Sink::discoverySkipsDevicesWithoutOutput()
{
    LogCapture log;
    FakeV4l2Io::Device held =
        plainDevice("v4l2 loopback", "Quorvix", V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_DEVICE_CAPS);
    held.deviceCaps = V4L2_CAP_VIDEO_CAPTURE;
    m_io->addDevice("/dev/video0", held);
    m_io->addDevice("/dev/video1",
                    plainDevice("v4l2 loopback", "Capture only", V4L2_CAP_VIDEO_CAPTURE));
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->openDescriptors(), 0);
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 1);
    QCOMPARE(log.count(QStringLiteral("modprobe v4l2loopback card_label=Quorvix exclusive_caps=1")),
             1);

    // An older driver without per-device caps that offers output is fine.
    m_io->addDevice("/dev/video2", plainDevice("v4l2 loopback", "Old", V4L2_CAP_VIDEO_OUTPUT));
    I420Picture picture(1280, 720);
    picture.solid(100, 110, 120);
    QTRY_VERIFY((put(picture), m_sink->devicePath() == QStringLiteral("/dev/video2")));
}

void TestV4l2Sink::fixedDeviceFromEnvironment()
{
    LogCapture log;
    m_io->addLoopback("/dev/video3", "Quorvix");
    m_io->addDevice("/dev/video9",
                    plainDevice("other driver", "Some output", V4L2_CAP_VIDEO_OUTPUT));
    qputenv("QUORVIX_VCAM_DEVICE", "/dev/video9");
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video9"));
    QCOMPARE(m_io->device("/dev/video3").opens, 0);
    m_sink.reset();

    // A named device that is absent is not replaced by another one.
    qputenv("QUORVIX_VCAM_DEVICE", "/dev/video42");
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->device("/dev/video3").opens, 0);
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback output device at /dev/video42")), 1);
}

void TestV4l2Sink::formatSetOnceForAllInputSizes()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    const QSize sizes[] = {{1920, 1080}, {640, 480}, {1280, 720}, {720, 1280}, {1920, 1080}};
    for (const QSize &size : sizes) {
        I420Picture picture(size.width(), size.height());
        picture.solid(60, 100, 150);
        QCOMPARE(put(picture), kMfOk);
        QCOMPARE(m_io->device("/dev/video0").lastWriteBytes, k720pBytes);
    }
    const FakeV4l2Io::Device device = m_io->device("/dev/video0");
    QCOMPARE(device.formatCalls, 1);
    QCOMPARE(device.format.type, quint32(V4L2_BUF_TYPE_VIDEO_OUTPUT));
    QCOMPARE(device.format.fmt.pix.pixelformat, quint32(V4L2_PIX_FMT_YUV420));
    QCOMPARE(device.format.fmt.pix.width, 1280u);
    QCOMPARE(device.format.fmt.pix.height, 720u);
    QCOMPARE(device.format.fmt.pix.bytesperline, 1280u);
    QCOMPARE(device.format.fmt.pix.sizeimage, quint32(k720pBytes));
    QCOMPARE(device.parmCalls, 1);
    QCOMPARE(device.parm.parm.output.timeperframe.numerator, 1u);
    QCOMPARE(device.parm.parm.output.timeperframe.denominator, 30u);
    QCOMPARE(device.framesWritten, 5);
    QCOMPARE(device.opens, 1);
}

void TestV4l2Sink::scaledPictureKeepsContent()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    // 1080p: left half dark, right half bright; top chroma half differs from the bottom.
    I420Picture picture(1920, 1080);
    picture.fill([](int x, int) { return x < 960 ? 50 : 200; },
                 [](int, int y) { return y < 270 ? 90 : 160; },
                 [](int x, int) { return x < 480 ? 60 : 190; });
    QCOMPARE(put(picture), kMfOk);
    const QByteArray frame = m_io->device("/dev/video0").lastFrame;
    QCOMPARE(frame.size(), int(k720pBytes));
    const PackedI420 out{reinterpret_cast<const uchar *>(frame.constData()), 1280, 720};
    for (int y : {0, 100, 359, 500, 719}) {
        for (int x : {0, 300, 630}) {
            QVERIFY2(qAbs(out.y(x, y) - 50) <= 2,
                     qPrintable(QString("Y(%1,%2)=%3").arg(x).arg(y).arg(out.y(x, y))));
        }
        for (int x : {650, 1000, 1279})
            QVERIFY2(qAbs(out.y(x, y) - 200) <= 2,
                     qPrintable(QString("Y(%1,%2)=%3").arg(x).arg(y).arg(out.y(x, y))));
    }
    QVERIFY(qAbs(out.u(100, 20) - 90) <= 2);
    QVERIFY(qAbs(out.u(100, 340) - 160) <= 2);
    QVERIFY(qAbs(out.v(50, 100) - 60) <= 2);
    QVERIFY(qAbs(out.v(500, 100) - 190) <= 2);
}

void TestV4l2Sink::otherAspectGetsBlackBars()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    // 4:3 into 16:9: 960x720 in the middle, 160-pixel black bars left and right.
    I420Picture picture(640, 480);
    picture.solid(180, 40, 220);
    QCOMPARE(put(picture), kMfOk);
    QByteArray frame = m_io->device("/dev/video0").lastFrame;
    PackedI420 out{reinterpret_cast<const uchar *>(frame.constData()), 1280, 720};
    for (int y : {0, 360, 719}) {
        for (int x : {0, 100, 157, 1122, 1279})
            QCOMPARE(out.y(x, y), 16);
        for (int x : {162, 640, 1117})
            QVERIFY(qAbs(out.y(x, y) - 180) <= 2);
    }
    QCOMPARE(out.u(10, 100), 128);
    QCOMPARE(out.v(630, 100), 128);
    QVERIFY(qAbs(out.u(320, 100) - 40) <= 2);
    QVERIFY(qAbs(out.v(320, 100) - 220) <= 2);

    // Portrait next: bars move to wider sides, nothing of the previous picture remains.
    I420Picture portrait(720, 1280);
    portrait.solid(120, 128, 128);
    QCOMPARE(put(portrait), kMfOk);
    frame = m_io->device("/dev/video0").lastFrame;
    out.base = reinterpret_cast<const uchar *>(frame.constData());
    QCOMPARE(out.y(300, 360), 16);
    QCOMPARE(out.y(980, 360), 16);
    QVERIFY(qAbs(out.y(640, 360) - 120) <= 2);
    QCOMPARE(out.u(160, 100), 128);
}

void TestV4l2Sink::paddedRowsAreRepacked()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    I420Picture picture(1280, 720, 1344);
    picture.fill([](int x, int y) { return (x + y) & 0xFF; }, [](int x, int) { return x & 0x7F; },
                 [](int, int y) { return 64 + (y & 0x3F); });
    QCOMPARE(put(picture), kMfOk);
    const QByteArray frame = m_io->device("/dev/video0").lastFrame;
    const PackedI420 out{reinterpret_cast<const uchar *>(frame.constData()), 1280, 720};
    for (int y = 0; y < 720; y += 37)
        for (int x = 0; x < 1280; x += 53)
            QCOMPARE(out.y(x, y), (x + y) & 0xFF);
    for (int y = 0; y < 360; y += 29)
        for (int x = 0; x < 640; x += 31) {
            QCOMPARE(out.u(x, y), x & 0x7F);
            QCOMPARE(out.v(x, y), 64 + (y & 0x3F));
        }
    QVERIFY(!frame.contains(QByteArray(16, char(0xEE))));
}

void TestV4l2Sink::sizeFromEnvironment_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("warned");
    QTest::newRow("640x360") << QByteArray("640x360") << 640 << 360 << false;
    QTest::newRow("1920x1080") << QByteArray("1920x1080") << 1920 << 1080 << false;
    QTest::newRow("odd") << QByteArray("641x360") << 1280 << 720 << true;
    QTest::newRow("garbage") << QByteArray("big") << 1280 << 720 << true;
    QTest::newRow("huge") << QByteArray("99999x99999") << 1280 << 720 << true;
}

void TestV4l2Sink::sizeFromEnvironment()
{
    QFETCH(QByteArray, value);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, warned);
    LogCapture log;
    qputenv("QUORVIX_VCAM_SIZE", value);
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    QCOMPARE(log.count(QStringLiteral("ignoring QUORVIX_VCAM_SIZE")), warned ? 1 : 0);
    QCOMPARE(m_sink->outputWidth(), width);
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.width, quint32(width));
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.height, quint32(height));
    I420Picture picture(1280, 720);
    picture.solid(81, 90, 240);
    QCOMPARE(put(picture), kMfOk);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes, qint64(width) * height * 3 / 2);
}

void TestV4l2Sink::moduleLoadedAfterStart()
{
    LogCapture log;
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    I420Picture picture(1920, 1080);
    picture.solid(150, 60, 70);
    // Several probes go by without a device: one log line only.
    QElapsedTimer timer;
    timer.start();
    int probes = 0;
    while (timer.elapsed() < 5 * kProbeMs || probes < 20) {
        QCOMPARE(put(picture), kMfOk);
        ++probes;
        QTest::qWait(1);
    }
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 1);

    m_io->addLoopback("/dev/video7", "Quorvix");
    QTRY_VERIFY((put(picture), m_io->device("/dev/video7").framesWritten > 0));
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video7"));
    QCOMPARE(log.count(QStringLiteral("virtual camera started: /dev/video7 1280x720 I420")), 1);
    const QByteArray frame = m_io->device("/dev/video7").lastFrame;
    const PackedI420 out{reinterpret_cast<const uchar *>(frame.constData()), 1280, 720};
    QVERIFY(qAbs(out.y(640, 360) - 150) <= 2);
    QVERIFY(qAbs(out.u(320, 180) - 60) <= 2);
}

void TestV4l2Sink::deviceGoneIsSurvived()
{
    LogCapture log;
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    I420Picture picture(1280, 720);
    picture.solid(100, 100, 100);
    QCOMPARE(put(picture), kMfOk);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 1);

    m_io->removeDevice("/dev/video0");
    for (int i = 0; i < 20; ++i)
        QCOMPARE(put(picture), kMfOk);
    QCOMPARE(log.count(QStringLiteral("virtual camera device lost: /dev/video0")), 1);
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 0);
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->openDescriptors(), 0);
    QVERIFY(m_sink->framesDropped() >= 1);

    // It comes back (module reloaded): found again, format set on the new descriptor.
    m_io->addLoopback("/dev/video0", "Quorvix");
    QTRY_VERIFY((put(picture), m_io->device("/dev/video0").framesWritten > 0));
    QCOMPARE(m_io->device("/dev/video0").formatCalls, 1);
    QCOMPARE(log.count(QStringLiteral("virtual camera device lost")), 1);
}

void TestV4l2Sink::refusedFormatLeavesDeviceUnused()
{
    LogCapture log;
    FakeV4l2Io::Device busy = plainDevice("v4l2 loopback", "Quorvix", V4L2_CAP_VIDEO_OUTPUT);
    busy.forcedWidth = 640;
    busy.forcedHeight = 480;
    m_io->addDevice("/dev/video0", busy);
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->openDescriptors(), 0);
    QCOMPARE(log.count(QStringLiteral("device refused the format")), 1);
    I420Picture picture(1280, 720);
    picture.solid(1, 2, 3);
    QCOMPARE(put(picture), kMfOk);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 0);
}

void TestV4l2Sink::unusableFramesAreDropped()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    I420Picture picture(1280, 720);
    picture.solid(1, 2, 3);
    QVERIFY(put(picture, -1, 0) < 0); // not I420
    I420Picture narrow(1280, 720, 1280);
    narrow.stride = 640; // row length shorter than a row
    QVERIFY(put(narrow) < 0);
    QCOMPARE(m_sink->putFrame(nullptr, -1, QString()), kMfPointer);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 0);
    QCOMPARE(m_sink->framesDropped(), 2);
    QCOMPARE(put(picture), kMfOk);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 1);
}

QTEST_MAIN(TestV4l2Sink)
#include "tst_v4l2sink.moc"
