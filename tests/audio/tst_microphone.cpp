#include "PipeWireDaemon.h"
#include "Recorder.h"
#include "WavFile.h"
#include "output/PipeWireMicrophone.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PlanarAudio.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>
#include <vector>

namespace {

const QString kNode = QStringLiteral("quorvix_microphone");
constexpr double kToneHz = 1000.0;
constexpr double kToneAmplitude = 0.5;                             // -6 dBFS peak
const double kToneRmsDbfs = 20 * std::log10(0.5 / std::sqrt(2.0)); // -9.03 dBFS
constexpr int kFps = 30;

// The delivery thread as the engine drives it: one frame every 1/30 s carrying rate/30
// samples of a continuous sine, on the first channel only when leftOnly. setTone() switches
// rate and pitch between two frames, as a camera's new audio format arrives.
class ToneFeeder
{
public:
    ToneFeeder(PipeWireMicrophone &mic, int rate, int channels, bool leftOnly,
               double toneHz = kToneHz)
        : m_mic(mic), m_channels(channels), m_leftOnly(leftOnly), m_rate(rate), m_toneHz(toneHz)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~ToneFeeder() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    void setTone(int rate, double toneHz)
    {
        m_toneHz = toneHz;
        m_rate = rate;
    }
    qint64 framesSent() const { return m_frames.load(); }
    qint64 samplesSent() const { return m_samples.load(); }
    // The longest a putLive took, in microseconds.
    qint64 longestPutUs() const { return m_longestPutUs.load(); }

private:
    void run()
    {
        std::vector<float> audio;
        std::vector<const float *> planes;
        double phase = 0;
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            const int rate = m_rate.load();
            const double toneHz = m_toneHz.load();
            const int samples = rate / kFps;
            // Planar float, as the engine hands it over.
            audio.resize(static_cast<size_t>(samples) * m_channels);
            planes.resize(static_cast<size_t>(m_channels));
            for (int c = 0; c < m_channels; ++c)
                planes[size_t(c)] = audio.data() + size_t(c) * samples;
            for (int i = 0; i < samples; ++i) {
                const auto value = static_cast<float>(kToneAmplitude * std::sin(phase));
                phase = std::fmod(phase + 2 * M_PI * toneHz / rate, 2 * M_PI);
                for (int c = 0; c < m_channels; ++c)
                    audio[size_t(c) * samples + i] = (m_leftOnly && c > 0) ? 0 : value;
            }
            OutputFrame frame;
            frame.audio = planes.data();
            frame.samples = samples;
            frame.sampleRate = rate;
            frame.channels = m_channels;
            const auto putStart = std::chrono::steady_clock::now();
            m_mic.putLive(frame);
            const qint64 putUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - putStart)
                                     .count();
            m_longestPutUs = std::max(m_longestPutUs.load(), putUs);
            ++m_frames;
            m_samples += samples;
            // Pacing, as the engine's output clock does; not a wait for anything.
            next += std::chrono::microseconds(1000000 / kFps);
            std::this_thread::sleep_until(next);
        }
    }

    PipeWireMicrophone &m_mic;
    const int m_channels;
    const bool m_leftOnly;
    std::atomic<int> m_rate;
    std::atomic<double> m_toneHz;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_frames{0};
    std::atomic<qint64> m_samples{0};
    std::atomic<qint64> m_longestPutUs{0};
    std::thread m_thread;
};

// A put hands the audio over and returns: it never waits for the server, a connection or the
// node going (generous for a busy computer and the sanitizers).
constexpr qint64 kPutBoundUs = 250 * 1000;

// The names of this process's threads.
QStringList threadNames()
{
    QStringList names;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll()).trimmed();
    }
    return names;
}

