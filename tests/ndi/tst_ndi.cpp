// The NDI renderer over a stand-in NDI runtime built by the suite (libndi.so.6 / libndi.so.5),
// loaded from the folders the NDI_RUNTIME_DIR_* variables name; the runtime records every call
// and frame it gets. Most cases drive the renderer itself; the rest run OutputRouter over the real
// backends, with the webcam on the fake v4l2 device and the preview on a real widget.

#include "FakeV4l2Io.h"
#include "../support/I420Frame.h"
#include "../support/PlanarAudio.h"
#include "../support/SolidPicture.h"
#include "I420Picture.h"
#include "tests/support/LogCapture.h"
#include "output/NdiRenderer.h"
#include "output/OutputBackends.h"
#include "output/QtPreviewRenderer.h"
#include "output/V4l2Sink.h"
#include "output/OutputRouter.h"

#include <QtTest>
#include <QWidget>

#include <cmath>
#include <dlfcn.h>
#include <thread>
#include <vector>

namespace {

constexpr char kLogVariable[] = "QUORVIX_FAKE_NDI_LOG";
// The webcam's device: a path no real device has, so the real sink OutputRouter's default backends
// build beside the fake one finds nothing.
constexpr char kDevice[] = "/nonexistent/quorvix-ndi-webcam";

// One recorded call: its name and its key=value fields.
struct Call
{
    QString name;
    QMap<QString, QString> fields;
    QString operator[](const QString &key) const { return fields.value(key); }
};

quint64 fnv1a(quint64 hash, const uchar *data, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

// Checksum of the visible picture, the way a receiver of the documented I420 layout sees it.
QString visibleChecksum(I420Picture &picture)
{
    quint64 hash = 14695981039346656037ull;
    for (int row = 0; row < picture.height; ++row)
        hash = fnv1a(hash, picture.y() + row * picture.stride, picture.width);
    for (uchar *plane : {picture.u(), picture.v()})
        for (int row = 0; row < picture.chromaHeight(); ++row)
            hash = fnv1a(hash, plane + row * picture.chromaStride(), (picture.width + 1) / 2);
    return QStringLiteral("%1").arg(hash, 16, 16, QLatin1Char('0'));
}

// A frame pointing at `picture`, with `audio` when given.
OutputFrame frameOf(const I420Picture &picture, const PlanarAudio *audio = nullptr,
                    int sampleRate = 48000, int channels = 2, int rateNum = 0, int rateDen = 0)
{
    OutputFrame frame;
    frame.picture = picture.frame();
    frame.rateNum = rateNum;
    frame.rateDen = rateDen;
    if (audio) {
        frame.audio = audio->planes();
        frame.channels = channels;
        frame.samples = audio->frames();
        frame.sampleRate = sampleRate;
    }
    return frame;
}

// The renderer over the runtime the environment names, named "Quorvix".
std::unique_ptr<NdiRenderer> makeRenderer()
{
    std::unique_ptr<NdiRenderer> renderer = createNdiRenderer();
    if (renderer && !renderer->setSourceName(QStringLiteral("Quorvix")))
        return nullptr;
    return renderer;
}

bool systemHasNdiRuntime()
{
    for (const char *name : {"libndi.so.6", "libndi.so.5"}) {
        if (void *handle = dlopen(name, RTLD_LAZY | RTLD_LOCAL)) {
            dlclose(handle);
            return true;
        }
    }
    return false;
}

} // namespace

class TestNdi : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sourceNamedAfterTheProduct();
    void renamedSourceComesBackUnderItsNewName();
    void liveFrameWithAudio();
    void fractionalRateAndMonoAudio();
    void unusableFramesAreDropped();
    void anyFormatReachesNdi_data();
    void anyFormatReachesNdi();
    void ndiModeOffKeepsCardOnly();
    void liveAndCardFromTwoThreads();
    void soundAndRenameDoNotWaitForAPictureSend();
    void destructionDestroysSenderAndUnloads();
    void missingRuntimeKeepsWebcamAndPreview();
    void highestMajorWins_data();
    void highestMajorWins();
    void libraryWithoutEntryPointIsSkipped();
    void runtimeRefusingTheCpu();
    void senderRefusedIsSurvived();

private:
    QList<Call> calls(const QString &name = QString()) const;
    void installBackends();
    void sendLive(OutputRouter &cam, I420Picture &picture,
                  const std::vector<qint16> *audio = nullptr, int sampleRate = 48000,
                  int channels = 2);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_logPath;
    std::shared_ptr<FakeV4l2Io> m_io;
    QtPreviewRenderer *m_preview = nullptr; // kept alive by the OutputRouter under test
    bool m_ndiCreated = false;              // the last OutputRouter got an NDI backend
};

