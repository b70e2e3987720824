#include "Recorder.h"

#include <csignal>
#include <sys/types.h>

Recorder::Recorder(const PipeWireDaemon &daemon, const QString &program, const QString &node,
                   const QString &path)
{
    QStringList args;
    if (program == QLatin1String("pw-record"))
        args << "--target" << node << "--rate"
             << "48000"
             << "--channels"
             << "2"
             << "--format"
             << "s16" << path;
    else
        // Without a short latency parecord's 2 s fragments lose much of a short take.
        args << "-d" << node << "--latency-msec=20"
             << "--file-format=wav"
             << "--rate=48000"
             << "--channels=2"
             << "--format=s16le" << path;
    m_process.setProcessEnvironment(daemon.clientEnvironment());
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(program, args);
}

Recorder::~Recorder()
{
    stop();
}

bool Recorder::started()
{
    return m_process.waitForStarted(5000);
}

bool Recorder::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit;
    ::kill(static_cast<pid_t>(m_process.processId()), SIGINT);
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return false;
    }
    return true;
}
