// The microphone through the whole program: `quorvix <port> Other`, offscreen, against a
// private PipeWire, fed by a real ffmpeg publisher whose sound is a sine of known pitch and
// level (AAC coded). Recorded with pw-record and parecord as a user would.
#include "BrowserRecorder.h"
#include "PipeWireDaemon.h"
#include "Recorder.h"
#include "WavFile.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kNode = QStringLiteral("quorvix_microphone");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer build runs the program several times slower, too slow to keep real time: its
// dropouts are reported, not held against it.
constexpr bool kRealTime = false;
#else
constexpr bool kRealTime = true;
#endif
constexpr double kToneHz = 1000.0;
// lavfi's sine has amplitude 1/8; volume=4 makes it 0.5: -9.03 dBFS RMS.
const double kToneRmsDbfs = 20 * std::log10(0.5 / std::sqrt(2.0));
constexpr int kTapWidth = 1280;
constexpr int kTapHeight = 720;

// The publisher's sound: the sine at `rate`, mono, stereo, or stereo with the right channel
// silent, from the same ffmpeg graph as its (green) picture.
QStringList publisherArgs(quint16 port, int rate, const QString &layout, double seconds)
{
    QString audio =
        QStringLiteral("sine=frequency=%1:sample_rate=%2,volume=4").arg(kToneHz).arg(rate);
    if (layout == QLatin1String("stereo"))
        audio += QStringLiteral(",pan=stereo|c0=c0|c1=c0");
    else if (layout == QLatin1String("left"))
        audio += QStringLiteral(",pan=stereo|c0=c0|c1=0*c0");
    return {QStringLiteral("-hide_banner"),
            QStringLiteral("-loglevel"),
            QStringLiteral("error"),
            QStringLiteral("-re"),
            QStringLiteral("-f"),
            QStringLiteral("lavfi"),
            QStringLiteral("-i"),
            QStringLiteral("color=c=lime:size=640x360:rate=30"),
            QStringLiteral("-f"),
            QStringLiteral("lavfi"),
            QStringLiteral("-i"),
            audio,
            QStringLiteral("-t"),
            QString::number(seconds),
            QStringLiteral("-c:v"),
            QStringLiteral("libx264"),
            QStringLiteral("-preset"),
            QStringLiteral("ultrafast"),
            QStringLiteral("-tune"),
            QStringLiteral("zerolatency"),
            QStringLiteral("-g"),
            QStringLiteral("30"),
            QStringLiteral("-pix_fmt"),
            QStringLiteral("yuv420p"),
            QStringLiteral("-c:a"),
            QStringLiteral("aac"),
            QStringLiteral("-b:a"),
            QStringLiteral("128k"),
            QStringLiteral("-f"),
            QStringLiteral("flv"),
            QStringLiteral("rtmp://127.0.0.1:%1/@/@").arg(port)};
}

// Counts the webcam tap's pictures (YUV4MPEG2 on a FIFO) and how many are the green camera.
class TapCounter
{
public:
    explicit TapCounter(const QString &path)
    {
        // Read-write: the FIFO never reports end-of-file while the program (re)opens it.
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this]() { drain(); });
    }
    ~TapCounter()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    int pictures() const { return m_pictures; }
    int green() const { return m_green; }