void TestNdi::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_logPath = m_dir->filePath(QStringLiteral("ndi-calls.txt"));
    qputenv(kLogVariable, QFile::encodeName(m_logPath));
    qputenv("NDI_RUNTIME_DIR_V6", FAKE_NDI_DIR6);
    qunsetenv("NDI_RUNTIME_DIR_V5");
    qunsetenv("QUORVIX_FAKE_NDI_REFUSE_INIT");
    qunsetenv("QUORVIX_FAKE_NDI_REFUSE_SENDER");
    m_preview = nullptr;
    m_ndiCreated = false;
    installBackends();
}

void TestNdi::cleanup()
{
    OutputBackends::setFactory_for_testing({});
    if (m_io)
        QCOMPARE(m_io->openDescriptors(), 0);
    m_io.reset();
    qunsetenv(kLogVariable);
    m_dir.reset();
}

// OutputRouter's default backends, except that the webcam's device calls go to the fake device.
void TestNdi::installBackends()
{
    m_io = std::make_shared<FakeV4l2Io>();
    m_io->addLoopback(QString::fromLatin1(kDevice), "Quorvix");
    qputenv("QUORVIX_VCAM_DEVICE", kDevice);
    qunsetenv("QUORVIX_VCAM_TAP");
    std::shared_ptr<FakeV4l2Io> io = m_io;
    OutputBackends::setFactory_for_testing([this, io](const QString &name) {
        OutputBackends backends = OutputBackends::createDefault(name);
        auto webcam = std::make_unique<V4l2Sink>(io);
        webcam->init(name);
        backends.webcam = std::move(webcam);
        m_preview = dynamic_cast<QtPreviewRenderer *>(backends.preview.get());
        m_ndiCreated = backends.ndi != nullptr;
        return backends;
    });
}

QList<Call> TestNdi::calls(const QString &name) const
{
    QList<Call> result;
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QStringList parts = QString::fromUtf8(line).split(QLatin1Char(' '));
        if (parts.first().isEmpty() || (!name.isEmpty() && parts.first() != name))
            continue;
        Call call;
        call.name = parts.first();
        for (int i = 1; i < parts.size(); ++i) {
            const int eq = parts[i].indexOf(QLatin1Char('='));
            call.fields.insert(parts[i].left(eq), parts[i].mid(eq + 1));
        }
        result << call;
    }
    return result;
}

void TestNdi::sendLive(OutputRouter &cam, I420Picture &picture, const std::vector<qint16> *audio,
                       int sampleRate, int channels)
{
    const int samples = audio ? static_cast<int>(audio->size()) / channels : 0;
    const qint64 shown = cam.statistics().picturesShown;
    sendI420(cam, picture.data.data(), picture.width, picture.height, picture.stride,
             audio ? audio->data() : nullptr, samples, sampleRate, channels);
    // The picture goes out on the output's video-out thread: wait until it has.
    QTRY_VERIFY_WITH_TIMEOUT(cam.statistics().picturesShown > shown, 5000);
}

void TestNdi::sourceNamedAfterTheProduct()
{
    LogCapture log;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QVERIFY(m_ndiCreated);
    QCOMPARE(log.count(QStringLiteral("NDI: runtime loaded: " FAKE_NDI_DIR6 "/libndi.so.6")), 1);
    QCOMPARE(log.count(QStringLiteral("(Fake NDI 6.0.0)")), 1);
    QVERIFY(log.criticals().isEmpty());
    // The source appears with the first frame, not before.
    QCOMPARE(calls(QStringLiteral("initialize")).size(), 1);
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 0);

    I420Picture card(1280, 720);
    card.solid(16, 128, 128);
    for (int i = 0; i < 3; ++i)
        cam.sendStub(card.data.data(), 1280, 720);
    const QList<Call> created = calls(QStringLiteral("send_create"));
    QCOMPARE(created.size(), 1);
    QCOMPARE(created[0][QStringLiteral("name")], QStringLiteral("Quorvix"));
    QCOMPARE(created[0][QStringLiteral("groups")], QStringLiteral("(null)"));
    // Quorvix paces its frames itself: the runtime must not clock them.
    QCOMPARE(created[0][QStringLiteral("clock_video")], QStringLiteral("0"));
    QCOMPARE(created[0][QStringLiteral("clock_audio")], QStringLiteral("0"));
    QCOMPARE(calls(QStringLiteral("video")).size(), 3);
    QCOMPARE(log.count(QStringLiteral("NDI: source created: Quorvix")), 1);
}

