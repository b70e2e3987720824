// VCam against the recording fake of the output adapter: call sequence, log texts, the
// properties record and which output gets which frame with which wait value.

#include "LogCapture.h"
#include "output/VCam.h"
#include "support/RecordingOutput.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

// An I420 picture with `stride` bytes per luma row, every byte a function of its offset.
std::vector<uchar> makePicture(int width, int height, int stride)
{
    std::vector<uchar> picture(
        static_cast<size_t>(stride * height + 2 * (stride / 2) * ((height + 1) / 2)));
    Q_UNUSED(width);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<uchar>(i * 7 + 3);
    return picture;
}

int indexOf(const QStringList &calls, const QString &call)
{
    return static_cast<int>(calls.indexOf(call));
}

} // namespace

class TestVCam : public QObject
{
    Q_OBJECT

private slots:
    void initCreatesEverythingInOrder();
    void setUpFailureStopsLaterSteps_data();
    void setUpFailureStopsLaterSteps();
    void ndiMissingKeepsWebcamAndPreview();
    void ndiDeviceSelection_data();
    void ndiDeviceSelection();
    void liveFrameRecord();
    void liveFrameWithoutAudio();
    void frameRateInRecord();
    void webcamAvailableFromSink();
    void routing_data();
    void routing();
    void failingPutDoesNotStarveOthers_data();
    void failingPutDoesNotStarveOthers();
    void cardStopsWhileStreamActive();
    void previewWindowSwitching();
    void missingReceiversAreSkipped();
    void releasesFramesAndObjectsInOrder();
    void destructionWaitsForSendUnderWay();
};

void TestVCam::initCreatesEverythingInOrder()
{
    LogCapture log;
    RecordingOutput output;
    {
        VCam cam(QStringLiteral("Quorvix"), nullptr);
        const QList<RecordingOutput::Creation> made = output.creations();
        QCOMPARE(made.size(), 4);
        const MFGuid classes[] = {kCLSID_MFFactory, kCLSID_MFSink, kCLSID_MFPreview,
                                  kCLSID_MFNdiRenderer};
        const MFGuid interfaces[] = {kIID_IMFFactory, kIID_IMFSink, kIID_IMFPreview,
                                     kIID_IMFDevice};
        for (int i = 0; i < 4; ++i) {
            QVERIFY(made[i].clsid == classes[i]);
            QVERIFY(made[i].iid == interfaces[i]);
            QCOMPARE(made[i].clsContext, 0x17u);
            QVERIFY(made[i].outerNull);
            QVERIFY(made[i].result >= 0);
        }
        const QStringList expected = {
            QStringLiteral("sink.init Quorvix Quorvix 0"),
            QStringLiteral("preview.setup \"\" 1 1"),
            QStringLiteral("ndi.count 0"),
            QStringLiteral("ndi.name 0 0"),
            QStringLiteral("ndi.set 0 0 \"\""),
            QStringLiteral("ndi.props line-out Quorvix"),
        };
        QCOMPARE(output.calls(), expected);
        QVERIFY(log.criticals().isEmpty());
        QCOMPARE(log.count(QStringLiteral("VCam successfully init")), 1);
        QCOMPARE(log.count(QStringLiteral("PROPS SET SUCCESSFULL")), 1);
        QCOMPARE(log.count(QStringLiteral(" ENUM: \"NDI Renderer\"")), 1);
    }
}

void TestVCam::setUpFailureStopsLaterSteps_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("creations");
    QTest::addColumn<QString>("message");
    QTest::newRow("factory") << 0 << 1 << "ERROR: failed to create MFFactory";
    QTest::newRow("sink") << 1 << 2 << "ERROR: failed to create MFSink";
    QTest::newRow("sink init") << 2 << 2 << "ERROR: failed to MFSink init";
}

