// The several-cameras benchmark's stand-in webcams: the stamp of each picture the real sink
// writes reads back as drawn, also when the sink scaled the camera's picture to the webcam's
// size, and the list of writes stays within the room it was given.
#include "bench/Stamp.h"
#include "bench/StampReadingWebcams.h"
#include "support/I420Frame.h"
#include "support/LabelledWebcams.h"
#include "output/OutputRouter.h"

#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <linux/videodev2.h>

namespace {

const QString kDevice = QStringLiteral("/dev/video0");
constexpr int kProbeMs = 20;
constexpr int kWaitMs = 10000;

// A mid-grey I420 picture of the camera's size with a stamp in its band.
QByteArray stampedPicture(int width, int height, const stamp::Value &value)
{
    QByteArray picture(width * height * 3 / 2, char(128));
    auto *y = reinterpret_cast<uint8_t *>(picture.data());
    uint8_t *u = y + width * height;
    uint8_t *v = u + (width / 2) * (height / 2);
    stamp::draw(y, width, u, v, width / 2, width, value);
    return picture;
}

} // namespace

class TestStampReadingWebcams : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The stand-in device is the only one: the sink may look for it by scanning.
        qunsetenv("QUORVIX_VCAM_DEVICE");
    }
    void cleanup() { clearLabelledWebcams(); }

    void stampReadsBackThroughTheSink_data();
    void stampReadsBackThroughTheSink();
    void writesStayWithinTheirRoom();
};

void TestStampReadingWebcams::stampReadsBackThroughTheSink_data()
{
    QTest::addColumn<QSize>("camera");
    QTest::addColumn<bool>("readable");
    // The webcam is 1280x720: the same size, scaled down, scaled up (also with the small
    // blocks of a narrow picture); a 4:3 picture is pillarboxed, where the band is not looked
    // for: it must read as no stamp rather than a wrong one.
    QTest::newRow("720p as it is") << QSize(1280, 720) << true;
    QTest::newRow("1080p scaled down") << QSize(1920, 1080) << true;
    QTest::newRow("360p scaled up") << QSize(640, 360) << true;
    QTest::newRow("180p, small blocks") << QSize(320, 180) << true;
    QTest::newRow("4:3 pillarboxed") << QSize(640, 480) << false;
}

void TestStampReadingWebcams::stampReadsBackThroughTheSink()
{
    QFETCH(QSize, camera);
    QFETCH(bool, readable);
    auto webcams = std::make_shared<bench::StampReadingWebcams>(8);
    webcams->addDevice(kDevice, "Quorvix");
    webcams->setSource(camera.width(), camera.height());
    installLabelledWebcams(webcams, kProbeMs);
    OutputRouter router(QStringLiteral("Quorvix"));
    router.setStreamLive(true);
    QTRY_VERIFY_WITH_TIMEOUT(router.webcamAvailable(), kWaitMs);

    stamp::Value sent;
    sent.id = 7;
    sent.frame = 654321;
    sent.sendUs = stamp::nowUs() - 40000;
    const QByteArray picture = stampedPicture(camera.width(), camera.height(), sent);
    sendI420(router, reinterpret_cast<const uchar *>(picture.constData()), camera.width(),
             camera.height(), camera.width());
    if (!readable) {
        QTRY_VERIFY_WITH_TIMEOUT(webcams->unstampedWrites() > 0, kWaitMs);
        QVERIFY(webcams->writes().empty());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(webcams->writes().size()), 1, kWaitMs);
    const bench::StampReadingWebcams::Write write = webcams->writes().front();
    QCOMPARE(write.device, 0);
    QCOMPARE(write.id, sent.id);
    QCOMPARE(write.frame, sent.frame);
    QCOMPARE(write.sendUs, sent.sendUs);
    QVERIFY(write.writeUs >= sent.sendUs + 40000);
}

void TestStampReadingWebcams::writesStayWithinTheirRoom()
{
    bench::StampReadingWebcams webcams(2);
    webcams.addDevice(kDevice, "Quorvix 1");
    webcams.setSource(1280, 720);
    const int fd = webcams.open(kDevice.toLocal8Bit().constData(), O_RDWR);
    QVERIFY(fd >= 0);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = 1280;
    format.fmt.pix.height = 720;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    QCOMPARE(webcams.ioctl(fd, VIDIOC_S_FMT, &format), 0);

    // A picture without a stamp (the no-signal card) is counted, not listed.
    const QByteArray card(1280 * 720 * 3 / 2, char(16));
    QCOMPARE(webcams.write(fd, card.constData(), size_t(card.size())), ssize_t(card.size()));
    QCOMPARE(webcams.unstampedWrites(), 1);
    QVERIFY(webcams.writes().empty());

    // Three stamped pictures into room for two: the third is counted as lost, the list keeps
    // the first two.
    for (uint32_t frame = 1; frame <= 3; ++frame) {
        stamp::Value value;
        value.id = 2;
        value.frame = frame;
        value.sendUs = stamp::nowUs();
        const QByteArray picture = stampedPicture(1280, 720, value);
        QCOMPARE(webcams.write(fd, picture.constData(), size_t(picture.size())),
                 ssize_t(picture.size()));
    }
    const std::vector<bench::StampReadingWebcams::Write> writes = webcams.writes();
    QCOMPARE(int(writes.size()), 2);
    QCOMPARE(writes.at(0).frame, 1u);
    QCOMPARE(writes.at(1).frame, 2u);
    QCOMPARE(webcams.overflow(), 1);
    QCOMPARE(webcams.unstampedWrites(), 1);

    // Emptied for the next window, it takes pictures again.
    webcams.clearWrites();
    const QByteArray again = stampedPicture(1280, 720, stamp::Value{2, 4, stamp::nowUs()});
    webcams.write(fd, again.constData(), size_t(again.size()));
    QCOMPARE(int(webcams.writes().size()), 1);
    QCOMPARE(webcams.close(fd), 0);
}

QTEST_MAIN(TestStampReadingWebcams)
#include "tst_stampreadingwebcams.moc"
