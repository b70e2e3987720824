// The picture the way the phone is held: quarter turns, a mirror, fit or fill, applied in the
// webcam's one conversion (I420 and YUYV), checked at a v4l2loopback stand-in with a portrait
// publisher's test pattern whose top-left corner is marked; the publisher's own display matrix
// honoured for the rest of its session and combined with the user's choice; the card never
// turned; the preview shows the webcam's picture.

#include "FakeV4l2Io.h"
#include "I420Picture.h"
#include "engine/FfmpegPtr.h"
#include "output/OutputBackends.h"
#include "output/OutputRouter.h"
#include "output/PictureOrientation.h"
#include "output/PreviewOutput.h"
#include "output/V4l2Sink.h"

#include <QtTest>

extern "C" {
#include <libavutil/display.h>
}

#include <cstring>
#include <mutex>

namespace {

constexpr char kDevice[] = "/dev/video0";
constexpr int kProbeMs = 20;
constexpr int kPlain = 100; // the pattern's luma
constexpr int kMark = 235;  // the marked corner's luma
constexpr int kMarkU = 200; // and its U

// A portrait publisher's picture, 720x1280, with its top-left 64x64 marked in Y and U.
void markCorner(I420Picture &picture)
{
    picture.fill([](int x, int y) { return x < 64 && y < 64 ? kMark : kPlain; },
                 [](int x, int y) { return x < 32 && y < 32 ? kMarkU : 128; },
                 [](int, int) { return 128; });
}

// The same as a decoder's reference-counted picture, with a display matrix asking for a
// clockwise turn (as av_display_rotation_set takes it, and as ffmpeg's own autorotation reads
// it back).
AVFramePtr markedPicture(double clockwise)
{
    I420Picture pattern(720, 1280);
    markCorner(pattern);
    AVFramePtr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 720;
    frame->height = 1280;
    if (av_frame_get_buffer(frame.get(), 64) < 0)
        return nullptr;
    for (int row = 0; row < 1280; ++row)
        std::memcpy(frame->data[0] + row * frame->linesize[0], pattern.y() + row * 720, 720);
    for (int row = 0; row < 640; ++row) {
        std::memcpy(frame->data[1] + row * frame->linesize[1], pattern.u() + row * 360, 360);
        std::memcpy(frame->data[2] + row * frame->linesize[2], pattern.v() + row * 360, 360);
    }
    AVFrameSideData *side =
        av_frame_new_side_data(frame.get(), AV_FRAME_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t));
    if (!side)
        return nullptr;
    av_display_rotation_set(reinterpret_cast<int32_t *>(side->data), clockwise);
    return frame;
}

// Reads the webcam's picture in either format.
struct WebcamPicture
{
    QByteArray bytes;
    int width = 0;
    int height = 0;
    bool yuyv = false;

    int y(int x, int row) const
    {
        const auto *base = reinterpret_cast<const uchar *>(bytes.constData());
        return yuyv ? base[(row * width + x) * 2] : base[row * width + x];
    }
    int u(int x, int row) const
    {
        const auto *base = reinterpret_cast<const uchar *>(bytes.constData());
        if (yuyv)
            return base[(row * width + (x & ~1)) * 2 + 1];
        return base[width * height + (row / 2) * (width / 2) + x / 2];
    }
};

using Points = QVector<QPoint>;

// The preview at its seam: what it was given last, its size and the luma at one point.
class RecordingPreview final : public PreviewOutput
{
public:
    struct Seen
    {
        QSize size;
        int markY = -1; // the luma at `at`, for a YUV420P picture
    };
    explicit RecordingPreview(QPoint at) : m_at(at) {}
    void attachWindow(WId) override {}
    void putLive(const OutputFrame &frame) override
    {
        const AVFrame *picture = frame.picture;
        if (!picture)
            return;
        Seen seen;
        seen.size = QSize(picture->width, picture->height);
        if (picture->format == AV_PIX_FMT_YUV420P && m_at.x() < picture->width &&
            m_at.y() < picture->height)
            seen.markY = picture->data[0][m_at.y() * picture->linesize[0] + m_at.x()];
        std::lock_guard<std::mutex> guard(m_lock);
        m_seen = seen;
        ++m_pictures;
    }
    void putCard(const OutputFrame &) override {}
    int pictures() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pictures;
    }
    Seen seen() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_seen;
    }

private:
    const QPoint m_at;
    mutable std::mutex m_lock;
    Seen m_seen;
    int m_pictures = 0;
};

} // namespace

