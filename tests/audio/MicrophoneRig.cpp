#include "MicrophoneRig.h"

#include "Recorder.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtTest>

#include <vector>

namespace {

QString transmitProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("srt-live-transmit"));
}

// QProcess::waitForFinished() is false for a process that already ended while an event loop
// ran (QTRY_*, qWait): that counts as ended here.
bool ends(QProcess &process, int timeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

void kill(std::unique_ptr<QProcess> &process)
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

} // namespace

MicrophoneRig::MicrophoneRig()
{
    m_port = FreePort::loopback();
    const QString run = m_dir.filePath(QStringLiteral("run"));
    // The runtime folder exists before any server (a desktop session's always does).
    m_valid = m_dir.isValid() && m_port != 0 && QDir().mkpath(run) &&
              QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_daemon = std::make_unique<PipeWireDaemon>(run);
}

MicrophoneRig::~MicrophoneRig()
{
    stopCamera();
    kill(m_program);
    m_daemon.reset();
}

QString MicrophoneRig::missing(Transport transport)
{
    QStringList names = PipeWireDaemon::missingPrograms();
    if (!FfmpegPublisher::available())
        names << FfmpegPublisher::program();
    if (transport == Transport::SrtLiveTransmit && transmitProgram().isEmpty())
        names << QStringLiteral("srt-live-transmit");
    if (!QFile::exists(QStringLiteral(QUORVIX_BINARY_DIR "/quorvix")))
        names << QStringLiteral("quorvix (build it first)");
    return names.join(QStringLiteral(", "));
}

bool MicrophoneRig::startDaemon()
{
    if (m_daemon->start())
        return true;
    qWarning() << "PipeWire daemon:" << m_daemon->errorString();
    return false;
}

bool MicrophoneRig::startProgram(bool srt, const QString &tapPath)
{
    // The settings say whether the SRT listener runs, and on a port of this test's own (its
    // default port would meet another test's program).
    m_srtPort = srt ? FreePort::udpLoopback() : 0;
    const QString config = m_dir.filePath(QStringLiteral("config"));
    QFile conf(config + QStringLiteral("/Morlaid/Quorvix.conf"));
    if ((srt && m_srtPort == 0) || !QDir().mkpath(config + QStringLiteral("/Morlaid")) ||
        !conf.open(QIODevice::WriteOnly))
        return false;
    conf.write(srt ? QStringLiteral("[General]\nSRT=true\nSRT_PORT=%1\n").arg(m_srtPort).toLatin1()
                   : QByteArray("[General]\nSRT=false\n"));
    conf.close();

    // The daemon's client environment also when it is not running yet: the program looks for
    // a server in that runtime folder.
    QProcessEnvironment env = m_daemon->clientEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("data")));
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
    if (!m_program->waitForStarted(10000) || !FreePort::waitUntilListening(m_port, 20000))
        return false;
    return !srt || QTest::qWaitFor([this] { return FreePort::isUdpBound(m_srtPort); }, 20000);
}

bool MicrophoneRig::waitForNode(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_daemon->sourceListed(QLatin1String(kNode)); },
                           timeoutMs);
}

QStringList MicrophoneRig::publisherArguments(const Camera &camera, const QStringList &output)
{
    QString audio =
        QStringLiteral("sine=frequency=%1:sample_rate=%2,volume=4").arg(kToneHz).arg(camera.rate);
    if (camera.layout == QLatin1String("stereo"))
        audio += QStringLiteral(",pan=stereo|c0=c0|c1=c0");
    else if (camera.layout == QLatin1String("left"))
        audio += QStringLiteral(",pan=stereo|c0=c0|c1=0*c0");
    else if (camera.layout == QLatin1String("5.1 centre"))
        audio += QStringLiteral(",pan=5.1|c2=c0"); // FL FR FC LFE BL BR: the centre alone
    return QStringList{QStringLiteral("-hide_banner"),
                       QStringLiteral("-nostdin"),
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
                       QString::number(camera.seconds),
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
                       QStringLiteral("128k")} +
           output;
}