void TestNdi::renamedSourceComesBackUnderItsNewName()
{
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    I420Picture card(64, 36);
    card.solid(16, 128, 128);
    ndi->putCard(frameOf(card));
    // An empty name is refused and changes nothing.
    QVERIFY(!ndi->setSourceName(QString()));
    ndi->putCard(frameOf(card));
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 1);

    QVERIFY(ndi->setSourceName(QString::fromUtf8("Quorvix-\xc3\xa9")));
    QCOMPARE(calls(QStringLiteral("send_destroy")).size(), 0); // with the next frame
    ndi->putCard(frameOf(card));
    const QList<Call> created = calls(QStringLiteral("send_create"));
    QCOMPARE(created.size(), 2);
    QCOMPARE(calls(QStringLiteral("send_destroy")).size(), 1);
    QCOMPARE(calls(QStringLiteral("send_destroy"))[0][QStringLiteral("sender")],
             created[0][QStringLiteral("sender")]);
    QCOMPARE(created[1][QStringLiteral("name")], QString::fromUtf8("Quorvix-\xc3\xa9")); // UTF-8
    QCOMPARE(calls(QStringLiteral("video")).size(), 3);
    QCOMPARE(ndi->framesSent(), 3);
}

void TestNdi::liveFrameWithAudio()
{
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    // Padded rows (line size 1344 for 1280 pixels) and a picture where every plane varies.
    I420Picture picture(1280, 720, 1344);
    picture.fill([](int x, int y) { return (x * 3 + y * 7) & 0xFF; },
                 [](int x, int y) { return (x + 2 * y) & 0xFF; },
                 [](int x, int y) { return (255 - x - y) & 0xFF; });
    // 20 ms of stereo at 48 kHz, both extremes and a ramp, the channels different.
    std::vector<qint16> audio(960 * 2);
    for (int i = 0; i < 960; ++i) {
        audio[2 * i] = static_cast<qint16>(i * 34 - 16000);
        audio[2 * i + 1] = static_cast<qint16>(-i);
    }
    audio[0] = -32768;
    audio[1] = 32767;
    const PlanarAudio planar(audio, 2);
    ndi->putLive(frameOf(picture, &planar));

    const QList<Call> video = calls(QStringLiteral("video"));
    QCOMPARE(video.size(), 1);
    QCOMPARE(video[0][QStringLiteral("xres")], QStringLiteral("1280"));
    QCOMPARE(video[0][QStringLiteral("yres")], QStringLiteral("720"));
    QCOMPARE(video[0][QStringLiteral("fourcc")].toInt(), 0x30323449); // "I420"
    QCOMPARE(video[0][QStringLiteral("stride")], QStringLiteral("1344"));
    QCOMPARE(video[0][QStringLiteral("rate")], QStringLiteral("30/1")); // none given
    QCOMPARE(video[0][QStringLiteral("format")], QStringLiteral("1"));  // progressive
    QCOMPARE(video[0][QStringLiteral("aspect")], QStringLiteral("0"));
    QCOMPARE(video[0][QStringLiteral("metadata")], QStringLiteral("0"));
    QCOMPARE(video[0][QStringLiteral("timecode")].toLongLong(), INT64_MAX); // synthesized
    QCOMPARE(video[0][QStringLiteral("checksum")], visibleChecksum(picture));
    QCOMPARE(video[0][QStringLiteral("ymid")].toInt(), (640 * 3 + 360 * 7) & 0xFF);
    QCOMPARE(video[0][QStringLiteral("umid")].toInt(), (320 + 2 * 180) & 0xFF);
    QCOMPARE(video[0][QStringLiteral("vmid")].toInt(), (255 - 320 - 180) & 0xFF);

    const QList<Call> sound = calls(QStringLiteral("audio"));
    QCOMPARE(sound.size(), 1);
    QCOMPARE(sound[0][QStringLiteral("rate")], QStringLiteral("48000"));
    QCOMPARE(sound[0][QStringLiteral("channels")], QStringLiteral("2"));
    QCOMPARE(sound[0][QStringLiteral("samples")], QStringLiteral("960"));
    QCOMPARE(sound[0][QStringLiteral("stride")], QStringLiteral("3840")); // planar float
    const QStringList values = sound[0][QStringLiteral("values")].split(QLatin1Char(','));
    QCOMPARE(values.size(), 1920);
    // Planar: the whole left channel, then the whole right one; full scale is 1.0.
    QString wrong;
    for (int channel = 0; channel < 2 && wrong.isEmpty(); ++channel)
        for (int i = 0; i < 960 && wrong.isEmpty(); ++i) {
            const double expected = audio[2 * i + channel] / 32768.0;
            const double got = values[channel * 960 + i].toDouble();
            if (std::fabs(got - expected) > 1e-6)
                wrong = QStringLiteral("channel %1 sample %2: %3, expected %4")
                            .arg(channel)
                            .arg(i)
                            .arg(got)
                            .arg(expected);
        }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QCOMPARE(values[0].toDouble(), -1.0);
    QVERIFY(values[960].toDouble() > 0.9999 && values[960].toDouble() < 1.0);

    // A live frame without audio sends no audio.
    ndi->putLive(frameOf(picture));
    QCOMPARE(calls(QStringLiteral("video")).size(), 2);
    QCOMPARE(calls(QStringLiteral("audio")).size(), 1);
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 1);
    QCOMPARE(ndi->framesSent(), 2);
}