// The tone at its pitch and level on the left channel of a recording, past its onset.
void verifyTone(const QString &path, double toneHz)
{
    WavFile wav;
    QString error;
    QVERIFY2(wav.load(path, &error), qPrintable(path + ": " + error));
    const QVector<double> left = wav.channel(0);
    const qint64 onset = firstLoudSample(left, 1000);
    QVERIFY2(onset >= 0, qPrintable(path + ": no tone recorded"));
    const double start = double(onset) / wav.sampleRate + 0.2;
    QVERIFY2(wav.frames() >= qint64((start + 0.8) * wav.sampleRate),
             qPrintable(QStringLiteral("%1: only %2 frames").arg(path).arg(wav.frames())));
    ToneMeasure m = measureTone(left, wav.sampleRate, start, 0.8);
    m.frequencyHz = steadyPitch(left, wav.sampleRate, start, 0.8).frequencyHz;
    const QString what =
        QStringLiteral("%1: %2 Hz, %3 dBFS").arg(path).arg(m.frequencyHz).arg(m.rmsDbfs);
    qInfo().noquote() << what;
    QVERIFY2(std::abs(m.frequencyHz - toneHz) <= 2.0, qPrintable(what));
    QVERIFY2(std::abs(m.rmsDbfs - kToneRmsDbfs) <= 1.0, qPrintable(what));
}

} // namespace

class MicrophoneTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listedBeforeAudioAndSilent();
    void toneComesOutAtPitchAndLevel_data();
    void toneComesOutAtPitchAndLevel();
    void formatChangeKeepsTheNodeAndItsRecorders();
    void offAndDestructionRemoveTheNode();
    void waitsForTheServerAndFollowsIt();
    void serverRestartRecreatesTheNodeWithItsSound();
    void switchingOnAndOffSettlesOnTheLast();

private:
    bool startDaemon();
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PipeWireDaemon> m_daemon;
};

void MicrophoneTest::initTestCase()
{
    const QStringList missing = PipeWireDaemon::missingPrograms();
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("PipeWire test programs not installed (%1); "
                                        "scripts/install-deps.sh installs them")
                             .arg(missing.join(QStringLiteral(", ")))));
}

void MicrophoneTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    PipeWireDaemon::pointClientsAt(m_dir->path());
}

void MicrophoneTest::cleanup()
{
    m_daemon.reset();
    m_dir.reset();
}

bool MicrophoneTest::startDaemon()
{
    m_daemon = std::make_unique<PipeWireDaemon>(m_dir->path());
    if (!m_daemon->start()) {
        qWarning() << "PipeWire daemon:" << m_daemon->errorString();
        return false;
    }
    return true;
}

// Before any camera the node is there (a call can pick it) and plays digital silence.
void MicrophoneTest::listedBeforeAudioAndSilent()
{
    QVERIFY(startDaemon());
    PipeWireMicrophone mic;
    QTRY_VERIFY_WITH_TIMEOUT(mic.available(), 10000);
    QVERIFY(mic.unavailableReason().isEmpty());
    QCOMPARE(mic.streamRate(), 48000);
    QCOMPARE(mic.streamChannels(), 2);
    QVERIFY(m_daemon->nodeListed(kNode));
    QVERIFY(m_daemon->sourceListed(kNode));

    const QString path = m_dir->filePath(QStringLiteral("silence.wav"));
    Recorder recorder(*m_daemon, QStringLiteral("pw-record"), kNode, path);
    QVERIFY(recorder.started());
    // A second of audio at 48 kHz stereo S16 plus the header.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 48000 * 4 + 44, 10000);
    QVERIFY(recorder.stop());

    WavFile wav;
    QString error;
    QVERIFY2(wav.load(path, &error), qPrintable(error));
    QVERIFY(wav.frames() >= 24000);
    for (int c = 0; c < wav.channels; ++c) {
        const ToneMeasure m = measureTone(wav.channel(c), wav.sampleRate, 0, 100);
        QCOMPARE(m.peak, 0.0);
    }
    QCOMPARE(mic.samplesReceived(), qint64(0));
}

void MicrophoneTest::toneComesOutAtPitchAndLevel_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("leftOnly");
    QTest::newRow("44.1 kHz mono") << 44100 << 1 << false;
    QTest::newRow("48 kHz stereo") << 48000 << 2 << false;
    QTest::newRow("48 kHz stereo, left only") << 48000 << 2 << true;
    QTest::newRow("44.1 kHz stereo, left only") << 44100 << 2 << true;
}