class TestOrientation : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void portraitPublisherTurned_data();
    void portraitPublisherTurned();
    void displayMatrixHoldsForTheSession_data();
    void displayMatrixHoldsForTheSession();
    void previewShowsTheWebcamsPicture_data();
    void previewShowsTheWebcamsPicture();
    void combinedOrientation_data();
    void combinedOrientation();

private:
    WebcamPicture written(bool yuyv) const
    {
        return {m_io->device(kDevice).lastFrame, 1280, 720, yuyv};
    }

    std::shared_ptr<FakeV4l2Io> m_io;
};

void TestOrientation::init()
{
    qunsetenv("QUORVIX_VCAM_SIZE");
    qunsetenv("QUORVIX_VCAM_TAP");
    qputenv("QUORVIX_VCAM_DEVICE", kDevice);
    m_io = std::make_shared<FakeV4l2Io>();
    m_io->addLoopback(kDevice, "Quorvix");
}

void TestOrientation::cleanup()
{
    OutputBackends::setFactory_for_testing({});
    qunsetenv("QUORVIX_VCAM_DEVICE");
    QCOMPARE(m_io->openDescriptors(), 0);
}

// The 720x1280 picture on a 1280x720 webcam. Fitted upright it is 404x720 from x = 438, scaled
// by 0.5625 (the mark 36 pixels); turned a quarter it fills the webcam at 1:1 (the mark 64).
void TestOrientation::portraitPublisherTurned_data()
{
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<bool>("fill");
    QTest::addColumn<bool>("yuyv");
    QTest::addColumn<Points>("mark");  // where the marked corner shows
    QTest::addColumn<Points>("plain"); // the picture's other corners
    QTest::addColumn<Points>("bars");  // black
    const Points sideBars{{100, 360}, {1200, 360}, {430, 10}, {850, 710}};
    QTest::newRow("upright, fit") << 0 << false << false << false << Points{{450, 10}}
                                  << Points{{830, 10}, {450, 710}, {830, 710}} << sideBars;
    QTest::newRow("upright, mirror") << 0 << true << false << false << Points{{830, 10}}
                                     << Points{{450, 10}, {450, 710}, {830, 710}} << sideBars;
    QTest::newRow("180") << 180 << false << false << false << Points{{830, 710}}
                         << Points{{450, 10}, {830, 10}, {450, 710}} << sideBars;
    QTest::newRow("90 clockwise") << 90 << false << false << false << Points{{1270, 10}}
                                  << Points{{10, 10}, {10, 710}, {1270, 710}} << Points{};
    QTest::newRow("90 clockwise, mirror") << 90 << true << false << false << Points{{10, 10}}
                                          << Points{{1270, 10}, {10, 710}, {1270, 710}} << Points{};
    QTest::newRow("270 clockwise") << 270 << false << false << false << Points{{10, 710}}
                                   << Points{{10, 10}, {1270, 10}, {1270, 710}} << Points{};
    // Filling crops the middle 720x404 of the portrait picture: the mark is cut off, no bars.
    QTest::newRow("upright, fill")
        << 0 << false << true << false << Points{}
        << Points{{4, 4}, {1275, 4}, {4, 715}, {1275, 715}, {640, 360}} << Points{};
    QTest::newRow("YUYV, 90 clockwise") << 90 << false << false << true << Points{{1270, 10}}
                                        << Points{{10, 10}, {10, 710}, {1270, 710}} << Points{};
    QTest::newRow("YUYV, 180, mirror") << 180 << true << false << true << Points{{450, 710}}
                                       << Points{{450, 10}, {830, 10}, {830, 710}} << sideBars;
    QTest::newRow("YUYV, upright, fill") << 0 << false << true << true << Points{}
                                         << Points{{4, 4}, {1275, 715}, {640, 360}} << Points{};
}

