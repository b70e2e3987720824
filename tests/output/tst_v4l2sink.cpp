// The v4l2loopback sink at its system-call seam: device discovery, the one output format,
// STREAMON and what the driver does around it, scaling with aspect kept, a module loaded after
// start and a device that goes away; and OutputRouter's webcamAvailable following all that.

#include "FakeV4l2Io.h"
#include "../support/SolidPicture.h"
#include "I420Picture.h"
#include "tests/support/LogCapture.h"
#include "output/OutputBackends.h"
#include "output/V4l2Sink.h"
#include "output/OutputRouter.h"

#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <cstring>
#include <fcntl.h>

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

// Another producer on the same fake device: open, set a size, optionally STREAMON and write.
// Returns its descriptor (the caller closes it) or -1 with the failing step in *failed.
int otherWriter(FakeV4l2Io &io, const QString &path, int width, int height, bool streamOn,
                int frames, QString *failed = nullptr)
{
    const int fd = io.open(path.toLocal8Bit().constData(), O_RDWR);
    if (fd < 0)
        return -1;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = static_cast<quint32>(width);
    format.fmt.pix.height = static_cast<quint32>(height);
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    if (io.ioctl(fd, VIDIOC_S_FMT, &format) < 0) {
        if (failed)
            *failed = QStringLiteral("S_FMT %1").arg(strerror(errno));
        io.close(fd);
        return -1;
    }
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (streamOn && io.ioctl(fd, VIDIOC_STREAMON, &type) < 0) {
        if (failed)
            *failed = QStringLiteral("STREAMON %1").arg(strerror(errno));
        io.close(fd);
        return -1;
    }
    const QByteArray frame(width * height * 3 / 2, char(16));
    for (int i = 0; i < frames; ++i)
        io.write(fd, frame.constData(), static_cast<size_t>(frame.size()));
    return fd;
}

bool offersOutput(const FakeV4l2Io &io, const QString &path)
{
    return io.offeredCaps(path) & V4L2_CAP_VIDEO_OUTPUT;
}

bool offersCapture(const FakeV4l2Io &io, const QString &path)
{
    return io.offeredCaps(path) & V4L2_CAP_VIDEO_CAPTURE;
}

// The seam with a scan that blocks until released: the listing of /dev/video* waits on a gate,
// as a slow node or a busy system makes it wait.
class GatedScanIo final : public V4l2Io
{
public:
    explicit GatedScanIo(std::shared_ptr<FakeV4l2Io> io) : m_io(std::move(io)) {}

    void closeGate()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_open = false;
    }
    void openGate()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_open = true;
        }
        m_changed.notify_all();
    }
    int scansWaiting() const { return m_waiting.load(); }

    QStringList videoDevices() override
    {
        std::unique_lock<std::mutex> guard(m_lock);
        ++m_waiting;
        m_changed.wait(guard, [this] { return m_open; });
        --m_waiting;
        return m_io->videoDevices();
    }
    int open(const char *path, int flags) override { return m_io->open(path, flags); }
    int ioctl(int fd, unsigned long request, void *arg) override
    {
        return m_io->ioctl(fd, request, arg);
    }
    ssize_t write(int fd, const void *data, size_t bytes) override
    {
        return m_io->write(fd, data, bytes);
    }
    int close(int fd) override { return m_io->close(fd); }

private:
    const std::shared_ptr<FakeV4l2Io> m_io;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = true;
    std::atomic<int> m_waiting{0};
};

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
    void streamOnOncePerOpenAndOutputBackOnClose();
    void fakeFollowsTheDriver();
    void plainWriterLeavesNodeStuck();
    void secondInstanceTakesAnotherDevice();
    void scaledPictureKeepsContent();
    void otherAspectGetsBlackBars();
    void paddedRowsAreRepacked();
    void anyFormatReachesTheWebcam_data();
    void anyFormatReachesTheWebcam();
    void sizeFromEnvironment_data();
    void sizeFromEnvironment();
    void moduleLoadedAfterStart();
    void fixedRateThinsAFasterCamera_data();
    void fixedRateThinsAFasterCamera();
    void webcamFormatExactBytes_data();
    void webcamFormatExactBytes();
    void formatWaitsWhileAProgramHoldsTheDevice_data();
    void formatWaitsWhileAProgramHoldsTheDevice();
    void deviceGoneIsSurvived();
    void refusedFormatLeavesDeviceUnused();
    void unusableFramesAreDropped();
    void webcamAvailableFollowsDevice();
    void liveFrameNeverWaitsForAScan();