// A paced sine through putLive, recorded by both kinds of recorder at once: the pitch within
// 2 Hz and the level within 1 dB on every channel that carries it, silence on the others.
void MicrophoneTest::toneComesOutAtPitchAndLevel()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(bool, leftOnly);
    QVERIFY(startDaemon());
    PipeWireMicrophone mic;
    QTRY_VERIFY_WITH_TIMEOUT(mic.available(), 10000);

    ToneFeeder feeder(mic, rate, channels, leftOnly);
    // The stream follows the audio's own format before anyone records.
    QTRY_VERIFY_WITH_TIMEOUT(
        mic.available() && mic.streamRate() == rate && mic.streamChannels() == channels, 10000);
    const QString pwPath = m_dir->filePath(QStringLiteral("pw.wav"));
    const QString paPath = m_dir->filePath(QStringLiteral("pa.wav"));
    Recorder pwRecord(*m_daemon, QStringLiteral("pw-record"), kNode, pwPath);
    Recorder paRecord(*m_daemon, QStringLiteral("parecord"), kNode, paPath);
    QVERIFY(pwRecord.started());
    QVERIFY(paRecord.started());
    const qint64 startFrames = feeder.framesSent();
    QTRY_VERIFY_WITH_TIMEOUT(feeder.framesSent() >= startFrames + 3 * kFps, 20000);
    QVERIFY(pwRecord.stop());
    QVERIFY(paRecord.stop());
    qInfo() << "graph delay" << mic.graphDelayMs() << "ms, ring queue" << mic.queuedMs()
            << "ms, underruns" << mic.underruns() << "trimmed" << mic.samplesTrimmed();
    feeder.stop();

    QCOMPARE(mic.samplesReceived(), feeder.samplesSent());
    QCOMPARE(mic.samplesDropped(PipeWireMicrophone::DropReason::MicrophoneOff), qint64(0));
    QCOMPARE(mic.samplesDropped(PipeWireMicrophone::DropReason::UnsupportedFormat), qint64(0));

    for (const QString &path : {pwPath, paPath}) {
        WavFile wav;
        QString error;
        QVERIFY2(wav.load(path, &error), qPrintable(path + ": " + error));
        QCOMPARE(wav.channels, 2);
        const QVector<double> left = wav.channel(0);
        const qint64 onset = firstLoudSample(left, 1000);
        QVERIFY2(onset >= 0, qPrintable(path + ": no tone recorded"));
        // Past the onset's priming, 1.5 s of what should be an unbroken tone.
        const double start = double(onset) / wav.sampleRate + 0.2;
        QVERIFY2(wav.frames() >= qint64((start + 1.5) * wav.sampleRate),
                 qPrintable(QStringLiteral("%1: only %2 frames").arg(path).arg(wav.frames())));
        for (int c = 0; c < 2; ++c) {
            const QVector<double> signal = wav.channel(c);
            ToneMeasure m = measureTone(signal, wav.sampleRate, start, 1.5);
            // The pitch of the unbroken periods: a cut made by the ring under load is not a pitch.
            m.frequencyHz = steadyPitch(signal, wav.sampleRate, start, 1.5).frequencyHz;
            const QString what = QStringLiteral("%1 channel %2: %3 Hz, %4 dBFS, peak %5")
                                     .arg(path)
                                     .arg(c)
                                     .arg(m.frequencyHz)
                                     .arg(m.rmsDbfs)
                                     .arg(m.peak);
            qInfo().noquote() << what;
            if (c == 1 && leftOnly) {
                QVERIFY2(m.rmsDbfs < -60, qPrintable(what));
                continue;
            }
            QVERIFY2(std::abs(m.frequencyHz - kToneHz) <= 2.0, qPrintable(what));
            QVERIFY2(std::abs(m.rmsDbfs - kToneRmsDbfs) <= 1.0, qPrintable(what));
        }
    }
}

