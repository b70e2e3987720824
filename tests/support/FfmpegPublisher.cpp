#include "support/FfmpegPublisher.h"

#include <QStandardPaths>

#include <csignal>

#include <signal.h>

namespace {
constexpr int kTerminateWaitMs = 3000;
constexpr int kKillWaitMs = 3000;
} // namespace

FfmpegPublisher::FfmpegPublisher(const Options &options) : m_options(options) {}

FfmpegPublisher::FfmpegPublisher() : FfmpegPublisher(Options()) {}

FfmpegPublisher::~FfmpegPublisher()
{
    stop();
}

QString FfmpegPublisher::program()
{
    return QStringLiteral("ffmpeg");
}

bool FfmpegPublisher::available()
{
    return !QStandardPaths::findExecutable(program()).isEmpty();
}

QStringList FfmpegPublisher::arguments(quint16 port) const
{
    const Options &o = m_options;
    QStringList args{QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
                     QStringLiteral("-nostats"), QStringLiteral("-loglevel"),
                     QStringLiteral("warning")};
    if (o.realtime)
        args << QStringLiteral("-re");
    if (!o.inputFile.isEmpty()) {
        args << o.inputFileArgs << QStringLiteral("-i") << o.inputFile;
        if (o.durationS > 0)
            args << QStringLiteral("-t") << QString::number(o.durationS);
        args << QStringLiteral("-c") << QStringLiteral("copy") << o.extraOutputArgs
             << outputArguments(port);
        return args;
    }
    QString video =
        QStringLiteral("%1%2size=%3x%4:rate=%5")
            .arg(o.videoSource, o.videoSource.contains(QLatin1Char('=')) ? QStringLiteral(":")
                                                                         : QStringLiteral("="))
            .arg(o.size.width())
            .arg(o.size.height())
            .arg(o.rate);
    if (!o.lavfiVideo.isEmpty())
        video = o.lavfiVideo;
    args << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i") << video;
    if (o.audio)
        args << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i")
             << QStringLiteral("sine=frequency=440:sample_rate=%1").arg(o.sampleRate);
    if (o.durationS > 0)
        args << QStringLiteral("-t") << QString::number(o.durationS);
    args << QStringLiteral("-c:v") << QStringLiteral("libx264") << QStringLiteral("-preset")
         << QStringLiteral("ultrafast") << QStringLiteral("-tune") << QStringLiteral("zerolatency")
         << QStringLiteral("-g") << QString::number(o.gop) << QStringLiteral("-pix_fmt")
         << o.pixFmt;
    if (!o.bitrate.isEmpty())
        args << QStringLiteral("-b:v") << o.bitrate;
    if (o.audio)
        args << QStringLiteral("-c:a") << QStringLiteral("aac");
    else
        args << QStringLiteral("-an");
    args << o.extraOutputArgs;
    args << outputArguments(port);
    return args;
}

QStringList FfmpegPublisher::outputArguments(quint16 port) const
{
    const Options &o = m_options;
    if (o.srt) {
        QString url = QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(port);
        if (!o.srtOptions.isEmpty())
            url += QLatin1Char('&') + o.srtOptions;
        return {QStringLiteral("-f"), QStringLiteral("mpegts"), url};
    }
    return {QStringLiteral("-f"), QStringLiteral("flv"),
            QStringLiteral("rtmp://127.0.0.1:%1/%2").arg(port).arg(o.path)};
}

bool FfmpegPublisher::start(quint16 port)
{
    stop();
    m_errors.clear();
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start(program(), arguments(port));
    return m_process.waitForStarted(5000);
}

bool FfmpegPublisher::waitForFinished(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    const bool finished = m_process.waitForFinished(timeoutMs);
    m_errors += m_process.readAllStandardError();
    return finished;
}

void FfmpegPublisher::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(kKillWaitMs);
    m_errors += m_process.readAllStandardError();
}

bool FfmpegPublisher::freeze()
{
    if (m_process.state() == QProcess::NotRunning || m_process.processId() <= 0)
        return false;
    return ::kill(pid_t(m_process.processId()), SIGSTOP) == 0;
}

bool FfmpegPublisher::thaw()
{
    if (m_process.state() == QProcess::NotRunning || m_process.processId() <= 0)
        return false;
    return ::kill(pid_t(m_process.processId()), SIGCONT) == 0;
}

void FfmpegPublisher::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // A frozen process would only see the request to end once it runs again.
    thaw();
    m_process.terminate();
    if (!m_process.waitForFinished(kTerminateWaitMs)) {
        m_process.kill();
        m_process.waitForFinished(kKillWaitMs);
    }
    m_errors += m_process.readAllStandardError();
}

bool FfmpegPublisher::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

int FfmpegPublisher::exitCode() const
{
    return m_process.exitCode();
}

QProcess::ExitStatus FfmpegPublisher::exitStatus() const
{
    return m_process.exitStatus();
}

QByteArray FfmpegPublisher::errorOutput()
{
    m_errors += m_process.readAllStandardError();
    return m_errors;
}

qint64 FfmpegPublisher::processId() const
{
    return m_process.processId();
}