void TestVCam::setUpFailureStopsLaterSteps()
{
    QFETCH(int, step);
    QFETCH(int, creations);
    QFETCH(QString, message);
    LogCapture log;
    RecordingOutput output;
    if (step == 0)
        output.failCreate(kCLSID_MFFactory);
    else if (step == 1)
        output.failCreate(kCLSID_MFSink);
    else
        output.setSinkInitResult(kMfFail);

    VCam cam(QStringLiteral("Quorvix"), nullptr);
    QCOMPARE(output.creations().size(), creations);
    QCOMPARE(log.criticals(),
             QStringList{QStringLiteral("void __cdecl VCam::init(class QString) ") + message});
    QCOMPARE(log.count(QStringLiteral("VCam successfully init")), 0);

    // Neither preview nor NDI exists: sending reaches neither, and nothing crashes.
    cam.m_ndiEnabled = true;
    cam.setPreviewWindow(42);
    const std::vector<uchar> picture = makePicture(16, 16, 16);
    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    cam.m_streamActive = false;
    cam.sendStub(picture.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 0);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 0);
    QVERIFY(!output.calls().contains(QStringLiteral("preview.attach 42")));
    if (step == 0)
        QCOMPARE(output.framesCreated(), 0);
}

void TestVCam::ndiMissingKeepsWebcamAndPreview()
{
    LogCapture log;
    RecordingOutput output;
    output.failCreate(kCLSID_MFNdiRenderer);
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    QCOMPARE(log.criticals(), QStringList{QStringLiteral(
                                  "void __cdecl VCam::initNDI(void) ERROR: failed to create NDI")});
    QCOMPARE(log.count(QStringLiteral("VCam successfully init")), 1);

    cam.m_ndiEnabled = true;
    cam.setPreviewWindow(42);
    const std::vector<uchar> picture = makePicture(32, 18, 32);
    cam.sendFrame(picture.data(), 0, 32, 18, 32, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 0);
}

void TestVCam::ndiDeviceSelection_data()
{
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<int>("countResult");
    QTest::addColumn<int>("setResult");
    QTest::addColumn<int>("propsResult");
    QTest::addColumn<QString>("setCall");
    QTest::addColumn<QString>("critical");
    const QStringList other = {QStringLiteral("NDI Source A"), QStringLiteral("ndi renderer")};
    QTest::newRow("not enumerated") << other << kMfOk << kMfOk << kMfOk << QString() << QString();
    QTest::newRow("second of three")
        << QStringList{QStringLiteral("A"), QStringLiteral("NDI Renderer"), QStringLiteral("C")}
        << kMfOk << kMfOk << kMfOk << QStringLiteral("ndi.set 0 1 \"\"") << QString();
    QTest::newRow("count fails")
        << QStringList{QStringLiteral("NDI Renderer")} << kMfFail << kMfOk << kMfOk << QString()
        << QStringLiteral("bool __cdecl setMFDevice(class ATL::CComPtr<struct IMFDevice>,enum "
                          "eMFDeviceType,class QString) DeviceGetCount FAILED");
    QTest::newRow("set fails")
        << QStringList{QStringLiteral("NDI Renderer")} << kMfOk << kMfFail << kMfOk
        << QStringLiteral("ndi.set 0 0 \"\"")
        << QStringLiteral("bool __cdecl setMFDevice(class ATL::CComPtr<struct IMFDevice>,enum "
                          "eMFDeviceType,class QString) DeviceSet FAILED");
    QTest::newRow("line-out refused")
        << QStringList{QStringLiteral("NDI Renderer")} << kMfOk << kMfOk << kMfFail
        << QStringLiteral("ndi.set 0 0 \"\"")
        << QStringLiteral("void __cdecl VCam::initNDI(void) set line-in FAILED:");
}