private:
    void drain()
    {
        char chunk[1 << 16];
        ssize_t n;
        while ((n = ::read(m_fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0)
                m_buffer.append(chunk, static_cast<int>(n));
        }
        const int pictureBytes = kTapWidth * kTapHeight * 3 / 2;
        for (;;) {
            const int end = m_buffer.indexOf('\n');
            if (end < 0)
                break;
            if (!m_buffer.startsWith("FRAME")) { // the stream header
                m_buffer.remove(0, end + 1);
                continue;
            }
            if (m_buffer.size() - (end + 1) < pictureBytes)
                break;
            const auto *y = reinterpret_cast<const uchar *>(m_buffer.constData() + end + 1);
            const uchar *u = y + kTapWidth * kTapHeight;
            const uchar *v = u + kTapWidth * kTapHeight / 4;
            const int c = (kTapHeight / 4) * (kTapWidth / 2) + kTapWidth / 4;
            // Pure green in BT.601 limited range: U about 54, V about 34.
            if (qAbs(u[c] - 54) < 25 && qAbs(v[c] - 34) < 25)
                ++m_green;
            ++m_pictures;
            m_buffer.remove(0, end + 1 + pictureBytes);
        }
    }

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_buffer;
    int m_pictures = 0;
    int m_green = 0;
};

} // namespace

class MicrophoneEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void silentWithoutCameraAndGoneOnQuit();
    void cameraSoundAtPitchLevelAndSide_data();
    void cameraSoundAtPitchLevelAndSide();
    void runsWithoutServerAndJoinsOneStartedLater();
    void browserHearsTheCamera();

private:
    bool startDaemon();
    bool startProgram(const QString &tapPath = QString());
    bool startPublisher(int rate, const QString &layout, double seconds);
    bool waitForCamera(int timeoutMs);
    bool recordSilence(const QString &name, QString *what);
    // QProcess::waitForFinished() is false for a process that already ended while an event
    // loop ran (QTRY_*, qWait): that counts as ended here.
    static bool ends(QProcess &process, int timeoutMs)
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PipeWireDaemon> m_daemon;
    std::unique_ptr<QProcess> m_program;
    std::unique_ptr<QProcess> m_publisher;
    QByteArray m_log;
    quint16 m_port = 0;
};

void MicrophoneEndToEnd::initTestCase()
{
    const QStringList missing = PipeWireDaemon::missingPrograms();
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("PipeWire test programs not installed (%1)")
                             .arg(missing.join(QStringLiteral(", ")))));
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is needed for a real publisher");
    QVERIFY2(QFile::exists(QStringLiteral(QUORVIX_BINARY_DIR "/quorvix")),
             "build the quorvix program first");
}

void MicrophoneEndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_port = FreePort::loopback();
    QVERIFY(m_port != 0);
    m_log.clear();
    // The runtime folder exists before any server (a desktop session's always does).
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("run"))));
    QVERIFY(QFile::setPermissions(m_dir->filePath(QStringLiteral("run")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_daemon = std::make_unique<PipeWireDaemon>(m_dir->filePath(QStringLiteral("run")));
}

void MicrophoneEndToEnd::cleanup()
{
    for (QProcess *process : {m_publisher.get(), m_program.get()}) {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    if (QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << QString::fromUtf8(m_log).right(6000);
    m_publisher.reset();
    m_program.reset();
    m_daemon.reset();
    m_dir.reset();
}

bool MicrophoneEndToEnd::startDaemon()
{
    if (m_daemon->start())
        return true;
    qWarning() << "PipeWire daemon:" << m_daemon->errorString();
    return false;
}

bool MicrophoneEndToEnd::startProgram(const QString &tapPath)
{
    // The daemon's client environment also when it is not running yet: the program looks for
    // a server in that runtime folder.
    QProcessEnvironment env = m_daemon->clientEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir->filePath(QStringLiteral("data")));
    env.remove(QStringLiteral("QUORVIX_VCAM_SIZE"));
    if (tapPath.isEmpty())
        env.remove(QStringLiteral("QUORVIX_VCAM_TAP"));
    else
        env.insert(QStringLiteral("QUORVIX_VCAM_TAP"), tapPath);
    env.insert(QStringLiteral("QUORVIX_MANIFEST_URL"), QString());
    m_program = std::make_unique<QProcess>();
    m_program->setProcessEnvironment(env);
    m_program->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(m_program.get(), &QProcess::readyRead,
                     [this]() { m_log += m_program->readAll(); });
    m_program->start(QStringLiteral(QUORVIX_BINARY_DIR "/quorvix"),
                     {QString::number(m_port), QStringLiteral("Other")});
    return m_program->waitForStarted(10000) && FreePort::waitUntilListening(m_port, 20000);
}

bool MicrophoneEndToEnd::startPublisher(int rate, const QString &layout, double seconds)
{
    m_publisher = std::make_unique<QProcess>();
    m_publisher->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_publisher->start(FfmpegPublisher::program(), publisherArgs(m_port, rate, layout, seconds));
    return m_publisher->waitForStarted(10000);
}

// The camera's pictures reach the output (the state line names its size).
bool MicrophoneEndToEnd::waitForCamera(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_log.contains("640x360"))
            return true;
        QTest::qWait(50);
    }
    return false;
}

bool MicrophoneEndToEnd::recordSilence(const QString &name, QString *what)
{
    const QString path = m_dir->filePath(name);
    Recorder recorder(*m_daemon, QStringLiteral("pw-record"), kNode, path);
    if (!recorder.started()) {
        *what = QStringLiteral("pw-record did not start");
        return false;
    }
    // A second of 48 kHz stereo S16 plus the header.
    QDeadlineTimer deadline(15000);
    while (QFileInfo(path).size() < 48000 * 4 + 44 && !deadline.hasExpired())
        QTest::qWait(20);
    recorder.stop();
    WavFile wav;
    if (!wav.load(path, what))
        return false;
    double peak = 0;
    for (int c = 0; c < wav.channels; ++c)
        peak = std::max(peak, measureTone(wav.channel(c), wav.sampleRate, 0, 100).peak);
    *what = QStringLiteral("%1: %2 frames, peak %3").arg(name).arg(wav.frames()).arg(peak);
    return wav.frames() >= 24000 && peak == 0;
}

// The node is there (and silent) before a camera and after it left; SIGTERM takes it out of
// the graph within a second.
void MicrophoneEndToEnd::silentWithoutCameraAndGoneOnQuit()
{
    QVERIFY(startDaemon());
    QVERIFY(startProgram());
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon->sourceListed(kNode), 20000);
    QString what;
    QVERIFY2(recordSilence(QStringLiteral("before.wav"), &what), qPrintable(what));

    QVERIFY(startPublisher(48000, QStringLiteral("stereo"), 3));
    QVERIFY(waitForCamera(30000));
    QVERIFY(ends(*m_publisher, 30000));
    // The session ends with the publisher; what was queued plays out within a fraction of a
    // second, and the node stays.
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains("Stream State: \"\""), 30000);
    QVERIFY(m_daemon->nodeListed(kNode));
    QVERIFY2(recordSilence(QStringLiteral("after.wav"), &what), qPrintable(what));

    QElapsedTimer clock;
    clock.start();
    m_program->terminate();
    QTRY_VERIFY_WITH_TIMEOUT(!m_daemon->nodeListed(kNode), 3000);
    const qint64 goneMs = clock.elapsed();
    qInfo() << "node gone" << goneMs << "ms after SIGTERM";
    QVERIFY2(goneMs < 1000, qPrintable(QString::number(goneMs)));
    QVERIFY(ends(*m_program, 10000));
    QCOMPARE(m_program->exitCode(), 0);
}

void MicrophoneEndToEnd::cameraSoundAtPitchLevelAndSide_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("layout");
    QTest::newRow("44.1 kHz mono") << 44100 << QStringLiteral("mono");
    QTest::newRow("48 kHz stereo") << 48000 << QStringLiteral("stereo");
    QTest::newRow("48 kHz stereo, left only") << 48000 << QStringLiteral("left");
}