private:
    V4l2Sink *makeSink();
    // A live frame (a card frame when `live` is false) of `picture`; the rate 0/0 is none.
    void put(const I420Picture &picture, bool live = true, int rateNum = 0, int rateDen = 0);

    std::shared_ptr<FakeV4l2Io> m_io;
    std::shared_ptr<V4l2Sink> m_sink;
};

void TestV4l2Sink::init()
{
    qunsetenv("QUORVIX_VCAM_DEVICE");
    qunsetenv("QUORVIX_VCAM_SIZE");
    qunsetenv("QUORVIX_VCAM_TAP");
    m_io = std::make_shared<FakeV4l2Io>();
}

void TestV4l2Sink::cleanup()
{
    m_sink.reset();
    if (m_io)
        QCOMPARE(m_io->openDescriptors(), 0);
    m_io.reset();
}

V4l2Sink *TestV4l2Sink::makeSink()
{
    m_sink = std::make_shared<V4l2Sink>(m_io, kProbeMs);
    m_sink->init(QStringLiteral("Quorvix"));
    return m_sink.get();
}

void TestV4l2Sink::put(const I420Picture &picture, bool live, int rateNum, int rateDen)
{
    OutputFrame frame;
    frame.picture = picture.frame();
    frame.rateNum = rateNum;
    frame.rateDen = rateDen;
    if (live)
        m_sink->putLive(frame);
    else
        m_sink->putCard(frame);
}

void TestV4l2Sink::discoveryPrefersProductLabel()
{
    m_io->addDevice("/dev/video0",
                    plainDevice("uvcvideo", "Integrated Camera", V4L2_CAP_VIDEO_CAPTURE));
    m_io->addLoopback("/dev/video1", "Dummy video device (0x0000)");
    m_io->addLoopback("/dev/video2", "Quorvix");
    // Another producer streams into video2 (exclusive_caps=1): it offers capture only.
    const int other = otherWriter(*m_io, "/dev/video2", 640, 480, true, 1);
    QVERIFY(other >= 0);
    m_io->addLoopback("/dev/video3", "Quorvix");
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video3"));
    QCOMPARE(m_io->openDescriptors(), 2);
    QCOMPARE(m_io->device("/dev/video3").formatCalls, 1);
    QCOMPARE(m_io->device("/dev/video1").formatCalls, 0);
    QCOMPARE(m_io->device("/dev/video2").formatCalls, 1); // the other producer's only
    QCOMPARE(m_io->device("/dev/video2").format.fmt.pix.width, 640u);
    m_io->close(other);
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
    m_io->addLoopback("/dev/video0", "Quorvix");
    const int other = otherWriter(*m_io, "/dev/video0", 1280, 720, true, 0);
    QVERIFY(other >= 0);
    m_io->addDevice("/dev/video1",
                    plainDevice("v4l2 loopback", "Capture only", V4L2_CAP_VIDEO_CAPTURE));
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->openDescriptors(), 1);
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 1);
    QCOMPARE(log.count(QStringLiteral("modprobe v4l2loopback card_label=Quorvix exclusive_caps=1")),
             1);

    // An older driver without per-device caps that offers output is fine.
    m_io->addDevice("/dev/video2", plainDevice("v4l2 loopback", "Old", V4L2_CAP_VIDEO_OUTPUT));
    I420Picture picture(1280, 720);
    picture.solid(100, 110, 120);
    QTRY_VERIFY((put(picture), m_sink->devicePath() == QStringLiteral("/dev/video2")));
    m_io->close(other);
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
        put(picture);
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
    QCOMPARE(device.streamOnCalls, 1);
    QCOMPARE(device.framesWritten, 5);
    QCOMPARE(device.opens, 1);
}