void TestNdi::fractionalRateAndMonoAudio()
{
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    I420Picture picture(640, 360);
    picture.solid(81, 90, 240);
    std::vector<qint16> mono(1470);
    for (size_t i = 0; i < mono.size(); ++i)
        mono[i] = static_cast<qint16>(std::lround(12000 * std::sin(i * 0.0627)));

    const PlanarAudio planarMono(mono, 1);
    ndi->putLive(frameOf(picture, &planarMono, 44100, 1, 30000, 1001));
    ndi->putLive(frameOf(picture, nullptr, 0, 0, 60000, 1001));
    ndi->putLive(frameOf(picture, nullptr, 0, 0, 25, 1));
    // Half a rate is no rate: the fallback.
    ndi->putLive(frameOf(picture, nullptr, 0, 0, 25, 0));
    const QList<Call> video = calls(QStringLiteral("video"));
    QCOMPARE(video.size(), 4);
    QCOMPARE(video[0][QStringLiteral("rate")], QStringLiteral("30000/1001"));
    QCOMPARE(video[1][QStringLiteral("rate")], QStringLiteral("60000/1001"));
    QCOMPARE(video[2][QStringLiteral("rate")], QStringLiteral("25/1"));
    QCOMPARE(video[3][QStringLiteral("rate")], QStringLiteral("30/1"));
    QCOMPARE(video[0][QStringLiteral("stride")], QStringLiteral("640"));

    const QList<Call> sound = calls(QStringLiteral("audio"));
    QCOMPARE(sound.size(), 1);
    QCOMPARE(sound[0][QStringLiteral("rate")], QStringLiteral("44100"));
    QCOMPARE(sound[0][QStringLiteral("channels")], QStringLiteral("1"));
    QCOMPARE(sound[0][QStringLiteral("samples")], QStringLiteral("1470"));
    const QStringList values = sound[0][QStringLiteral("values")].split(QLatin1Char(','));
    QCOMPARE(values.size(), 1470);
    for (int i : {0, 1, 25, 700, 1469})
        QVERIFY(std::fabs(values[i].toDouble() - mono[i] / 32768.0) < 1e-6);
}

void TestNdi::unusableFramesAreDropped()
{
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    I420Picture picture(64, 36);
    picture.solid(81, 90, 240);
    I420Picture narrow(64, 36);
    narrow.stride = 32; // shorter than a row
    ndi->putLive(frameOf(narrow));
    OutputFrame noPicture = frameOf(picture);
    noPicture.picture = nullptr;
    ndi->putCard(noPicture);
    const I420Picture empty(64, 0);
    ndi->putLive(frameOf(empty));
    QCOMPARE(ndi->framesDropped(), 3);
    QVERIFY(calls(QStringLiteral("video")).isEmpty());

    // Audio the renderer will not allocate for is left out; the picture still goes.
    std::vector<qint16> many(17 * 4, 100);
    const PlanarAudio planarMany(many, 17);
    ndi->putLive(frameOf(picture, &planarMany, 48000, 17));
    QCOMPARE(calls(QStringLiteral("video")).size(), 1);
    QCOMPARE(calls(QStringLiteral("audio")).size(), 0);
    QCOMPARE(ndi->framesSent(), 1);
}

void TestNdi::anyFormatReachesNdi_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("backToBack");
    QTest::addColumn<int>("fourCc");
    QTest::addColumn<int>("stride");
    QTest::addColumn<bool>("converted");
    QTest::addColumn<QVector<int>>("yuvIn");
    QTest::addColumn<QVector<int>>("yuvOut"); // the middle pixel as NDI gets it (not for UYVY)
    const QVector<int> colour{81, 90, 240};
    QTest::newRow("nv12 as it is")
        << int(AV_PIX_FMT_NV12) << true << 0x3231564E << 640 << false << colour << QVector<int>{81};
    QTest::newRow("uyvy as it is") << int(AV_PIX_FMT_UYVY422) << true << 0x59565955 << 1280 << false
                                   << colour << QVector<int>{};
    QTest::newRow("nv12 planes apart: converted")
        << int(AV_PIX_FMT_NV12) << false << 0x30323449 << 640 << true << colour << colour;
    QTest::newRow("yuv422p: converted")
        << int(AV_PIX_FMT_YUV422P) << true << 0x30323449 << 640 << true << colour << colour;
    // Full range: 16 + 200 * 219 / 255, 128 - 64 * 224 / 255, 128 + 64 * 224 / 255.
    QTest::newRow("yuvj420p: converted to limited range")
        << int(AV_PIX_FMT_YUVJ420P) << true << 0x30323449 << 640 << true
        << QVector<int>{200, 64, 192} << QVector<int>{188, 72, 184};
}