// A camera whose sound changes from 48 kHz to 44.1 kHz: the node keeps its id, recorders
// attached to it stay with it (they are not moved to another source) and record the second
// tone at its own pitch and level.
void MicrophoneTest::formatChangeKeepsTheNodeAndItsRecorders()
{
    constexpr double kSecondToneHz = 600.0;
    QVERIFY(startDaemon());
    PipeWireMicrophone mic;
    ToneFeeder feeder(mic, 48000, 2, false);
    QTRY_VERIFY_WITH_TIMEOUT(mic.available() && mic.streamRate() == 48000, 10000);
    const int nodeId = m_daemon->nodeId(kNode);
    QVERIFY(nodeId > 0);

    const QString pwPath = m_dir->filePath(QStringLiteral("pw.wav"));
    const QString paPath = m_dir->filePath(QStringLiteral("pa.wav"));
    Recorder pwRecord(*m_daemon, QStringLiteral("pw-record"), kNode, pwPath);
    Recorder paRecord(*m_daemon, QStringLiteral("parecord"), kNode, paPath);
    QVERIFY(pwRecord.started());
    QVERIFY(paRecord.started());
    // A second and a half of the first tone in both recordings.
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo(pwPath).size() > 72000 * 4 && QFileInfo(paPath).size() > 72000 * 4, 15000);

    feeder.setTone(44100, kSecondToneHz);
    QTRY_VERIFY_WITH_TIMEOUT(mic.streamRate() == 44100 && mic.formatChanges() == 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(mic.negotiatedRate() == 44100, 10000);
    const qint64 changedAt = feeder.framesSent();
    QTRY_VERIFY_WITH_TIMEOUT(feeder.framesSent() >= changedAt + 3 * kFps, 20000);
    QCOMPARE(m_daemon->nodeId(kNode), nodeId);
    QVERIFY(mic.available());
    QVERIFY(pwRecord.stop());
    QVERIFY(paRecord.stop());
    feeder.stop();
    // Changed in place once, never reopened: the same node all along.
    QCOMPARE(mic.formatChanges(), qint64(1));
    QCOMPARE(m_daemon->nodeId(kNode), nodeId);
    QVERIFY(feeder.longestPutUs() < kPutBoundUs);

    for (const QString &path : {pwPath, paPath}) {
        WavFile wav;
        QString error;
        QVERIFY2(wav.load(path, &error), qPrintable(path + ": " + error));
        const QVector<double> left = wav.channel(0);
        const double seconds = double(wav.frames()) / wav.sampleRate;
        const qint64 onset = firstLoudSample(left, 1000);
        QVERIFY2(onset >= 0, qPrintable(path + ": no tone recorded"));
        const double start = double(onset) / wav.sampleRate + 0.2;
        ToneMeasure first = measureTone(left, wav.sampleRate, start, 0.8);
        first.frequencyHz = steadyPitch(left, wav.sampleRate, start, 0.8).frequencyHz;
        // The recording's last stretch, well after the change.
        ToneMeasure second = measureTone(left, wav.sampleRate, seconds - 1.5, 1.2);
        second.frequencyHz = steadyPitch(left, wav.sampleRate, seconds - 1.5, 1.2).frequencyHz;
        const QString what = QStringLiteral("%1: %2 s; %3 Hz %4 dBFS, then %5 Hz %6 dBFS")
                                 .arg(path)
                                 .arg(seconds)
                                 .arg(first.frequencyHz)
                                 .arg(first.rmsDbfs)
                                 .arg(second.frequencyHz)
                                 .arg(second.rmsDbfs);
        qInfo().noquote() << what;
        QVERIFY2(std::abs(first.frequencyHz - kToneHz) <= 2.0, qPrintable(what));
        QVERIFY2(std::abs(second.frequencyHz - kSecondToneHz) <= 2.0, qPrintable(what));
        QVERIFY2(std::abs(second.rmsDbfs - kToneRmsDbfs) <= 1.0, qPrintable(what));
    }
}