// The publisher's tone in both recordings: pitch within 2 Hz, level within 1 dB of the sent
// sine (AAC at 128 kbit/s keeps a pure tone's level within a few hundredths of a dB), on the
// channel(s) that carry it; silence on a silent right channel.
void MicrophoneEndToEnd::cameraSoundAtPitchLevelAndSide()
{
    QFETCH(int, rate);
    QFETCH(QString, layout);
    QVERIFY(startDaemon());
    QVERIFY(startProgram());
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon->sourceListed(kNode), 20000);
    const int nodeId = m_daemon->nodeId(kNode);

    QVERIFY(startPublisher(rate, layout, 8));
    QVERIFY(waitForCamera(30000));
    const QString pwPath = m_dir->filePath(QStringLiteral("pw.wav"));
    const QString paPath = m_dir->filePath(QStringLiteral("pa.wav"));
    {
        Recorder pwRecord(*m_daemon, QStringLiteral("pw-record"), kNode, pwPath);
        Recorder paRecord(*m_daemon, QStringLiteral("parecord"), kNode, paPath);
        QVERIFY(pwRecord.started());
        QVERIFY(paRecord.started());
        // Three seconds in both, while the camera still streams.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(pwPath).size() > 3 * 48000 * 4 &&
                                     QFileInfo(paPath).size() > 3 * 48000 * 4,
                                 20000);
        QVERIFY(m_publisher->state() != QProcess::NotRunning);
        QVERIFY(pwRecord.stop());
        QVERIFY(paRecord.stop());
    }
    // A 44.1 kHz camera changed the format on the same node.
    QCOMPARE(m_daemon->nodeId(kNode), nodeId);
    QVERIFY(!m_log.contains("MIC: reopening"));

    int fewestDropouts = INT_MAX;
    QString dropoutLists;
    for (const QString &path : {pwPath, paPath}) {
        WavFile wav;
        QString error;
        QVERIFY2(wav.load(path, &error), qPrintable(path + ": " + error));
        QCOMPARE(wav.channels, 2);
        const QVector<double> left = wav.channel(0);
        const qint64 onset = firstLoudSample(left, 1000);
        QVERIFY2(onset >= 0, qPrintable(path + ": no tone recorded"));
        const double start = double(onset) / wav.sampleRate + 0.3;
        QVERIFY(wav.frames() >= qint64((start + 1.5) * wav.sampleRate));
        for (int c = 0; c < 2; ++c) {
            const QVector<double> signal = wav.channel(c);
            ToneMeasure m = measureTone(signal, wav.sampleRate, start, 1.5);
            // Cuts and dropouts under load break a few periods; they are not the pitch.
            const PitchMeasure pitch = steadyPitch(signal, wav.sampleRate, start, 1.5);
            m.frequencyHz = pitch.frequencyHz;
            const QString what =
                QStringLiteral("%1 channel %2: %3 Hz, %4 dBFS, peak %5, broken periods %6")
                    .arg(QFileInfo(path).fileName())
                    .arg(c)
                    .arg(m.frequencyHz)
                    .arg(m.rmsDbfs)
                    .arg(m.peak)
                    .arg(pitch.breaks);
            qInfo().noquote() << what;
            if (c == 1 && layout == QLatin1String("left")) {
                QVERIFY2(m.rmsDbfs < -60, qPrintable(what));
                continue;
            }
            QVERIFY2(std::abs(m.frequencyHz - kToneHz) <= 2.0, qPrintable(what));
            QVERIFY2(std::abs(m.rmsDbfs - kToneRmsDbfs) <= 1.0, qPrintable(what));
        }
        const QVector<double> dropouts =
            dropoutsMs(left, wav.sampleRate, double(onset) / wav.sampleRate, 60, 8);
        QString list;
        for (double ms : dropouts)
            list += QStringLiteral(" %1 ms").arg(ms, 0, 'f', 1);
        qInfo().noquote() << QFileInfo(path).fileName() << "dropouts:" << dropouts.size() << list;
        fewestDropouts = std::min(fewestDropouts, int(dropouts.size()));
        dropoutLists += QFileInfo(path).fileName() + QLatin1Char(':') + list + QLatin1Char(' ');
    }
    // Dropouts over the whole take. A gap in the microphone is in every recording of it, so the
    // recording with the fewest bounds the microphone's own; a recorder that is late on a busy
    // machine loses a period of its own that the other recorder keeps. The microphone's queue
    // deepens after running dry once, so a second dropout means it did not; the first can come
    // from a publisher that falls behind real time on a busy machine, which no queue hides.
    if (kRealTime)
        QVERIFY2(fewestDropouts <= 1, qPrintable(dropoutLists));
    m_publisher->kill();
    m_publisher->waitForFinished(5000);
    m_program->terminate();
    QVERIFY(ends(*m_program, 10000));
}