void TestVCam::ndiDeviceSelection()
{
    QFETCH(QStringList, devices);
    QFETCH(int, countResult);
    QFETCH(int, setResult);
    QFETCH(int, propsResult);
    QFETCH(QString, setCall);
    QFETCH(QString, critical);
    LogCapture log;
    RecordingOutput output;
    output.setNdiDevices(devices);
    output.setDeviceCountResult(countResult);
    output.setDeviceSetResult(setResult);
    output.setPropsSetResult(propsResult);
    VCam cam(QStringLiteral("Quorvix"), nullptr);

    const QStringList calls = output.calls();
    QStringList sets = calls.filter(QStringLiteral("ndi.set"));
    QCOMPARE(sets, setCall.isEmpty() ? QStringList() : QStringList{setCall});
    if (countResult >= 0) {
        // Every name up to the match is logged.
        const int upTo = devices.indexOf(QStringLiteral("NDI Renderer"));
        const int logged = upTo < 0 ? devices.size() : upTo + 1;
        for (int i = 0; i < logged; ++i)
            QCOMPARE(log.count(QStringLiteral(" ENUM: \"%1\"").arg(devices[i])), 1);
        QCOMPARE(log.count(QStringLiteral(" ENUM:")), logged);
    } else {
        QCOMPARE(log.count(QStringLiteral(" ENUM:")), 0);
    }
    if (critical.isEmpty())
        QVERIFY(log.criticals().isEmpty());
    else {
        QCOMPARE(log.criticals().size(), 1);
        QVERIFY2(log.criticals().first().startsWith(critical), qPrintable(log.criticals().first()));
    }
    QCOMPARE(log.count(QStringLiteral("PROPS SET SUCCESSFULL")), propsResult < 0 ? 0 : 1);
    // Initialisation went on in every case: the property was set and the receiver is used.
    QVERIFY(calls.contains(QStringLiteral("ndi.props line-out Quorvix")));
    const std::vector<uchar> picture = makePicture(16, 16, 16);
    cam.sendStub(picture.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 1);
}

void TestVCam::liveFrameRecord()
{
    RecordingOutput output;
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    const int width = 64, height = 36, stride = 80, samples = 10, channels = 2;
    const std::vector<uchar> picture = makePicture(width, height, stride);
    std::vector<qint16> audio(samples * channels);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] =
            static_cast<qint16>(i % 2 ? -1000 - static_cast<int>(i) : 1000 + static_cast<int>(i));
    output.clear();
    cam.sendFrame(picture.data(), 0, width, height, stride, audio.data(), samples, 48000, channels);

    QVERIFY(cam.m_streamActive.load());
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    const RecordingOutput::Frame frame = output.frames(RecordingOutput::Sink).first();
    QCOMPARE(frame.fcc, 0x30323449);
    QCOMPARE(frame.width, width);
    QCOMPARE(frame.height, height);
    QCOMPARE(frame.rowBytes, stride);
    QCOMPARE(frame.channels, 2);
    QCOMPARE(frame.sampleRate, 48000);
    QCOMPARE(frame.bitsPerSample, 16);
    QVERIFY(frame.audioAdded);
    QCOMPARE(frame.audioBytes, samples * channels * 2);
    QCOMPARE(frame.samples, QVector<qint16>(audio.begin(), audio.end()));
    QCOMPARE(frame.picture, QByteArray(reinterpret_cast<const char *>(picture.data()),
                                       static_cast<int>(picture.size())));
    QVERIFY(output.calls().contains(QStringLiteral("frame.addAudio 40")));
    QVERIFY(output.calls().contains(QStringLiteral("factory.create 0 0 \"\"")));

    // Nothing but the named fields (and the frame rate, 30/1 until set) is written in the
    // 2144-byte record.
    MFFrameProps expected;
    std::memset(&expected, 0, sizeof expected);
    expected.video.fcc = 0x30323449;
    expected.video.width = width;
    expected.video.height = height;
    expected.video.rowBytes = stride;
    expected.video.rateNum = 30;
    expected.video.rateDen = 1;
    expected.audio.channels = 2;
    expected.audio.sampleRate = 48000;
    expected.audio.bitsPerSample = 16;
    QVERIFY(std::memcmp(&frame.props, &expected, sizeof expected) == 0);

    // Another pixel format leaves the colour format 0.
    output.clear();
    cam.sendFrame(picture.data(), 3, width, height, stride, nullptr, 0, 0, 0);
    QCOMPARE(output.frames(RecordingOutput::Sink).first().fcc, 0);
}