void TestV4l2Sink::streamOnOncePerOpenAndOutputBackOnClose()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    // Readers see the webcam as soon as the sink has it, before the first frame.
    FakeV4l2Io::Device device = m_io->device("/dev/video0");
    QCOMPARE(device.streamOnCalls, 1);
    QCOMPARE(device.framesWritten, 0);
    QVERIFY(offersCapture(*m_io, "/dev/video0"));
    QVERIFY(!offersOutput(*m_io, "/dev/video0"));
    I420Picture picture(1280, 720);
    picture.solid(81, 90, 240);
    for (int i = 0; i < 3; ++i)
        put(picture);
    QCOMPARE(m_io->device("/dev/video0").streamOnCalls, 1);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 3);

    // Quit: the node offers output again, so the next start (here at another size) gets it.
    m_sink.reset();
    QVERIFY(offersOutput(*m_io, "/dev/video0"));
    QVERIFY(!offersCapture(*m_io, "/dev/video0"));
    qputenv("QUORVIX_VCAM_SIZE", "640x360");
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video0"));
    device = m_io->device("/dev/video0");
    QCOMPARE(device.format.fmt.pix.width, 640u);
    QCOMPARE(device.format.fmt.pix.height, 360u);
    QCOMPARE(device.streamOnCalls, 2);
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes, qint64(640 * 360 * 3 / 2));
}

void TestV4l2Sink::fakeFollowsTheDriver()
{
    // The states the fake device goes through, as the real driver was recorded doing them.
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(offersOutput(*m_io, "/dev/video0"));
    QVERIFY(!offersCapture(*m_io, "/dev/video0"));
    const int first = otherWriter(*m_io, "/dev/video0", 1280, 720, false, 0);
    QVERIFY(first >= 0);
    QVERIFY(offersOutput(*m_io, "/dev/video0")); // a format alone changes nothing
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    QCOMPARE(m_io->ioctl(first, VIDIOC_STREAMON, &type), 0);
    QVERIFY(offersCapture(*m_io, "/dev/video0"));
    QVERIFY(!offersOutput(*m_io, "/dev/video0"));
    // A second writer gets in, and its size is refused silently.
    const int second = otherWriter(*m_io, "/dev/video0", 640, 480, false, 0);
    QVERIFY(second >= 0);
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.width, 1280u);
    m_io->close(second); // it never wrote: nothing changes
    QVERIFY(offersCapture(*m_io, "/dev/video0"));
    m_io->close(first);
    QVERIFY(offersOutput(*m_io, "/dev/video0"));
    QVERIFY(!offersCapture(*m_io, "/dev/video0"));
    // A plain write() producer: capture offered from its first frame, neither after it left.
    const int plain = otherWriter(*m_io, "/dev/video0", 640, 480, false, 2);
    QVERIFY(plain >= 0);
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.width, 640u);
    QVERIFY(offersCapture(*m_io, "/dev/video0"));
    m_io->close(plain);
    QCOMPARE(m_io->offeredCaps("/dev/video0") & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE),
             0u);
    QString failed;
    QCOMPARE(otherWriter(*m_io, "/dev/video0", 640, 480, true, 0, &failed), -1);
    QCOMPARE(failed, QStringLiteral("S_FMT ") + strerror(EINVAL));
    QCOMPARE(m_io->openDescriptors(), 0);
}