// Off takes the node out of the graph within a second, on brings it back, and so does the
// destructor.
void MicrophoneTest::offAndDestructionRemoveTheNode()
{
    QVERIFY(startDaemon());
    auto mic = std::make_unique<PipeWireMicrophone>();
    QTRY_VERIFY_WITH_TIMEOUT(mic->available(), 10000);
    QVERIFY(m_daemon->sourceListed(kNode));

    QElapsedTimer timer;
    timer.start();
    mic->setEnabled(false);
    QTRY_VERIFY_WITH_TIMEOUT(!m_daemon->nodeListed(kNode), 1000);
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(!mic->available());
    QVERIFY(!mic->unavailableReason().isEmpty());

    const PlanarAudio audio(std::vector<qint16>(1600 * 2, 1000), 2);
    OutputFrame frame;
    frame.audio = audio.planes();
    frame.samples = 1600;
    frame.sampleRate = 48000;
    frame.channels = 2;
    mic->putLive(frame);
    QCOMPARE(mic->samplesDropped(PipeWireMicrophone::DropReason::MicrophoneOff), qint64(1600));

    mic->setEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(mic->available(), 10000);
    QVERIFY(m_daemon->nodeListed(kNode));

    timer.restart();
    mic.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!m_daemon->nodeListed(kNode), 1000);
    QVERIFY(timer.elapsed() < 1000);
}

// No server at first: puts work and are counted, one log line says why; the microphone joins
// a server that starts later, says once when it goes away and joins it again when it is back.
void MicrophoneTest::waitsForTheServerAndFollowsIt()
{
    LogCapture log;
    PipeWireMicrophone mic;
    QTRY_VERIFY_WITH_TIMEOUT(mic.connectAttempts() >= 2, 15000);
    QVERIFY(!mic.available());
    QVERIFY(mic.unavailableReason().contains(QLatin1String("no PipeWire server")));
    QCOMPARE(log.count(QStringLiteral("MIC: no PipeWire server")), 1);

    const PlanarAudio audio(std::vector<qint16>(1470, 500), 1);
    OutputFrame frame;
    frame.audio = audio.planes();
    frame.samples = 1470;
    frame.sampleRate = 44100;
    frame.channels = 1;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 10; ++i)
        mic.putLive(frame);
    // A put never waits for the server (a connection attempt takes seconds to time out).
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(mic.samplesReceived(), qint64(14700));
    QCOMPARE(mic.samplesDropped(PipeWireMicrophone::DropReason::NoServer), qint64(14700));

    QVERIFY(startDaemon());
    QTRY_VERIFY_WITH_TIMEOUT(mic.available(), 15000);
    // The last audio's format, not the default.
    QCOMPARE(mic.streamRate(), 44100);
    QCOMPARE(mic.streamChannels(), 1);
    QVERIFY(m_daemon->sourceListed(kNode));

    m_daemon->stop();
    QTRY_VERIFY_WITH_TIMEOUT(!mic.available(), 10000);
    const qint64 attempts = mic.connectAttempts();
    QTRY_VERIFY_WITH_TIMEOUT(mic.connectAttempts() >= attempts + 1, 15000);
    QCOMPARE(log.count(QStringLiteral("MIC: PipeWire server gone")), 1);
    QCOMPARE(log.count(QStringLiteral("MIC: no PipeWire server")), 1);

    QVERIFY(startDaemon());
    QTRY_VERIFY_WITH_TIMEOUT(mic.available(), 15000);
    QVERIFY(m_daemon->nodeListed(kNode));
    QCOMPARE(mic.streamRate(), 44100);
}