void TestVCam::liveFrameWithoutAudio()
{
    RecordingOutput output;
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(32, 18, 32);
    std::vector<qint16> audio(8, 1234);
    cam.sendFrame(picture.data(), 0, 32, 18, 32, audio.data(), 4, 44100, 2);
    output.clear();
    // The record is zero-filled again: the audio of the previous frame does not linger.
    cam.sendFrame(picture.data(), 0, 32, 18, 32, nullptr, 4, 44100, 2);
    const RecordingOutput::Frame frame = output.frames(RecordingOutput::Sink).first();
    QCOMPARE(frame.channels, 0);
    QCOMPARE(frame.sampleRate, 0);
    QCOMPARE(frame.bitsPerSample, 0);
    QVERIFY(!frame.audioAdded);
    QVERIFY(output.calls().filter(QStringLiteral("addAudio")).isEmpty());
}

void TestVCam::frameRateInRecord()
{
    RecordingOutput output;
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(32, 18, 32);
    const auto lastRate = [&output] {
        const RecordingOutput::Frame frame = output.frames(RecordingOutput::Sink).last();
        const uchar *bytes = reinterpret_cast<const uchar *>(&frame.props);
        qint32 num = 0;
        qint32 den = 0;
        std::memcpy(&num, bytes + 20, 4); // offsets backends read the rate at
        std::memcpy(&den, bytes + 24, 4);
        return qMakePair(num, den);
    };

    // 29.97 fps stays the exact fraction, not a rounded integer.
    cam.setFrameRate(30000, 1001);
    cam.sendFrame(picture.data(), 0, 32, 18, 32, nullptr, 0, 0, 0);
    QCOMPARE(lastRate(), qMakePair(30000, 1001));
    // Terms that are not positive are ignored; the last good rate stays.
    cam.setFrameRate(0, 1);
    cam.setFrameRate(25, -1);
    cam.sendFrame(picture.data(), 0, 32, 18, 32, nullptr, 0, 0, 0);
    QCOMPARE(lastRate(), qMakePair(30000, 1001));
    cam.setFrameRate(2147483647, 2147483646);
    cam.sendFrame(picture.data(), 0, 32, 18, 32, nullptr, 0, 0, 0);
    QCOMPARE(lastRate(), qMakePair(2147483647, 2147483646));

    // Card frames carry no rate: the card has its own timer.
    cam.m_streamActive.store(false);
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
    for (int i = 0; i < 200; ++i) {
        output.clear();
        cam.sendFrame(picture.data(), 0, 32, 18, 32, nullptr, 0, 0, 0);
        const QPair<qint32, qint32> rate = lastRate();
        if (rate != qMakePair(60000, 1001) && rate != qMakePair(25, 1) &&
            rate != qMakePair(2147483647, 2147483646)) {
            stop.store(true);
            setter.join();
            QFAIL(qPrintable(QString("torn rate %1/%2").arg(rate.first).arg(rate.second)));
        }
    }
    stop.store(true);
    setter.join();
}

void TestVCam::webcamAvailableFromSink()
{
    RecordingOutput output;
    {
        VCam cam(QStringLiteral("Quorvix"), nullptr);
        QVERIFY(cam.webcamAvailable());
        output.setWebcamAvailable(false);
        QVERIFY(!cam.webcamAvailable());
        output.setWebcamAvailable(true);
        QVERIFY(cam.webcamAvailable());
    }
    // A sink that failed to initialise is no webcam, whatever it would say.
    output.setSinkInitResult(kMfFail);
    VCam failed(QStringLiteral("Quorvix"), nullptr);
    QVERIFY(!failed.webcamAvailable());
}

void TestVCam::routing_data()
{
    QTest::addColumn<bool>("ndi");
    QTest::addColumn<bool>("preview");
    QTest::newRow("sink only") << false << false;
    QTest::newRow("ndi") << true << false;
    QTest::newRow("preview") << false << true;
    QTest::newRow("ndi and preview") << true << true;
}