void TestNdi::anyFormatReachesNdi()
{
    QFETCH(int, format);
    QFETCH(bool, backToBack);
    QFETCH(int, fourCc);
    QFETCH(int, stride);
    QFETCH(bool, converted);
    QFETCH(QVector<int>, yuvIn);
    QFETCH(QVector<int>, yuvOut);
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    const AVFramePtr picture = solidPicture(static_cast<AVPixelFormat>(format), 640, 360, yuvIn[0],
                                            yuvIn[1], yuvIn[2], backToBack);
    QVERIFY(picture);
    OutputFrame frame;
    frame.picture = picture.get();
    // Twice: the conversion's buffers and context are made once for the geometry.
    ndi->putLive(frame);
    ndi->putLive(frame);
    const QList<Call> video = calls(QStringLiteral("video"));
    QCOMPARE(video.size(), 2);
    QCOMPARE(video[1][QStringLiteral("xres")], QStringLiteral("640"));
    QCOMPARE(video[1][QStringLiteral("yres")], QStringLiteral("360"));
    QCOMPARE(video[1][QStringLiteral("fourcc")].toInt(), fourCc);
    QCOMPARE(video[1][QStringLiteral("stride")].toInt(), stride);
    QCOMPARE(ndi->conversions(), converted ? 2 : 0);
    const char *names[] = {"ymid", "umid", "vmid"};
    for (int i = 0; i < yuvOut.size(); ++i)
        QVERIFY2(qAbs(video[1][QLatin1String(names[i])].toInt() - yuvOut[i]) <= 2,
                 qPrintable(video[1][QLatin1String(names[i])]));
}

void TestNdi::ndiModeOffKeepsCardOnly()
{
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QVERIFY(m_ndiCreated);
    I420Picture card(1280, 720);
    card.solid(180, 100, 60);
    I420Picture live(1920, 1080);
    live.solid(50, 150, 110);
    std::vector<qint16> audio(1600 * 2, 1000);

    // NDI mode off (the default): the card goes to NDI all the same, with the fallback rate.
    cam.sendStub(card.data.data(), 1280, 720);
    QList<Call> video = calls(QStringLiteral("video"));
    QCOMPARE(video.size(), 1);
    QCOMPARE(video[0][QStringLiteral("xres")], QStringLiteral("1280"));
    QCOMPARE(video[0][QStringLiteral("stride")], QStringLiteral("1280")); // packed card rows
    QCOMPARE(video[0][QStringLiteral("rate")], QStringLiteral("30/1"));
    QCOMPARE(video[0][QStringLiteral("checksum")], visibleChecksum(card));

    // Live frames: the webcam gets them, NDI neither picture nor sound.
    for (int i = 0; i < 5; ++i)
        sendLive(cam, live, &audio);
    QCOMPARE(calls(QStringLiteral("video")).size(), 1);
    QCOMPARE(calls(QStringLiteral("audio")).size(), 0);
    QVERIFY(m_io->device(QString::fromLatin1(kDevice)).framesWritten >= 5);

    // NDI mode on: live frames go to NDI too.
    cam.setNdiEnabled(true);
    sendLive(cam, live, &audio);
    video = calls(QStringLiteral("video"));
    QCOMPARE(video.size(), 2);
    QCOMPARE(video[1][QStringLiteral("xres")], QStringLiteral("1920"));
    QCOMPARE(calls(QStringLiteral("audio")).size(), 1);

    // Off again, and the stream ends: the card comes back to NDI, live frames do not.
    cam.setNdiEnabled(false);
    sendLive(cam, live, &audio);
    QCOMPARE(calls(QStringLiteral("video")).size(), 2);
    cam.setStreamLive(false);
    cam.sendStub(card.data.data(), 1280, 720);
    video = calls(QStringLiteral("video"));
    QCOMPARE(video.size(), 3);
    QCOMPARE(video[2][QStringLiteral("checksum")], visibleChecksum(card));
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 1);
}