void TestOrientation::portraitPublisherTurned()
{
    QFETCH(int, rotation);
    QFETCH(bool, mirror);
    QFETCH(bool, fill);
    QFETCH(bool, yuyv);
    QFETCH(Points, mark);
    QFETCH(Points, plain);
    QFETCH(Points, bars);

    V4l2Sink sink(m_io, kProbeMs);
    sink.init(QStringLiteral("Quorvix"));
    WebcamFormat format;
    format.pixels = yuyv ? WebcamFormat::Pixels::Yuyv : WebcamFormat::Pixels::I420;
    QVERIFY(sink.setFormat(format) != WebcamOutput::FormatChange::Held);
    QVERIFY(sink.deviceOpen());
    PictureOrientation orientation;
    orientation.rotation = rotation;
    orientation.mirror = mirror;
    orientation.fill = fill;
    sink.setOrientation(orientation);

    I420Picture portrait(720, 1280);
    markCorner(portrait);
    OutputFrame frame;
    frame.picture = portrait.frame();
    // Twice: the second picture must not keep anything of the first's geometry.
    for (int round = 0; round < 2; ++round) {
        sink.putLive(frame);
        const WebcamPicture out = written(yuyv);
        QCOMPARE(out.bytes.size(), int(format.frameBytes()));
        for (const QPoint &at : mark) {
            QVERIFY2(qAbs(out.y(at.x(), at.y()) - kMark) <= 3,
                     qPrintable(QString("mark Y(%1,%2)=%3")
                                    .arg(at.x())
                                    .arg(at.y())
                                    .arg(out.y(at.x(), at.y()))));
            QVERIFY2(qAbs(out.u(at.x(), at.y()) - kMarkU) <= 3,
                     qPrintable(QString("mark U at (%1,%2)=%3")
                                    .arg(at.x())
                                    .arg(at.y())
                                    .arg(out.u(at.x(), at.y()))));
        }
        for (const QPoint &at : plain) {
            QVERIFY2(
                qAbs(out.y(at.x(), at.y()) - kPlain) <= 3,
                qPrintable(
                    QString("Y(%1,%2)=%3").arg(at.x()).arg(at.y()).arg(out.y(at.x(), at.y()))));
            QVERIFY2(
                qAbs(out.u(at.x(), at.y()) - 128) <= 3,
                qPrintable(
                    QString("U at (%1,%2)=%3").arg(at.x()).arg(at.y()).arg(out.u(at.x(), at.y()))));
        }
        for (const QPoint &at : bars) {
            QCOMPARE(out.y(at.x(), at.y()), 16);
            QCOMPARE(out.u(at.x(), at.y()), 128);
        }
    }
    // The card is never turned: a 1280x720 card with its own mark in the top-left corner.
    I420Picture card(1280, 720);
    card.fill([](int x, int y) { return x < 64 && y < 64 ? kMark : kPlain; },
              [](int, int) { return 128; }, [](int, int) { return 128; });
    OutputFrame cardFrame;
    cardFrame.picture = card.frame();
    sink.putCard(cardFrame);
    const WebcamPicture shown = written(yuyv);
    QVERIFY(qAbs(shown.y(10, 10) - kMark) <= 3);
    QVERIFY(qAbs(shown.y(1270, 710) - kPlain) <= 3);
}

// The router takes the publisher's display matrix from the picture that carries it (an H.264
// camera sends it once) and turns the session's later pictures too, until the owner changes.
void TestOrientation::displayMatrixHoldsForTheSession_data()
{
    QTest::addColumn<double>("clockwise"); // in the display matrix
    QTest::addColumn<QPoint>("mark");
    QTest::newRow("clockwise") << 90.0 << QPoint(1270, 10);
    QTest::newRow("counter-clockwise") << -90.0 << QPoint(10, 710);
}

void TestOrientation::displayMatrixHoldsForTheSession()
{
    QFETCH(double, clockwise);
    QFETCH(QPoint, mark);
    std::shared_ptr<FakeV4l2Io> io = m_io;
    installWebcamOnlyBackends(io, kProbeMs);
    OutputRouter router(QStringLiteral("Quorvix"));
    router.setStreamLive(true);
    const AVFramePtr first = markedPicture(clockwise);
    QVERIFY(first);
    I420Picture later(720, 1280);
    markCorner(later);

    OutputFrame frame;
    frame.picture = first.get();
    router.sendFrame(frame);
    QTRY_COMPARE_WITH_TIMEOUT(m_io->device(kDevice).framesWritten, 1, 10000);
    QVERIFY(qAbs(written(false).y(mark.x(), mark.y()) - kMark) <= 3);
    // A later picture without the matrix: still turned.
    frame.picture = later.frame();
    router.sendFrame(frame);
    QTRY_COMPARE_WITH_TIMEOUT(m_io->device(kDevice).framesWritten, 2, 10000);
    QVERIFY(qAbs(written(false).y(mark.x(), mark.y()) - kMark) <= 3);

    // Another session: its pictures are upright unless they say otherwise.
    router.setStreamLive(false);
    router.setStreamLive(true);
    const int before = m_io->device(kDevice).framesWritten;
    router.sendFrame(frame);
    QTRY_VERIFY_WITH_TIMEOUT(m_io->device(kDevice).framesWritten > before &&
                                 qAbs(written(false).y(450, 10) - kMark) <= 3,
                             10000);
}