void TestV4l2Sink::plainWriterLeavesNodeStuck()
{
    LogCapture log;
    m_io->addLoopback("/dev/video0", "Quorvix");
    // Someone wrote frames without STREAMON and left: the node is useless until reloaded.
    QCOMPARE(m_io->close(otherWriter(*m_io, "/dev/video0", 640, 480, false, 1)), 0);
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    // Not "no device": the node is named, and so is the way to get it back.
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 0);
    QCOMPARE(log.count(QStringLiteral("v4l2loopback device /dev/video0 is there but unusable")), 1);
    QCOMPARE(log.count(QStringLiteral("sudo modprobe -r v4l2loopback && sudo modprobe "
                                      "v4l2loopback card_label=Quorvix exclusive_caps=1")),
             1);
    I420Picture picture(1280, 720);
    picture.solid(60, 70, 80);
    // Later scans find it unusable again and say nothing more.
    QElapsedTimer rounds;
    rounds.start();
    while (rounds.elapsed() < 5 * kProbeMs) {
        put(picture);
        QTest::qWait(2);
    }
    QCOMPARE(log.count(QStringLiteral("is there but unusable")), 1);

    // The module reloaded: found at the next probe.
    m_io->addLoopback("/dev/video0", "Quorvix");
    QTRY_VERIFY((put(picture), m_io->device("/dev/video0").framesWritten > 0));
    QCOMPARE(m_io->device("/dev/video0").streamOnCalls, 1);
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video0"));
}

void TestV4l2Sink::secondInstanceTakesAnotherDevice()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    std::shared_ptr<V4l2Sink> first = m_sink;
    // A second program: the first one's device offers no output any more.
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->device("/dev/video0").formatCalls, 1);
    m_io->addLoopback("/dev/video1", "Spare");
    I420Picture picture(1280, 720);
    picture.solid(60, 70, 80);
    QTRY_VERIFY((put(picture), m_sink->devicePath() == QStringLiteral("/dev/video1")));
    QCOMPARE(first->devicePath(), QStringLiteral("/dev/video0"));
    QCOMPARE(m_io->device("/dev/video1").streamOnCalls, 1);
    first.reset();
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
    put(picture);
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
    put(picture);
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
    put(portrait);
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
    put(picture);
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

void TestV4l2Sink::anyFormatReachesTheWebcam_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("backToBack");
    QTest::addColumn<QVector<int>>("yuvIn");
    QTest::addColumn<QVector<int>>("yuvOut"); // limited range, as the device takes it
    // Full range: 16 + 200 * 219 / 255, 128 - 64 * 224 / 255, 128 + 64 * 224 / 255.
    QTest::newRow("yuvj420p, full range")
        << int(AV_PIX_FMT_YUVJ420P) << QSize(1280, 720) << false << QVector<int>{200, 64, 192}
        << QVector<int>{188, 72, 184};
    QTest::newRow("nv12") << int(AV_PIX_FMT_NV12) << QSize(1280, 720) << false
                          << QVector<int>{81, 90, 240} << QVector<int>{81, 90, 240};
    QTest::newRow("yuv422p, 1080p") << int(AV_PIX_FMT_YUV422P) << QSize(1920, 1080) << false
                                    << QVector<int>{145, 54, 34} << QVector<int>{145, 54, 34};
    QTest::newRow("yuv420p, planes apart as a decoder's")
        << int(AV_PIX_FMT_YUV420P) << QSize(1280, 720) << false << QVector<int>{41, 240, 110}
        << QVector<int>{41, 240, 110};
    QTest::newRow("uyvy422, 4:3") << int(AV_PIX_FMT_UYVY422) << QSize(640, 480) << true
                                  << QVector<int>{170, 166, 16} << QVector<int>{170, 166, 16};
}

