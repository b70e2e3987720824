// Continuous sound from the microphone through the whole program, as calls hear it: an SRT
// camera whose TS muxer sends its sound in bursts of several AAC frames (ffmpeg straight, and
// through srt-live-transmit), recorders that join a running session, leave and join again,
// and both beside two busy processes. Real PipeWire, pw-record and parecord.
#include "MicrophoneRig.h"
#include "TakeMeasure.h"
#include "support/BusyProcesses.h"

#include <QtTest>

#include <climits>
#include <cmath>
#include <memory>

namespace {

using Transport = MicrophoneRig::Transport;

const QStringList kRecorders = {QStringLiteral("pw-record"), QStringLiteral("parecord")};
// The first sound of a take may be the recorder's own start (a fade, a partial quantum).
constexpr double kSettleSeconds = 0.1;
constexpr double kTakeSeconds = 3.0;

// The takes' tone at the publisher's pitch (+-2 Hz) and level (+-1 dB) on both sides, with
// the description of every take in *what. *fewest is the least number of interruptions (gaps
// of more than one period, TakeMeasure::kGapThreshold, and broken periods, which also catch a
// cut that leaves no silence) in any take. A gap or a cut of the microphone is in every
// recording of it, so the take with fewest bounds the microphone's own: a recorder that itself
// falls behind on a busy machine loses a period that the other recorder keeps. A cycle the
// server itself missed for the recorders (the whole machine stalled while the microphone's node
// was on time) shifts their takes at once: two interruptions are allowed per such cycle, as a
// shift that falls across a zero crossing breaks the periods on both sides of it.
bool toneHeld(const QStringList &paths, double minSeconds, int *fewest, QString *what)
{
    *fewest = INT_MAX;
    bool held = true;
    for (const QString &path : paths) {
        TakeMeasure take;
        QString error;
        if (!take.load(path, kSettleSeconds, minSeconds, &error)) {
            *what += error + QLatin1Char('\n');
            return false;
        }
        qInfo().noquote() << take.describe();
        *what += take.describe() + QLatin1Char('\n');
        held = held && take.channels.size() == 2;
        for (const TakeMeasure::Channel &channel : take.channels) {
            held = held && std::abs(channel.tone.frequencyHz - MicrophoneRig::kToneHz) <= 2.0;
            // Gaps lower the level of the stretch; a sanitizer build's are not held against it.
            if (MicrophoneRig::kRealTime || channel.gapsMs.isEmpty())
                held = held && std::abs(channel.tone.rmsDbfs - MicrophoneRig::toneRmsDbfs()) <= 1.0;
        }
        *fewest = std::min(*fewest, take.interruptions());
    }
    return held;
}

} // namespace

class MicrophoneContinuity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void srtCameraSoundPlaysWhole_data();
    void srtCameraSoundPlaysWhole();
    void recordersJoiningAndLeavingHearNoCut_data();
    void recordersJoiningAndLeavingHearNoCut();

private:
    std::unique_ptr<MicrophoneRig> m_rig;
};

void MicrophoneContinuity::initTestCase()
{
    const QString missing = MicrophoneRig::missing(Transport::Rtmp);
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: ") + missing));
}

void MicrophoneContinuity::init()
{
    m_rig = std::make_unique<MicrophoneRig>();
    QVERIFY(m_rig->valid());
}

void MicrophoneContinuity::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << QString::fromUtf8(m_rig->log()).right(6000);
    m_rig.reset();
}

void MicrophoneContinuity::srtCameraSoundPlaysWhole_data()
{
    QTest::addColumn<int>("transport");
    QTest::addColumn<int>("busy");
    QTest::newRow("ffmpeg, default TS muxing") << int(Transport::Srt) << 0;
    QTest::newRow("ffmpeg, default TS muxing, two busy processes") << int(Transport::Srt) << 2;
    QTest::newRow("srt-live-transmit fed by ffmpeg") << int(Transport::SrtLiveTransmit) << 0;
}

