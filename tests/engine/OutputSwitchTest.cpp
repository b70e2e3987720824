#include "RecordingSink.h"
#include "engine/OutputSwitch.h"
#include "engine/Session.h"
#include "engine/WrappedPicture.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QtTest>

#include <memory>

namespace {

// Flat colours as YUV420P limited-range luma; compression keeps a flat picture within a few.
constexpr int kRedLuma = 81;
constexpr int kBlueLuma = 41;
constexpr int kLumaTolerance = 6;

bool near(int luma, int expected)
{
    return qAbs(luma - expected) <= kLumaTolerance;
}

// One intake with its own publisher of a flat colour, delivering through the shared switch.
struct Camera
{
    Camera(OutputSwitch &output, const QString &colour, const QString &rate, double seconds)
        : output(output)
    {
        manager = std::make_unique<Session>(nullptr);
        manager->setOutput(&output);
        QObject::connect(manager.get(), &Session::stopHandle, [this] { ended = true; });
        FfmpegPublisher::Options options;
        options.lavfiVideo = QStringLiteral("color=c=%1:s=320x240:r=%2").arg(colour, rate);
        options.rate = rate;
        options.durationS = seconds;
        publisher = std::make_unique<FfmpegPublisher>(options);
    }
    ~Camera()
    {
        publisher->stop();
        manager.reset();
    }
    bool start()
    {
        port = FreePort::loopback();
        manager->startListen(QStringLiteral("rtmp://127.0.0.1:%1").arg(port), port);
        // As the listener does when the camera connects.
        Session::Admission admission;
        admission.number = output.nextAdmission();
        manager->admit(admission);
        return FreePort::waitUntilListening(port, 10000) && publisher->start(port);
    }

    OutputSwitch &output;
    quint16 port = 0;
    bool ended = false;
    std::unique_ptr<Session> manager;
    std::unique_ptr<FfmpegPublisher> publisher;
};

} // namespace

// One session owns the output at a time: the rule on its own, and with real publishers.
class OutputSwitchTest : public QObject
{
    Q_OBJECT

private slots:
    void ownerIsTheNewestAdmission();
    void ownerChangesReachTheOutput();
    void twoCamerasNeverInterleave();
    void eachSessionOnItsOwnOutput();
};

void OutputSwitchTest::ownerIsTheNewestAdmission()
{
    RecordingSink sink;
    OutputSwitch output(&sink);
    int a = 0, b = 0, c = 0; // sessions are told apart by address
    const quint64 first = output.nextAdmission();
    const quint64 second = output.nextAdmission();
    const quint64 third = output.nextAdmission();
    QVERIFY(first < second && second < third);
    QCOMPARE(output.owner(), nullptr);

    // A session admitted later that starts delivering first keeps the output when the earlier
    // one starts.
    output.join(&b, second, 30, 1);
    QVERIFY(output.owns(&b));
    output.join(&a, first, 25, 1);
    QVERIFY(output.owns(&b));
    output.join(&c, third, 60, 1);
    QVERIFY(output.owns(&c));

    // Only the owner's frames get through.
    const uchar picture[6] = {1, 2, 3, 4, 5, 6};
    WrappedPicture wrapped;
    OutputFrame frame;
    frame.picture = wrapped.wrap(picture, 2, 2, 2);
    QVERIFY(!output.send(&a, frame));
    QVERIFY(!output.send(&b, frame));
    QVERIFY(output.send(&c, frame));
    QCOMPARE(sink.count(), 1);

    // The owner leaves: the newest of those left takes over, not the oldest; a session that
    // is not the owner leaving changes nothing; one that never joined is a no-op.
    output.leave(&c);
    QVERIFY(output.owns(&b));
    output.leave(&a);
    QVERIFY(output.owns(&b));
    int stranger = 0;
    output.leave(&stranger);
    QVERIFY(output.owns(&b));
    output.leave(&b);
    QCOMPARE(output.owner(), nullptr);
    QVERIFY(!output.send(&b, frame));
    QCOMPARE(sink.count(), 1);
}

void OutputSwitchTest::ownerChangesReachTheOutput()
{
    RecordingSink sink;
    OutputSwitch output(&sink);
    int a = 0, b = 0;
    const uchar picture[6] = {7, 7, 7, 7, 7, 7};
    WrappedPicture wrapped;
    OutputFrame frame;
    frame.picture = wrapped.wrap(picture, 2, 2, 2);
    output.join(&a, output.nextAdmission(), 25, 1);
    // Live only once the owner's first frame arrives; the rate is the owner's from the start.
    QVERIFY(!sink.live());
    QVERIFY(output.send(&a, frame));
    QVERIFY(sink.live());
    QCOMPARE(sink.lastPicture().rateNum, 25);
    QCOMPARE(sink.liveChanges(), 1);

    output.join(&b, output.nextAdmission(), 30000, 1001);
    QVERIFY(output.send(&b, frame));
    QCOMPARE(sink.last().rateNum, 30000);
    QCOMPARE(sink.last().rateDen, 1001);
    // The output heard of the new owner (it drops what it held of the old one).
    QCOMPARE(sink.liveChanges(), 2);

    output.leave(&b);
    QVERIFY(output.send(&a, frame));
    QCOMPARE(sink.lastPicture().rateNum, 25);
    QCOMPARE(sink.liveChanges(), 3);
    output.leave(&a);
    QVERIFY(!sink.live()); // the card returns
}