// Whatever the decoder made reaches the device as its I420 in one pass, also when the format
// changes mid-stream and back.
void TestV4l2Sink::anyFormatReachesTheWebcam()
{
    QFETCH(int, format);
    QFETCH(QSize, size);
    QFETCH(bool, backToBack);
    QFETCH(QVector<int>, yuvIn);
    QFETCH(QVector<int>, yuvOut);
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    const AVFramePtr picture =
        solidPicture(static_cast<AVPixelFormat>(format), size.width(), size.height(), yuvIn[0],
                     yuvIn[1], yuvIn[2], backToBack);
    QVERIFY(picture);
    I420Picture between(640, 360);
    between.solid(30, 60, 90);
    for (int round = 0; round < 2; ++round) {
        OutputFrame frame;
        frame.picture = picture.get();
        m_sink->putLive(frame);
        QCOMPARE(m_sink->framesWritten(), qint64(2 * round + 1));
        const QByteArray written = m_io->device("/dev/video0").lastFrame;
        QCOMPARE(written.size(), int(k720pBytes));
        const PackedI420 out{reinterpret_cast<const uchar *>(written.constData()), 1280, 720};
        // The middle, and a point inside the picture near its corner (4:3 is barred).
        const int left = size.width() * 9 == size.height() * 16 ? 4 : 170;
        for (const QPoint &at : {QPoint(640, 360), QPoint(left, 4)}) {
            QVERIFY2(qAbs(out.y(at.x(), at.y()) - yuvOut[0]) <= 2,
                     qPrintable(QString::number(out.y(at.x(), at.y()))));
            QVERIFY2(qAbs(out.u(at.x() / 2, at.y() / 2) - yuvOut[1]) <= 2,
                     qPrintable(QString::number(out.u(at.x() / 2, at.y() / 2))));
            QVERIFY2(qAbs(out.v(at.x() / 2, at.y() / 2) - yuvOut[2]) <= 2,
                     qPrintable(QString::number(out.v(at.x() / 2, at.y() / 2))));
        }
        put(between);
    }
    QCOMPARE(m_sink->framesDropped(), qint64(0));
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
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes, qint64(width) * height * 3 / 2);
}

void TestV4l2Sink::moduleLoadedAfterStart()
{
    LogCapture log;
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QVERIFY(!WebcamFormat().fixedRate); // the camera's rate, as the device is told below
    I420Picture picture(1920, 1080);
    picture.solid(150, 60, 70);
    // Several probes go by without a device: one log line only.
    QElapsedTimer timer;
    timer.start();
    int probes = 0;
    while (timer.elapsed() < 5 * kProbeMs || probes < 20) {
        put(picture);
        ++probes;
        QTest::qWait(1);
    }
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 1);

    // Live frames of a 29.97 fps stream: the device, opened now, is told that rate.
    m_io->addLoopback("/dev/video7", "Quorvix");
    QTRY_VERIFY((put(picture, true, 30000, 1001), m_io->device("/dev/video7").framesWritten > 0));
    QCOMPARE(m_sink->devicePath(), QStringLiteral("/dev/video7"));
    QCOMPARE(m_io->device("/dev/video7").streamOnCalls, 1);
    QCOMPARE(m_io->device("/dev/video7").parm.parm.output.timeperframe.numerator, 1001u);
    QCOMPARE(m_io->device("/dev/video7").parm.parm.output.timeperframe.denominator, 30000u);
    QCOMPARE(log.count(QStringLiteral("virtual camera started: /dev/video7 1280x720 I420")), 1);
    const QByteArray frame = m_io->device("/dev/video7").lastFrame;
    const PackedI420 out{reinterpret_cast<const uchar *>(frame.constData()), 1280, 720};
    QVERIFY(qAbs(out.y(640, 360) - 150) <= 2);
    QVERIFY(qAbs(out.u(320, 180) - 60) <= 2);

    // Fixed at 30 from now on: the open device is told 30 whatever the camera sends, without
    // being opened again.
    WebcamFormat fixed;
    fixed.fixedRate = true;
    QVERIFY(m_sink->setFormat(fixed) == WebcamOutput::FormatChange::Applied);
    put(picture, true, 60, 1);
    QCOMPARE(m_io->device("/dev/video7").parm.parm.output.timeperframe.numerator, 1u);
    QCOMPARE(m_io->device("/dev/video7").parm.parm.output.timeperframe.denominator, 30u);
    QCOMPARE(m_io->device("/dev/video7").opens, 1);
    put(picture, true, 25, 1);
    QCOMPARE(m_io->device("/dev/video7").parm.parm.output.timeperframe.denominator, 30u);
}

void TestV4l2Sink::fixedRateThinsAFasterCamera_data()
{
    QTest::addColumn<bool>("fixedRate");
    QTest::addColumn<int>("rateNum");
    QTest::addColumn<int>("rateDen");
    QTest::addColumn<int>("written"); // of 60 pictures
    QTest::newRow("60 fps at fixed 30") << true << 60 << 1 << 30;
    QTest::newRow("50 fps at fixed 30") << true << 50 << 1 << 36;
    QTest::newRow("29.97 fps at fixed 30") << true << 30000 << 1001 << 60;
    QTest::newRow("60 fps, the camera's rate") << false << 60 << 1 << 60;
}