void TestOrientation::previewShowsTheWebcamsPicture_data()
{
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("withDevice");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("mark");
    // Upright and fitted: the camera's own picture, at its own size.
    QTest::newRow("upright") << 0 << true << QSize(720, 1280) << QPoint(10, 10);
    // Turned: the webcam's picture, also while there is no device to write it to.
    QTest::newRow("turned") << 90 << true << QSize(1280, 720) << QPoint(1270, 10);
    QTest::newRow("turned, no device") << 90 << false << QSize(1280, 720) << QPoint(1270, 10);
}

void TestOrientation::previewShowsTheWebcamsPicture()
{
    QFETCH(int, rotation);
    QFETCH(bool, withDevice);
    QFETCH(QSize, size);
    QFETCH(QPoint, mark);
    if (!withDevice)
        m_io->removeDevice(kDevice);
    std::shared_ptr<FakeV4l2Io> io = m_io;
    RecordingPreview *preview = nullptr;
    OutputBackends::setFactory_for_testing([io, mark, &preview](const QString &name) {
        OutputBackends backends;
        auto sink = std::make_unique<V4l2Sink>(io, kProbeMs);
        sink->init(name);
        backends.webcam = std::move(sink);
        auto recording = std::make_unique<RecordingPreview>(mark);
        preview = recording.get();
        backends.preview = std::move(recording);
        return backends;
    });
    OutputRouter router(QStringLiteral("Quorvix"));
    QVERIFY(preview);
    router.setPreviewWindow(WId(1));
    PictureOrientation orientation;
    orientation.rotation = rotation;
    router.setWebcamOrientation(orientation);
    router.setStreamLive(true);
    I420Picture portrait(720, 1280);
    markCorner(portrait);
    OutputFrame frame;
    frame.picture = portrait.frame();
    router.sendFrame(frame);
    QTRY_COMPARE_WITH_TIMEOUT(preview->pictures(), 1, 10000);
    QCOMPARE(preview->seen().size, size);
    QVERIFY2(qAbs(preview->seen().markY - kMark) <= 3,
             qPrintable(QString::number(preview->seen().markY)));
    router.setPreviewWindow(0);
}

// The user's choice comes after the publisher's: the rotations add up (or, after the
// publisher's mirror, count backwards), and the mirrors cancel.
void TestOrientation::combinedOrientation_data()
{
    QTest::addColumn<int>("publisherRotation");
    QTest::addColumn<bool>("publisherMirror");
    QTest::addColumn<int>("userRotation");
    QTest::addColumn<bool>("userMirror");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("mirror");
    QTest::newRow("nothing") << 0 << false << 0 << false << 0 << false;
    QTest::newRow("publisher only") << 90 << false << 0 << false << 90 << false;
    QTest::newRow("user only") << 0 << false << 270 << false << 270 << false;
    QTest::newRow("adding up") << 90 << false << 270 << false << 0 << false;
    QTest::newRow("user mirror after a quarter turn") << 90 << false << 0 << true << 90 << true;
    QTest::newRow("user turn after a mirror") << 90 << true << 270 << false << 180 << true;
    QTest::newRow("two mirrors cancel") << 0 << true << 0 << true << 0 << false;
    QTest::newRow("turn and mirror both undo each other") << 90 << true << 90 << true << 0 << false;
}

void TestOrientation::combinedOrientation()
{
    QFETCH(int, publisherRotation);
    QFETCH(bool, publisherMirror);
    QFETCH(int, userRotation);
    QFETCH(bool, userMirror);
    QFETCH(int, rotation);
    QFETCH(bool, mirror);
    PictureOrientation publisher;
    publisher.rotation = publisherRotation;
    publisher.mirror = publisherMirror;
    PictureOrientation user;
    user.rotation = userRotation;
    user.mirror = userMirror;
    user.fill = true;
    const PictureOrientation combined = user.after(publisher);
    QCOMPARE(combined.rotation, rotation);
    QCOMPARE(combined.mirror, mirror);
    QVERIFY(combined.fill);
    QCOMPARE(PictureOrientation::unpack(combined.pack()), combined);

    // A display matrix as FFmpeg writes it reads back as the same turn and mirror.
    int32_t matrix[9];
    av_display_rotation_set(matrix, publisherRotation);
    av_display_matrix_flip(matrix, publisherMirror ? 1 : 0, 0);
    const PictureOrientation read = PictureOrientation::fromDisplayMatrix(matrix);
    QCOMPARE(read.rotation, publisherRotation);
    QCOMPARE(read.mirror, publisherMirror);
}

QTEST_GUILESS_MAIN(TestOrientation)
#include "tst_orientation.moc"