void TestNdi::liveAndCardFromTwoThreads()
{
    constexpr int kLiveFrames = 150;
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    I420Picture live(640, 360);
    live.fill([](int x, int y) { return (x ^ y) & 0xFF; }, [](int x, int) { return x & 0xFF; },
              [](int, int y) { return y & 0xFF; });
    I420Picture card(320, 180);
    card.solid(16, 128, 128);
    std::vector<qint16> audio(1601 * 2);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<qint16>(i * 11);
    const PlanarAudio planar(audio, 2);

    // The delivery thread sends live frames while the card timer keeps sending, so both meet
    // in the NDI sender: a live frame waits for a card under way, a card meeting a live frame
    // is dropped.
    std::atomic<bool> done{false};
    std::thread delivery([&] {
        for (int i = 0; i < kLiveFrames; ++i)
            ndi->putLive(frameOf(live, &planar, 48000, 2, 30000, 1001));
        done.store(true);
    });
    int cardsTried = 0;
    while (!done.load()) {
        ndi->putCard(frameOf(card));
        ++cardsTried;
    }
    delivery.join();

    // Every live frame arrived whole, with its rate and its sound; no card came out torn.
    int liveSeen = 0;
    int cardsSeen = 0;
    const QString liveSum = visibleChecksum(live);
    const QString cardSum = visibleChecksum(card);
    for (const Call &call : calls(QStringLiteral("video"))) {
        if (call[QStringLiteral("xres")] == QLatin1String("640")) {
            ++liveSeen;
            QCOMPARE(call[QStringLiteral("checksum")], liveSum);
            QCOMPARE(call[QStringLiteral("rate")], QStringLiteral("30000/1001"));
        } else {
            ++cardsSeen;
            QCOMPARE(call[QStringLiteral("checksum")], cardSum);
            QCOMPARE(call[QStringLiteral("rate")], QStringLiteral("30/1"));
        }
    }
    QCOMPARE(liveSeen, kLiveFrames);
    const QList<Call> sound = calls(QStringLiteral("audio"));
    QCOMPARE(sound.size(), kLiveFrames);
    for (const Call &call : sound)
        QCOMPARE(call[QStringLiteral("samples")], QStringLiteral("1601"));
    QVERIFY(cardsTried > 0);
    // Each card was either sent or counted as dropped; live frames are never dropped.
    QCOMPARE(ndi->framesSent(), qint64(kLiveFrames + cardsSeen));
    QCOMPARE(ndi->framesDropped(), qint64(cardsTried - cardsSeen));
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 1);
}

void TestNdi::soundAndRenameDoNotWaitForAPictureSend()
{
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    void *runtime = dlopen(FAKE_NDI_DIR6 "/libndi.so.6", RTLD_LAZY | RTLD_NOLOAD);
    QVERIFY(runtime);
    const auto hold = reinterpret_cast<void (*)(int)>(dlsym(runtime, "fakeNdiHoldVideo"));
    const auto held = reinterpret_cast<int (*)()>(dlsym(runtime, "fakeNdiVideoHeld"));
    dlclose(runtime); // the renderer keeps its own reference
    QVERIFY(hold && held);

    I420Picture live(320, 180);
    live.solid(81, 90, 240);
    ndi->putLive(frameOf(live)); // the sender exists before the slow send

    std::vector<qint16> audio(480 * 2, 1000);
    const PlanarAudio planar(audio, 2);
    OutputFrame sound;
    sound.audio = planar.planes();
    sound.channels = 2;
    sound.samples = planar.frames();
    sound.sampleRate = 48000;

    // A picture's send stalls in the runtime (a slow network); the sound and a rename from
    // other threads meanwhile return at once instead of waiting behind it.
    hold(1);
    std::thread video([&] { ndi->putLive(frameOf(live)); });
    QTRY_COMPARE_WITH_TIMEOUT(held(), 1, 10000);
    for (int i = 0; i < 5; ++i)
        ndi->putLive(sound);
    QVERIFY(ndi->setSourceName(QStringLiteral("Quorvix-2")));
    const int stillHeld = held();
    hold(0);
    video.join();
    QCOMPARE(stillHeld, 1);
    QCOMPARE(calls(QStringLiteral("audio")).size(), 5);

    // The next picture brings the source back under its new name.
    ndi->putLive(frameOf(live));
    const QList<Call> created = calls(QStringLiteral("send_create"));
    QCOMPARE(created.size(), 2);
    QCOMPARE(created.last()[QStringLiteral("name")], QStringLiteral("Quorvix-2"));
    QCOMPARE(ndi->framesSent(), qint64(3 + 5));
    QCOMPARE(ndi->framesDropped(), qint64(0));
}