void TestVCam::routing()
{
    QFETCH(bool, ndi);
    QFETCH(bool, preview);
    RecordingOutput output;
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    cam.m_ndiEnabled = ndi;
    if (preview)
        cam.setPreviewWindow(99);
    const std::vector<uchar> picture = makePicture(16, 16, 16);

    // Card first: sink and NDI whatever the NDI mode, never the preview, wait 0.
    output.clear();
    cam.sendStub(picture.data(), 16, 16);
    QStringList puts = output.calls().filter(QStringLiteral(".put"));
    QCOMPARE(puts, (QStringList{QStringLiteral("sink.put 0"), QStringLiteral("ndi.put 0")}));
    const RecordingOutput::Frame card = output.frames(RecordingOutput::Sink).first();
    QCOMPARE(card.rowBytes, 0);
    QCOMPARE(card.fcc, kMfFccI420);
    QCOMPARE(card.width, 16);
    QCOMPARE(card.channels, 0);

    // Live frame: sink -1, NDI -1 when on, preview 0 when attached; one frame object for all.
    output.clear();
    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    QStringList expected = {QStringLiteral("sink.put -1")};
    if (ndi)
        expected << QStringLiteral("ndi.put -1");
    if (preview)
        expected << QStringLiteral("preview.put 0");
    QCOMPARE(output.calls().filter(QStringLiteral(".put")), expected);
    QCOMPARE(output.framesCreated(), 1);
    for (const RecordingOutput::Frame &frame : output.frames())
        QCOMPARE(frame.sequence, output.frames().first().sequence);
}

void TestVCam::failingPutDoesNotStarveOthers_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QString>("liveMessage");
    QTest::addColumn<QString>("cardMessage");
    QTest::newRow("sink throws") << int(RecordingOutput::Sink) << int(RecordingOutput::PutThrows)
                                 << "VCam Sink send frame failed"
                                 << "VCam Sink send frame failed";
    QTest::newRow("ndi throws") << int(RecordingOutput::Ndi) << int(RecordingOutput::PutThrows)
                                << "NDI Ssend frame failed"
                                << " NDI send frame failed";
    QTest::newRow("preview throws")
        << int(RecordingOutput::Preview) << int(RecordingOutput::PutThrows)
        << " Preview send frame failed" << QString();
    QTest::newRow("sink fails") << int(RecordingOutput::Sink) << int(RecordingOutput::PutFails)
                                << QString() << QString();
}

void TestVCam::failingPutDoesNotStarveOthers()
{
    QFETCH(int, target);
    QFETCH(int, behaviour);
    QFETCH(QString, liveMessage);
    QFETCH(QString, cardMessage);
    LogCapture log;
    RecordingOutput output;
    output.setPutBehaviour(RecordingOutput::Target(target),
                           RecordingOutput::PutBehaviour(behaviour));
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    cam.m_ndiEnabled = true;
    cam.setPreviewWindow(5);
    const std::vector<uchar> picture = makePicture(16, 16, 16);

    cam.sendStub(picture.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 1);
    if (!cardMessage.isEmpty())
        QCOMPARE(log.lines().filter(cardMessage).size(), 1);

    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 2);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 2);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 1);
    if (!liveMessage.isEmpty())
        QVERIFY(log.lines().contains(liveMessage));
    else
        QVERIFY(log.lines().filter(QStringLiteral("send frame failed")).isEmpty());
    // The frame was released despite the exception.
    QCOMPARE(output.liveObjects(), 4);
}

void TestVCam::cardStopsWhileStreamActive()
{
    RecordingOutput output;
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> card = makePicture(16, 16, 16);
    const std::vector<uchar> live = makePicture(32, 18, 32);
    cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);
    cam.sendFrame(live.data(), 0, 32, 18, 32, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 2);
    for (int i = 0; i < 3; ++i)
        cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 2);
    QCOMPARE(output.framesCreated(), 2);

    // The stream engine reports the end of the stream: the card is back.
    cam.m_streamActive = false;
    cam.sendStub(card.data(), 16, 16);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 3);
    QCOMPARE(output.frames(RecordingOutput::Sink).last().width, 16);
}