void OutputSwitchTest::twoCamerasNeverInterleave()
{
    if (!FfmpegPublisher::available())
        QFAIL("the ffmpeg command-line tool is needed as the RTMP publisher");
    RecordingSink sink;
    OutputSwitch output(&sink);

    // The first camera (red, 25 fps) streams alone, then a second (blue, 30 fps) joins for a
    // few seconds and leaves while the first goes on.
    Camera first(output, QStringLiteral("red"), QStringLiteral("25"), 14);
    QVERIFY(first.start());
    QTRY_VERIFY_WITH_TIMEOUT(sink.count() > 10 && near(sink.lastPicture().luma, kRedLuma), 20000);
    QCOMPARE(sink.lastPicture().rateNum, 25);

    Camera second(output, QStringLiteral("blue"), QStringLiteral("30"), 4);
    QVERIFY(second.start());
    QTRY_VERIFY_WITH_TIMEOUT(near(sink.lastPicture().luma, kBlueLuma), 20000);
    QVERIFY(first.manager->isRunning());
    // The first camera comes back, at its own rate, without the card in between.
    QTRY_VERIFY_WITH_TIMEOUT(near(sink.lastPicture().luma, kRedLuma), 10000);
    const int backAt = sink.count();
    QTRY_VERIFY_WITH_TIMEOUT(sink.count() > backAt + 10, 10000);
    QVERIFY(sink.live());

    // One run of red, one of blue, one of red: the two never interleave, and each frame
    // carries its owner's rate.
    const QList<RecordingSink::Frame> frames = sink.frames();
    QStringList runs;
    int blue = 0;
    for (const RecordingSink::Frame &frame : frames) {
        // Sound goes out on its own between pictures.
        if (frame.luma < 0)
            continue;
        const bool isRed = near(frame.luma, kRedLuma);
        const bool isBlue = near(frame.luma, kBlueLuma);
        QVERIFY2(isRed || isBlue, qPrintable(QString::number(frame.luma)));
        QCOMPARE(frame.rateNum, isRed ? 25 : 30);
        blue += isBlue ? 1 : 0;
        const QString colour = isRed ? QStringLiteral("red") : QStringLiteral("blue");
        if (runs.isEmpty() || runs.last() != colour)
            runs << colour;
    }
    QCOMPARE(runs,
             (QStringList{QStringLiteral("red"), QStringLiteral("blue"), QStringLiteral("red")}));
    QVERIFY2(blue > 60, qPrintable(QString::number(blue)));

    // Only when both have left does the card return.
    QTRY_VERIFY_WITH_TIMEOUT(first.ended, 30000);
    QVERIFY(!sink.live());
}

void OutputSwitchTest::eachSessionOnItsOwnOutput()
{
    RecordingSink first;
    RecordingSink second;
    OutputSwitch output({&first, &second}, OutputSwitch::Mode::EachOwnWebcam);
    int a = 0, b = 0, c = 0;
    const uchar picture[6] = {7, 7, 7, 7, 7, 7};
    WrappedPicture wrapped;
    OutputFrame frame;
    frame.picture = wrapped.wrap(picture, 2, 2, 2);
    output.join(&a, output.nextAdmission(), 25, 1);
    output.join(&b, output.nextAdmission(), 30, 1);
    output.join(&c, output.nextAdmission(), 50, 1);
    QCOMPARE(output.outputOf(&a), 0);
    QCOMPARE(output.outputOf(&b), 1);
    QVERIFY(!output.owns(&c));
    QCOMPARE(output.waiting(), (std::vector<const void *>{&c}));

    // Each owner's frames reach its own output, at its own rate; the waiting one's nowhere.
    QVERIFY(output.send(&a, frame));
    QVERIFY(output.send(&b, frame));
    QVERIFY(!output.send(&c, frame));
    QCOMPARE(first.count(), 1);
    QCOMPARE(second.count(), 1);
    QCOMPARE(first.lastPicture().rateNum, 25);
    QCOMPARE(second.lastPicture().rateNum, 30);
    // Each camera's pictures wait for its own microphone's delay; the waiting one's for the
    // largest, which it may get.
    first.audioDelayMs = 20;
    second.audioDelayMs = 80;
    QCOMPARE(output.audioOutputDelayMs(&a), 20);
    QCOMPARE(output.audioOutputDelayMs(&b), 80);
    QCOMPARE(output.audioOutputDelayMs(&c), 80);

    // The first leaves: the waiting one takes its output, the other output is untouched.
    output.leave(&a);
    QCOMPARE(output.outputOf(&c), 0);
    QVERIFY(output.send(&c, frame));
    QCOMPARE(first.lastPicture().rateNum, 50);
    QCOMPARE(second.liveChanges(), 1);
    // Nobody left to take it: the card returns on that output only.
    output.leave(&b);
    QVERIFY(!second.live());
    QVERIFY(first.live());

    // Other outputs: the old ones hear nothing more, the session joined is assigned afresh.
    RecordingSink replacement;
    output.reconfigure({&replacement}, OutputSwitch::Mode::NewestOwnsOne);
    const int before = first.count();
    QVERIFY(output.owns(&c));
    QVERIFY(output.send(&c, frame));
    QCOMPARE(first.count(), before);
    QCOMPARE(replacement.count(), 1);
    QCOMPARE(replacement.lastPicture().rateNum, 50);
}

QTEST_GUILESS_MAIN(OutputSwitchTest)
#include "OutputSwitchTest.moc"