// Fixed at 30, a faster camera's pictures reach the device evenly thinned to 30 a second; at
// the camera's rate every one does.
void TestV4l2Sink::fixedRateThinsAFasterCamera()
{
    QFETCH(bool, fixedRate);
    QFETCH(int, rateNum);
    QFETCH(int, rateDen);
    QFETCH(int, written);
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    WebcamFormat format;
    format.fixedRate = fixedRate;
    m_sink->setFormat(format);
    I420Picture picture(1280, 720);
    picture.solid(81, 90, 240);
    int longestGap = 0;
    int gap = 0;
    for (int i = 0; i < 60; ++i) {
        const int before = m_io->device("/dev/video0").framesWritten;
        put(picture, true, rateNum, rateDen);
        gap = m_io->device("/dev/video0").framesWritten > before ? 0 : gap + 1;
        longestGap = qMax(longestGap, gap);
    }
    QCOMPARE(m_io->device("/dev/video0").framesWritten, written);
    // Evenly: never two pictures left out in a row below 90 fps.
    QVERIFY(longestGap <= 1);
    QCOMPARE(m_sink->framesDropped(), qint64(0));
}

void TestV4l2Sink::webcamFormatExactBytes_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("yuyv");
    for (const QSize &size : {QSize(640, 480), QSize(1280, 720), QSize(1920, 1080)}) {
        const QByteArray name =
            QByteArray::number(size.width()) + "x" + QByteArray::number(size.height());
        QTest::newRow(name + " I420") << size << false;
        QTest::newRow(name + " YUYV") << size << true;
    }
}

// Each size and pixel format the settings offer: the device is asked for it (YUYV rows twice
// the width) and gets a solid colour as exactly those bytes, every pixel.
void TestV4l2Sink::webcamFormatExactBytes()
{
    QFETCH(QSize, size);
    QFETCH(bool, yuyv);
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    WebcamFormat format;
    format.width = size.width();
    format.height = size.height();
    format.pixels = yuyv ? WebcamFormat::Pixels::Yuyv : WebcamFormat::Pixels::I420;
    QVERIFY(m_sink->setFormat(format) != WebcamOutput::FormatChange::Held);
    QVERIFY(m_sink->deviceOpen());
    const v4l2_format device = m_io->device("/dev/video0").format;
    QCOMPARE(device.fmt.pix.pixelformat, quint32(yuyv ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_YUV420));
    QCOMPARE(device.fmt.pix.width, quint32(size.width()));
    QCOMPARE(device.fmt.pix.height, quint32(size.height()));
    QCOMPARE(device.fmt.pix.bytesperline, quint32(yuyv ? 2 * size.width() : size.width()));

    I420Picture picture(size.width(), size.height());
    picture.solid(81, 90, 240);
    put(picture);
    QByteArray expected;
    if (yuyv) {
        const char pair[] = {81, 90, 81, char(240)};
        for (int at = 0; at < size.width() * size.height() / 2; ++at)
            expected.append(pair, 4);
    } else {
        const int luma = size.width() * size.height();
        expected = QByteArray(luma, char(81)) + QByteArray(luma / 4, char(90)) +
                   QByteArray(luma / 4, char(240));
    }
    const QByteArray written = m_io->device("/dev/video0").lastFrame;
    QCOMPARE(written.size(), expected.size());
    QVERIFY(written == expected);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 1);
}

void TestV4l2Sink::formatWaitsWhileAProgramHoldsTheDevice_data()
{
    QTest::addColumn<QByteArray>("sizeOverride");
    QTest::addColumn<QSize>("before");
    QTest::addColumn<QSize>("after");
    QTest::newRow("settings' size") << QByteArray() << QSize(1280, 720) << QSize(1920, 1080);
    QTest::newRow("QUORVIX_VCAM_SIZE wins")
        << QByteArray("640x360") << QSize(640, 360) << QSize(640, 360);
}