// An SRT camera whose sound comes a few AAC frames per packet, up to ~0.3 s at once, is heard
// whole: both recorders hear the tone at its pitch and level without a gap or a cut.
void MicrophoneContinuity::srtCameraSoundPlaysWhole()
{
    QFETCH(int, transport);
    QFETCH(int, busy);
    const QString missing = MicrophoneRig::missing(Transport(transport));
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: ") + missing));
    BusyProcesses load(busy);
    QVERIFY(load.started());
    QVERIFY(m_rig->startDaemon());
    QVERIFY(m_rig->startProgram(true));
    QVERIFY(m_rig->waitForNode());

    MicrophoneRig::Camera camera;
    camera.transport = Transport(transport);
    camera.seconds = 12;
    QVERIFY(m_rig->startCamera(camera));
    QVERIFY(m_rig->waitForCamera());
    QString what;
    const QStringList paths =
        // Sound starts up to a couple of seconds after the pictures (the camera's packets are
        // measured first, and SRT's latency is in front of it): the take runs that much longer.
        m_rig->record(kRecorders, QStringLiteral("srt"), kTakeSeconds + 3.0, &what);
    QVERIFY2(!paths.isEmpty(), qPrintable(what));
    QVERIFY2(m_rig->cameraRunning(), "the camera ended before the takes did");
    qInfo() << "busy processes' CPU s:" << load.cpuSeconds();

    int fewest = INT_MAX;
    QVERIFY2(toneHeld(paths, kTakeSeconds - kSettleSeconds, &fewest, &what), qPrintable(what));
    qInfo() << "fewest interruptions:" << fewest
            << "server's missed cycles:" << m_rig->serverMissedCycles();
    if (MicrophoneRig::kRealTime)
        QVERIFY2(fewest <= 2 * m_rig->serverMissedCycles(), qPrintable(what));
    m_rig->stopCamera();
    QVERIFY(m_rig->quitProgram());
}

void MicrophoneContinuity::recordersJoiningAndLeavingHearNoCut_data()
{
    QTest::addColumn<int>("busy");
    QTest::newRow("idle") << 0;
    QTest::newRow("two busy processes") << 2;
}

// A call opens the microphone 3 s into an RTMP session, closes it and opens it again (the
// recorders stop and start anew): neither opening hears a gap or a cut.
void MicrophoneContinuity::recordersJoiningAndLeavingHearNoCut()
{
    QFETCH(int, busy);
    BusyProcesses load(busy);
    QVERIFY(load.started());
    QVERIFY(m_rig->startDaemon());
    QVERIFY(m_rig->startProgram());
    QVERIFY(m_rig->waitForNode());

    // A phone's sound: 44.1 kHz mono, resampled and spread to both sides on the way.
    MicrophoneRig::Camera camera;
    camera.rate = 44100;
    camera.layout = QStringLiteral("mono");
    camera.seconds = 20;
    QVERIFY(m_rig->startCamera(camera));
    QVERIFY(m_rig->waitForCamera());
    // The session runs with nobody listening: the time is the scenario, not a wait for an
    // event.
    QTest::qWait(3000);

    QString what;
    for (const QString &name : {QStringLiteral("join"), QStringLiteral("rejoin")}) {
        const QStringList paths = m_rig->record(kRecorders, name, kTakeSeconds, &what);
        QVERIFY2(!paths.isEmpty(), qPrintable(what));
        QVERIFY2(m_rig->cameraRunning(), "the camera ended before the takes did");
        int fewest = INT_MAX;
        QVERIFY2(toneHeld(paths, kTakeSeconds - 0.5, &fewest, &what), qPrintable(what));
        qInfo().noquote() << name << "fewest interruptions:" << fewest
                          << "server's missed cycles:" << m_rig->serverMissedCycles();
        if (MicrophoneRig::kRealTime)
            QVERIFY2(fewest <= 2 * m_rig->serverMissedCycles(), qPrintable(what));
    }
    qInfo() << "busy processes' CPU s:" << load.cpuSeconds();
    m_rig->stopCamera();
    QVERIFY(m_rig->quitProgram());
}

QTEST_MAIN(MicrophoneContinuity)
#include "tst_microphone_continuity.moc"