// A camera streaming while the server goes away and comes back: the puts go on without waiting
// and are counted, and once the server is back the node is made again in the audio's format and
// a recorder hears the tone.
void MicrophoneTest::serverRestartRecreatesTheNodeWithItsSound()
{
    QVERIFY(startDaemon());
    PipeWireMicrophone mic(QLatin1String(PipeWireMicrophone::kDefaultNodeName),
                           QLatin1String(PipeWireMicrophone::kDefaultDescription), 1000);
    ToneFeeder feeder(mic, 44100, 1, false);
    QTRY_VERIFY_WITH_TIMEOUT(mic.available() && mic.streamRate() == 44100, 10000);

    for (int round = 0; round < 2; ++round) {
        m_daemon->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!mic.available(), 10000);
        QVERIFY(!mic.unavailableReason().isEmpty());
        const qint64 dropped = mic.samplesDropped(PipeWireMicrophone::DropReason::NoServer);
        QTRY_VERIFY_WITH_TIMEOUT(
            mic.samplesDropped(PipeWireMicrophone::DropReason::NoServer) > dropped, 5000);

        QVERIFY(startDaemon());
        QTRY_VERIFY_WITH_TIMEOUT(mic.available(), 15000);
        QVERIFY(mic.unavailableReason().isEmpty());
        QCOMPARE(mic.streamRate(), 44100);
        QCOMPARE(mic.streamChannels(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_daemon->sourceListed(kNode), 5000);

        const QString path = m_dir->filePath(QStringLiteral("back%1.wav").arg(round));
        Recorder recorder(*m_daemon, QStringLiteral("pw-record"), kNode, path);
        QVERIFY(recorder.started());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 72000 * 4, 15000);
        QVERIFY(recorder.stop());
        verifyTone(path, kToneHz);
        if (QTest::currentTestFailed())
            return;
    }
    feeder.stop();
    QVERIFY2(feeder.longestPutUs() < kPutBoundUs,
             qPrintable(QString::number(feeder.longestPutUs())));
    QCOMPARE(mic.samplesDropped(PipeWireMicrophone::DropReason::MicrophoneOff), qint64(0));
}

// Switched off and on many times in a row from the GUI thread, while a camera streams: each
// switch returns at once, and the microphone ends as the last one said, with the node gone or
// back. All of it runs on PipeWire's own threads: the microphone starts none of its own.
void MicrophoneTest::switchingOnAndOffSettlesOnTheLast()
{
    QVERIFY(startDaemon());
    const QStringList before = threadNames();
    PipeWireMicrophone mic;
    QTRY_VERIFY_WITH_TIMEOUT(mic.available(), 10000);
    QStringList added = threadNames();
    for (const QString &name : before)
        added.removeOne(name);
    qInfo() << "threads the microphone added:" << added;
    // PipeWire's loop and its real-time data loop.
    QVERIFY2(added.size() <= 2, qPrintable(added.join(QLatin1Char(','))));
    QVERIFY(added.contains(QStringLiteral("quorvix-mic")));

    ToneFeeder feeder(mic, 48000, 2, false);
    for (const bool last : {false, true}) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 20; ++i)
            mic.setEnabled(i % 2 == 1);
        mic.setEnabled(last);
        QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(mic.enabled(), last);
        if (last) {
            QTRY_VERIFY_WITH_TIMEOUT(mic.available() && m_daemon->nodeListed(kNode), 10000);
            QVERIFY(mic.unavailableReason().isEmpty());
            QCOMPARE(mic.streamRate(), 48000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!m_daemon->nodeListed(kNode), 5000);
            QVERIFY(!mic.available());
            QTRY_COMPARE_WITH_TIMEOUT(mic.unavailableReason(), QStringLiteral("Microphone off"),
                                      5000);
            QCOMPARE(mic.outputDelayMs(), 0);
            const qint64 off = mic.samplesDropped(PipeWireMicrophone::DropReason::MicrophoneOff);
            QTRY_VERIFY_WITH_TIMEOUT(
                mic.samplesDropped(PipeWireMicrophone::DropReason::MicrophoneOff) > off, 5000);
        }
    }
    feeder.stop();
    QVERIFY2(feeder.longestPutUs() < kPutBoundUs,
             qPrintable(QString::number(feeder.longestPutUs())));
}

QTEST_GUILESS_MAIN(MicrophoneTest)
#include "tst_microphone.moc"