void TestVCam::previewWindowSwitching()
{
    RecordingOutput output;
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(16, 16, 16);
    output.clear();

    cam.setPreviewWindow(0);
    QVERIFY(output.calls().isEmpty());
    QVERIFY(!cam.m_previewEnabled.load());

    cam.setPreviewWindow(77);
    QCOMPARE(output.calls(), QStringList{QStringLiteral("preview.attach 77")});
    QVERIFY(cam.m_previewEnabled.load());
    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 1);

    // Off: no adapter call, no more preview frames.
    output.clear();
    cam.setPreviewWindow(0);
    QVERIFY(output.calls().isEmpty());
    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 0);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 1);

    // On again: the window is attached again.
    cam.setPreviewWindow(77);
    QVERIFY(output.calls().contains(QStringLiteral("preview.attach 77")));
    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 1);
}

void TestVCam::missingReceiversAreSkipped()
{
    RecordingOutput output;
    output.refuseReceiver(RecordingOutput::Preview);
    output.refuseReceiver(RecordingOutput::Ndi);
    VCam cam(QStringLiteral("Quorvix"), nullptr);
    cam.m_ndiEnabled = true;
    cam.setPreviewWindow(3);
    const std::vector<uchar> picture = makePicture(16, 16, 16);
    cam.sendStub(picture.data(), 16, 16);
    cam.sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    QCOMPARE(output.frameCount(RecordingOutput::Sink), 2);
    QCOMPARE(output.frameCount(RecordingOutput::Ndi), 0);
    QCOMPARE(output.frameCount(RecordingOutput::Preview), 0);
}

void TestVCam::releasesFramesAndObjectsInOrder()
{
    RecordingOutput output;
    auto cam = std::make_unique<VCam>(QStringLiteral("Quorvix"), nullptr);
    QCOMPARE(output.liveObjects(), 4);
    const std::vector<uchar> picture = makePicture(16, 16, 16);
    cam->m_ndiEnabled = true;
    cam->setPreviewWindow(1);
    for (int i = 0; i < 5; ++i) {
        cam->sendStub(picture.data(), 16, 16);
        cam->sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0);
    }
    QCOMPARE(output.liveObjects(), 4);
    output.clear();
    cam.reset();
    QCOMPARE(output.liveObjects(), 0);
    QCOMPARE(output.calls().filter(QStringLiteral(".released")),
             (QStringList{QStringLiteral("ndi.released"), QStringLiteral("preview.released"),
                          QStringLiteral("factory.released"), QStringLiteral("sink.released")}));
}

void TestVCam::destructionWaitsForSendUnderWay()
{
    RecordingOutput output;
    output.holdPuts(RecordingOutput::Sink);
    auto *cam = new VCam(QStringLiteral("Quorvix"), nullptr);
    const std::vector<uchar> picture = makePicture(16, 16, 16);

    std::thread sender([&] { cam->sendFrame(picture.data(), 0, 16, 16, 16, nullptr, 0, 0, 0); });
    QVERIFY(output.waitForHeldPut());
    std::thread destroyer([&] { delete cam; });
    // Whatever the destroyer has reached, the sink is still alive while its put is held.
    QVERIFY(!output.calls().contains(QStringLiteral("sink.released")));
    output.releaseHeldPuts();
    sender.join();
    destroyer.join();

    const QStringList calls = output.calls();
    QVERIFY(indexOf(calls, QStringLiteral("sink.done")) >= 0);
    QVERIFY(indexOf(calls, QStringLiteral("sink.done")) <
            indexOf(calls, QStringLiteral("sink.released")));
    QCOMPARE(output.liveObjects(), 0);
}

QTEST_MAIN(TestVCam)
#include "tst_vcam.moc"