void TestNdi::destructionDestroysSenderAndUnloads()
{
    {
        std::unique_ptr<NdiRenderer> ndi = makeRenderer();
        QVERIFY(ndi);
        I420Picture card(320, 180);
        card.solid(16, 128, 128);
        ndi->putCard(frameOf(card));
        QCOMPARE(calls(QStringLiteral("send_create")).size(), 1);
        // Loaded while the renderer lives.
        void *handle = dlopen(FAKE_NDI_DIR6 "/libndi.so.6", RTLD_LAZY | RTLD_NOLOAD);
        QVERIFY(handle);
        dlclose(handle);
    }
    QStringList order;
    for (const Call &call : calls())
        order << call.name;
    QCOMPARE(order, QStringList({"load", "initialize", "send_create", "video", "send_destroy",
                                 "destroy", "unload"}));
    QCOMPARE(calls(QStringLiteral("send_destroy"))[0][QStringLiteral("sender")],
             calls(QStringLiteral("send_create"))[0][QStringLiteral("sender")]);
    QCOMPARE(calls(QStringLiteral("destroy"))[0][QStringLiteral("live_senders")],
             QStringLiteral("0"));
    const Call unload = calls(QStringLiteral("unload"))[0];
    QCOMPARE(unload[QStringLiteral("live_senders")], QStringLiteral("0"));
    QCOMPARE(unload[QStringLiteral("initialised")], QStringLiteral("0"));
    QVERIFY(!dlopen(FAKE_NDI_DIR6 "/libndi.so.6", RTLD_LAZY | RTLD_NOLOAD));

    // The output object's renderer goes with it, and the next one loads the runtime afresh.
    {
        OutputRouter again(QStringLiteral("Quorvix"), nullptr);
        QVERIFY(m_ndiCreated);
        QCOMPARE(calls(QStringLiteral("load")).size(), 2);
    }
    QCOMPARE(calls(QStringLiteral("unload")).size(), 2);
}

void TestNdi::missingRuntimeKeepsWebcamAndPreview()
{
    if (systemHasNdiRuntime())
        QSKIP("an NDI runtime is installed on this system");
    QTemporaryDir empty6;
    QTemporaryDir empty5;
    qputenv("NDI_RUNTIME_DIR_V6", QFile::encodeName(empty6.path()));
    qputenv("NDI_RUNTIME_DIR_V5", QFile::encodeName(empty5.path()));
    LogCapture log;
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QVERIFY(!m_ndiCreated);
    QCOMPARE(log.criticals().size(), 1);
    QCOMPARE(log.count(QStringLiteral("NDI: no runtime found")), 1);
    const QString why = log.lines().filter(QStringLiteral("NDI: no runtime found")).first();
    QVERIFY2(why.contains(QStringLiteral("NDI_RUNTIME_DIR_V6=") + empty6.path()), qPrintable(why));
    QVERIFY2(why.contains(QStringLiteral("NDI_RUNTIME_DIR_V5=") + empty5.path()), qPrintable(why));
    QVERIFY(why.contains(QStringLiteral("libndi.so.6")));
    QVERIFY(why.contains(QStringLiteral("install the NDI runtime")));
    QVERIFY(calls().isEmpty());

    // The webcam and the preview work as ever.
    QVERIFY(cam.webcamAvailable());
    QWidget widget;
    widget.resize(320, 180);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    cam.setPreviewWindow(widget.winId());
    cam.setNdiEnabled(true);
    I420Picture card(1280, 720);
    card.solid(16, 128, 128);
    cam.sendStub(card.data.data(), 1280, 720);
    I420Picture live(1280, 720);
    live.solid(81, 90, 240);
    std::vector<qint16> audio(1600 * 2, -5);
    sendLive(cam, live, &audio);
    const FakeV4l2Io::Device device = m_io->device(QString::fromLatin1(kDevice));
    QCOMPARE(device.framesWritten, 2);
    const PackedI420 out{reinterpret_cast<const uchar *>(device.lastFrame.constData()), 1280, 720};
    QCOMPARE(out.y(640, 360), 81);
    QVERIFY(m_preview);
    QTRY_COMPARE(m_preview->framesShown(), qint64(1));
    QVERIFY(calls().isEmpty());
}

void TestNdi::highestMajorWins_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::newRow("both in NDI_RUNTIME_DIR_V6") << QByteArray("NDI_RUNTIME_DIR_V6");
    QTest::newRow("both in NDI_RUNTIME_DIR_V5") << QByteArray("NDI_RUNTIME_DIR_V5");
}