bool MicrophoneRig::startCamera(const Camera &camera)
{
    stopCamera();
    QStringList output;
    switch (camera.transport) {
    case Transport::Rtmp:
        output = QStringList{QStringLiteral("-f"), QStringLiteral("flv"),
                             QStringLiteral("rtmp://127.0.0.1:%1/@/@").arg(m_port)};
        break;
    case Transport::Srt:
        // No muxer options: the TS muxer gathers several AAC frames into each PES, as
        // cameras and encoders built on it do.
        output = QStringList{QStringLiteral("-f"), QStringLiteral("mpegts"),
                             QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(m_srtPort)};
        break;
    case Transport::SrtLiveTransmit: {
        const quint16 udpPort = FreePort::udpLoopback();
        if (udpPort == 0)
            return false;
        m_transmit = std::make_unique<QProcess>();
        m_transmit->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_transmit->setStandardOutputFile(QProcess::nullDevice());
        m_transmit->start(transmitProgram(),
                          {QStringLiteral("-q"), QStringLiteral("udp://127.0.0.1:%1").arg(udpPort),
                           QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(m_srtPort)});
        // Datagrams sent before it binds would be lost: the camera starts once it listens.
        if (!m_transmit->waitForStarted(10000) ||
            !QTest::qWaitFor([udpPort] { return FreePort::isUdpBound(udpPort); }, 10000))
            return false;
        output = QStringList{QStringLiteral("-f"), QStringLiteral("mpegts"),
                             QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(udpPort)};
        break;
    }
    }
    m_publisher = std::make_unique<QProcess>();
    m_publisher->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_publisher->setStandardOutputFile(QProcess::nullDevice());
    m_publisher->start(FfmpegPublisher::program(), publisherArguments(camera, output));
    return m_publisher->waitForStarted(10000);
}

bool MicrophoneRig::waitForCamera(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_log.contains("640x360"); }, timeoutMs);
}

bool MicrophoneRig::waitForCameraEnd(int timeoutMs)
{
    return m_publisher && ends(*m_publisher, timeoutMs);
}

bool MicrophoneRig::cameraRunning() const
{
    return m_publisher && m_publisher->state() != QProcess::NotRunning;
}

void MicrophoneRig::stopCamera()
{
    kill(m_publisher);
    kill(m_transmit);
}

bool MicrophoneRig::quitProgram(int timeoutMs)
{
    if (!m_program)
        return false;
    m_program->terminate();
    return ends(*m_program, timeoutMs) && m_program->exitStatus() == QProcess::NormalExit &&
           m_program->exitCode() == 0;
}

QStringList MicrophoneRig::record(const QStringList &recorders, const QString &name, double seconds,
                                  QString *error, int timeoutMs)
{
    QStringList paths;
    const int missedBefore = m_daemon->cyclesMissedBesides(QLatin1String(kNode));
    m_missedCycles = 0;
    std::vector<std::unique_ptr<Recorder>> takes;
    for (const QString &recorder : recorders) {
        paths << m_dir.filePath(QStringLiteral("%1-%2.wav").arg(name, recorder));
        takes.push_back(
            std::make_unique<Recorder>(*m_daemon, recorder, QLatin1String(kNode), paths.last()));
        if (!takes.back()->started()) {
            *error = recorder + QStringLiteral(" did not start");
            return {};
        }
    }
    const qint64 bytes = qint64(seconds * 48000) * 4 + 44;
    const auto filled = [&] {
        for (const QString &path : paths) {
            if (QFileInfo(path).size() < bytes)
                return false;
        }
        return true;
    };
    if (!QTest::qWaitFor(filled, timeoutMs)) {
        *error =
            QStringLiteral("%1 s of audio not recorded within %2 ms").arg(seconds).arg(timeoutMs);
        return {};
    }
    for (int i = 0; i < recorders.size(); ++i) {
        if (!takes[size_t(i)]->stop()) {
            *error = recorders.at(i) + QStringLiteral(" did not end on SIGINT");
            return {};
        }
    }
    m_missedCycles = m_daemon->cyclesMissedBesides(QLatin1String(kNode)) - missedBefore;
    return paths;
}