// Without a server the program starts, publishes to the webcam tap and says once why there is
// no microphone; a server started later is joined.
void MicrophoneEndToEnd::runsWithoutServerAndJoinsOneStartedLater()
{
    const QString tap = m_dir->filePath(QStringLiteral("tap.y4m"));
    QCOMPARE(::mkfifo(QFile::encodeName(tap).constData(), 0600), 0);
    TapCounter counter(tap);
    QVERIFY(counter.isOpen());
    QVERIFY(startProgram(tap));
    QVERIFY(startPublisher(48000, QStringLiteral("stereo"), 4));
    QTRY_VERIFY_WITH_TIMEOUT(counter.green() >= 30, 30000);
    QVERIFY(ends(*m_publisher, 30000));
    // Several looks for a server have passed by now (one every 3 s).
    QTRY_VERIFY_WITH_TIMEOUT(m_log.count("Stream State: \"\"") >= 1, 30000);
    QCOMPARE(m_log.count("MIC: no PipeWire server"), 1);
    QVERIFY(!m_log.contains("MIC: microphone started"));

    QVERIFY(startDaemon());
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon->sourceListed(kNode), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains("MIC: microphone started"), 5000);
    m_program->terminate();
    QVERIFY(ends(*m_program, 10000));
    QCOMPARE(m_program->exitCode(), 0);
}

// A web page in a real browser lists "Quorvix Microphone" and hears the camera through it,
// at the publisher's pitch and level, as a call site would.
void MicrophoneEndToEnd::browserHearsTheCamera()
{
    if (BrowserRecorder::program().isEmpty())
        QSKIP("Chromium is not installed (apt-get install chromium)");
    QVERIFY(startDaemon());
    QVERIFY(startProgram());
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon->sourceListed(kNode), 20000);
    QVERIFY(startPublisher(48000, QStringLiteral("stereo"), 30));
    QVERIFY(waitForCamera(30000));

    BrowserRecorder browser(*m_daemon);
    QString why;
    const QJsonObject report = browser.record(QStringLiteral("Quorvix Microphone"), 25000, &why);
    QVERIFY2(!report.isEmpty(), qPrintable(why));
    const QString what = QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact));
    qInfo().noquote() << "browser:" << what;
    QVERIFY2(!report.contains(QStringLiteral("error")), qPrintable(what));
    QVERIFY2(report.value(QStringLiteral("label"))
                 .toString()
                 .contains(QStringLiteral("Quorvix Microphone")),
             qPrintable(what));
    QVERIFY2(std::abs(report.value(QStringLiteral("hz")).toDouble() - kToneHz) <= 2.0,
             qPrintable(what));
    QVERIFY2(std::abs(report.value(QStringLiteral("rmsDbfs")).toDouble() - kToneRmsDbfs) <= 1.0,
             qPrintable(what));
    if (kRealTime)
        QVERIFY2(report.value(QStringLiteral("dropouts")).toInt() <= 1, qPrintable(what));

    m_publisher->kill();
    QVERIFY(ends(*m_publisher, 5000));
    m_program->terminate();
    QVERIFY(ends(*m_program, 10000));
}

QTEST_MAIN(MicrophoneEndToEnd)
#include "tst_microphone_e2e.moc"