// A program showing the webcam cannot follow a format change: the sink keeps the device as it
// is and says so; once the program is gone the next try takes the new format.
void TestV4l2Sink::formatWaitsWhileAProgramHoldsTheDevice()
{
    QFETCH(QByteArray, sizeOverride);
    QFETCH(QSize, before);
    QFETCH(QSize, after);
    if (!sizeOverride.isEmpty())
        qputenv("QUORVIX_VCAM_SIZE", sizeOverride);
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    I420Picture picture(1280, 720);
    picture.solid(81, 90, 240);
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes,
             qint64(before.width()) * before.height() * 3 / 2);

    WebcamFormat wanted;
    wanted.width = 1920;
    wanted.height = 1080;
    wanted.pixels = WebcamFormat::Pixels::Yuyv;
    m_io->setOtherOpeners("/dev/video0", 1);
    QVERIFY(m_sink->setFormat(wanted) == WebcamOutput::FormatChange::Held);
    QVERIFY(m_sink->deviceOpen());
    QCOMPARE(m_io->device("/dev/video0").opens, 1);
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 2);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes,
             qint64(before.width()) * before.height() * 3 / 2);

    m_io->setOtherOpeners("/dev/video0", 0);
    QVERIFY(m_sink->setFormat(wanted) == WebcamOutput::FormatChange::Applied);
    QVERIFY(m_sink->deviceOpen());
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.pixelformat, quint32(V4L2_PIX_FMT_YUYV));
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.width, quint32(after.width()));
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes,
             qint64(after.width()) * after.height() * 2);
    // Asked again for what it has: nothing to do, nothing reopened.
    const int opens = m_io->device("/dev/video0").opens;
    QVERIFY(m_sink->setFormat(wanted) == WebcamOutput::FormatChange::Unchanged);
    QCOMPARE(m_io->device("/dev/video0").opens, opens);
}

void TestV4l2Sink::deviceGoneIsSurvived()
{
    LogCapture log;
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    I420Picture picture(1280, 720);
    picture.solid(100, 100, 100);
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 1);

    m_io->removeDevice("/dev/video0");
    for (int i = 0; i < 20; ++i)
        put(picture);
    QCOMPARE(log.count(QStringLiteral("virtual camera device lost: /dev/video0")), 1);
    QCOMPARE(log.count(QStringLiteral("no v4l2loopback device found")), 0);
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->openDescriptors(), 0);
    QVERIFY(m_sink->framesDropped() >= 1);

    // It comes back (module reloaded): found again, format set on the new descriptor.
    m_io->addLoopback("/dev/video0", "Quorvix");
    QTRY_VERIFY((put(picture), m_io->device("/dev/video0").framesWritten > 0));
    QCOMPARE(m_io->device("/dev/video0").formatCalls, 1);
    QCOMPARE(m_io->device("/dev/video0").streamOnCalls, 1);
    QCOMPARE(log.count(QStringLiteral("virtual camera device lost")), 1);
}

void TestV4l2Sink::refusedFormatLeavesDeviceUnused()
{
    LogCapture log;
    // Loaded without exclusive_caps, the node offers output while another producer streams
    // 640x480 into it; S_FMT then succeeds but answers the locked size.
    m_io->addLoopback("/dev/video0", "Quorvix", false);
    const int other = otherWriter(*m_io, "/dev/video0", 640, 480, true, 1);
    QVERIFY(other >= 0);
    QVERIFY(makeSink());
    QCOMPARE(m_sink->devicePath(), QString());
    QCOMPARE(m_io->openDescriptors(), 1); // the other producer's
    QCOMPARE(log.count(QStringLiteral("device refused the format")), 1);
    QCOMPARE(log.count(QStringLiteral("got 640 x 480")), 1);
    QCOMPARE(m_io->device("/dev/video0").formatCalls, 2);
    QCOMPARE(m_io->device("/dev/video0").streamOnCalls, 1); // not ours
    I420Picture picture(1280, 720);
    picture.solid(1, 2, 3);
    put(picture);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 1);
    QVERIFY(!m_sink->deviceOpen());

    // The other producer leaves: the next probe gets the node at our size.
    m_io->close(other);
    QTRY_VERIFY((put(picture), m_io->device("/dev/video0").framesWritten > 1));
    QCOMPARE(m_io->device("/dev/video0").format.fmt.pix.width, 1280u);
    QCOMPARE(m_io->device("/dev/video0").lastWriteBytes, k720pBytes);
}