void TestNdi::highestMajorWins()
{
    QFETCH(QByteArray, variable);
    // libndi.so.5 and libndi.so.6 side by side in one folder.
    QTemporaryDir both;
    QVERIFY(
        QFile::copy(FAKE_NDI_DIR5 "/libndi.so.5", both.filePath(QStringLiteral("libndi.so.5"))));
    QVERIFY(
        QFile::copy(FAKE_NDI_DIR6 "/libndi.so.6", both.filePath(QStringLiteral("libndi.so.6"))));
    qunsetenv("NDI_RUNTIME_DIR_V6");
    qputenv(variable.constData(), QFile::encodeName(both.path()));
    LogCapture log;
    {
        std::unique_ptr<NdiRenderer> ndi = makeRenderer();
        QVERIFY(ndi);
        QCOMPARE(log.count(QStringLiteral("NDI: runtime loaded: ") + both.path() +
                           QStringLiteral("/libndi.so.6 (Fake NDI 6.0.0)")),
                 1);
        const QList<Call> loads = calls(QStringLiteral("load"));
        QCOMPARE(loads.size(), 1);
        QCOMPARE(loads[0][QStringLiteral("major")], QStringLiteral("6"));
    }
    // With only the 5 there, the 5 is taken.
    QVERIFY(QFile::remove(both.filePath(QStringLiteral("libndi.so.6"))));
    {
        std::unique_ptr<NdiRenderer> ndi = makeRenderer();
        QVERIFY(ndi);
        QCOMPARE(log.count(QStringLiteral("NDI: runtime loaded: ") + both.path() +
                           QStringLiteral("/libndi.so.5 (Fake NDI 5.6.0)")),
                 1);
        I420Picture card(64, 36);
        card.solid(16, 128, 128);
        ndi->putCard(frameOf(card));
        QCOMPARE(calls(QStringLiteral("video")).size(), 1);
    }
    QCOMPARE(calls(QStringLiteral("unload")).size(), 2);
}

void TestNdi::libraryWithoutEntryPointIsSkipped()
{
    // A libndi.so.6 that is not a usable runtime is passed over for the 5 in the other folder.
    qputenv("NDI_RUNTIME_DIR_V6", FAKE_NDI_DIR_INCOMPLETE);
    qputenv("NDI_RUNTIME_DIR_V5", FAKE_NDI_DIR5);
    LogCapture log;
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    QCOMPARE(log.count(QStringLiteral("NDI: runtime loaded: " FAKE_NDI_DIR5 "/libndi.so.5")), 1);
    QVERIFY(log.criticals().isEmpty());
    QStringList loaded;
    for (const Call &call : calls())
        if (call.name == QLatin1String("load") || call.name == QLatin1String("unload"))
            loaded << call.name + call[QStringLiteral("major")];
    // The incomplete 6 came and went before the 5 was initialised.
    QCOMPARE(loaded, QStringList({"load6", "unload6", "load5"}));
    QVERIFY(!dlopen(FAKE_NDI_DIR_INCOMPLETE "/libndi.so.6", RTLD_LAZY | RTLD_NOLOAD));

    // Nothing usable at all: no renderer, and the reason names the file and what it lacks.
    qunsetenv("NDI_RUNTIME_DIR_V5");
    if (systemHasNdiRuntime())
        return;
    log.clear();
    QVERIFY(!createNdiRenderer());
    QCOMPARE(
        log.count(QStringLiteral(FAKE_NDI_DIR_INCOMPLETE "/libndi.so.6: not an NDI runtime (no "
                                                         "NDIlib_send_send_audio_v2)")),
        1);
}

void TestNdi::runtimeRefusingTheCpu()
{
    qputenv("QUORVIX_FAKE_NDI_REFUSE_INIT", "1");
    qputenv("NDI_RUNTIME_DIR_V5", FAKE_NDI_DIR5);
    LogCapture log;
    QVERIFY(!createNdiRenderer());
    QCOMPARE(log.count(QStringLiteral("cannot run on this CPU")), 1);
    QCOMPARE(log.count(QStringLiteral("NDI: runtime loaded")), 0);
    // Not retried with the 5: the same CPU would be refused again. Unloaded, never destroyed.
    QStringList order;
    for (const Call &call : calls())
        order << call.name;
    QCOMPARE(order, QStringList({"load", "initialize", "unload"}));
}

void TestNdi::senderRefusedIsSurvived()
{
    qputenv("QUORVIX_FAKE_NDI_REFUSE_SENDER", "1");
    LogCapture log;
    std::unique_ptr<NdiRenderer> ndi = makeRenderer();
    QVERIFY(ndi);
    I420Picture live(320, 180);
    live.solid(81, 90, 240);
    for (int i = 0; i < 10; ++i)
        ndi->putLive(frameOf(live));
    // Asked once, then left alone for a while rather than on every frame; logged once.
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 1);
    QCOMPARE(calls(QStringLiteral("video")).size(), 0);
    QCOMPARE(log.count(QStringLiteral("NDI: the runtime refused to create the source Quorvix")), 1);
    QCOMPARE(ndi->framesDropped(), 10);

    // Once the runtime agrees, the source comes up at the next attempt.
    qunsetenv("QUORVIX_FAKE_NDI_REFUSE_SENDER");
    QTRY_VERIFY_WITH_TIMEOUT(
        (ndi->putLive(frameOf(live)), calls(QStringLiteral("video")).size() > 0), 15000);
    QCOMPARE(calls(QStringLiteral("send_create")).size(), 2);
}

QTEST_MAIN(TestNdi)
#include "tst_ndi.moc"