void TestV4l2Sink::unusableFramesAreDropped()
{
    m_io->addLoopback("/dev/video0", "Quorvix");
    QVERIFY(makeSink());
    I420Picture narrow(1280, 720, 1280);
    narrow.stride = 640; // row length shorter than a row
    put(narrow);
    OutputFrame noPicture;
    m_sink->putLive(noPicture);
    I420Picture picture(1280, 720);
    picture.solid(1, 2, 3);
    const I420Picture empty(1280, 0);
    OutputFrame noSize;
    noSize.picture = empty.frame();
    m_sink->putCard(noSize);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 0);
    QCOMPARE(m_sink->framesDropped(), 3);

    // Usable frames still go out after those, live and card alike.
    put(picture);
    put(picture, false);
    QCOMPARE(m_io->device("/dev/video0").framesWritten, 2);
    QCOMPARE(m_sink->framesWritten(), 2);
}

void TestV4l2Sink::webcamAvailableFollowsDevice()
{
    // OutputRouter with the sink on the fake devices as its only backend.
    std::shared_ptr<FakeV4l2Io> io = m_io;
    installWebcamOnlyBackends(io, kProbeMs);
    {
        OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
        QVERIFY(!cam.webcamAvailable());
        I420Picture card(1280, 720);
        card.solid(16, 128, 128);
        cam.sendStub(card.data.data(), 1280, 720);
        QVERIFY(!cam.webcamAvailable());

        // The module is loaded: available after the next probe (the card timer's frames).
        m_io->addLoopback("/dev/video0", "Quorvix");
        QTRY_VERIFY((cam.sendStub(card.data.data(), 1280, 720), cam.webcamAvailable()));
        // The device goes away: the next frame finds out.
        m_io->removeDevice("/dev/video0");
        cam.sendStub(card.data.data(), 1280, 720);
        QVERIFY(!cam.webcamAvailable());
        m_io->addLoopback("/dev/video0", "Quorvix");
        QTRY_VERIFY((cam.sendStub(card.data.data(), 1280, 720), cam.webcamAvailable()));
    }
    OutputBackends::setFactory_for_testing({});
}

QTEST_MAIN(TestV4l2Sink)
#include "tst_v4l2sink.moc"

void TestV4l2Sink::liveFrameNeverWaitsForAScan()
{
    auto gated = std::make_shared<GatedScanIo>(m_io);
    auto sink = std::make_shared<V4l2Sink>(gated, kProbeMs);
    sink->init(QStringLiteral("Quorvix"));
    QVERIFY(!sink->deviceOpen());

    // A scan is under way and cannot finish.
    gated->closeGate();
    QTRY_VERIFY(gated->scansWaiting() > 0);

    // Live frames from a sending thread still go through at once.
    I420Picture picture(1280, 720);
    picture.solid(90, 100, 110);
    OutputFrame frame;
    frame.picture = picture.frame();
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; i < 10; ++i) {
            sink->putLive(frame);
            ++sent;
        }
    });
    // Whatever happens below, the gate opens and the sender is joined.
    const auto release = qScopeGuard([&] {
        gated->openGate();
        if (sender.joinable())
            sender.join();
    });
    QTRY_COMPARE_WITH_TIMEOUT(sent.load(), 10, 5000);
    QVERIFY(gated->scansWaiting() > 0);
    gated->openGate();
    sender.join();

    // The scan, released, still hands a device over to the next frames.
    m_io->addLoopback("/dev/video4", "Quorvix");
    QTRY_VERIFY((sink->putLive(frame), m_io->device("/dev/video4").framesWritten > 0));
    sink.reset();
}
