#pragma once

// Processes the benchmarks drive: quorvix as users start it (offscreen, command-line port,
// webcam tap on a FIFO, never a real device), the stamped publisher, and what /proc says about
// a process. Header only, shared by the latency benchmark and the soak runner. GUI/main thread.

#include "ingest/Server.h"
#include "support/FreePort.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <string>

#include <unistd.h>

namespace bench {

// First loopback port of quorvix's stream managers (QUORVIX_INTAKE_PORT_BASE moves them).
inline quint16 firstManagerPort()
{
    return quint16(Server::portBase() + 1);
}

struct ProcSample
{
    bool alive = false;
    double cpuS = 0; // user + system
    qint64 rssKb = 0;
    qint64 peakRssKb = 0;
    int threads = 0;
    int fds = 0;
};

inline ProcSample procSample(qint64 pid)
{
    ProcSample s;
    if (pid <= 0)
        return s;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return s;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which may hold blanks and parentheses.
    const int close = line.lastIndexOf(')');
    const QList<QByteArray> f = line.mid(close + 2).split(' ');
    if (f.size() < 20)
        return s;
    s.alive = f.at(0) != "Z" && f.at(0) != "X";
    const double tick = double(sysconf(_SC_CLK_TCK));
    s.cpuS = (f.at(11).toLongLong() + f.at(12).toLongLong()) / tick; // utime, stime
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &l : status.readAll().split('\n')) {
            const QList<QByteArray> parts = l.simplified().split(' ');
            if (parts.size() < 2)
                continue;
            if (parts.at(0) == "VmRSS:")
                s.rssKb = parts.at(1).toLongLong();
            else if (parts.at(0) == "VmHWM:")
                s.peakRssKb = parts.at(1).toLongLong();
            else if (parts.at(0) == "Threads:")
                s.threads = parts.at(1).toInt();
        }
    }
    s.fds = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                    .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                    .size());
    return s;
}

// The program: $QUORVIX_PROGRAM, else next to the build's bench/ or tests/<area>/ folder.
inline QString quorvixProgram()
{
    const QString fromEnv = qEnvironmentVariable("QUORVIX_PROGRAM");
    if (!fromEnv.isEmpty())
        return fromEnv;
#ifdef QUORVIX_BINARY_DIR
    return QStringLiteral(QUORVIX_BINARY_DIR "/quorvix");
#else
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../quorvix");
#endif
}

// The stamped publisher: $QUORVIX_STAMPED_PUBLISHER, else the one built beside this program.
inline QString publisherProgram()
{
    const QString fromEnv = qEnvironmentVariable("QUORVIX_STAMPED_PUBLISHER");
    if (!fromEnv.isEmpty())
        return fromEnv;
#ifdef QUORVIX_STAMPED_PUBLISHER
    return QStringLiteral(QUORVIX_STAMPED_PUBLISHER);
#else
    return QCoreApplication::applicationDirPath() + QStringLiteral("/bench_stamped_publisher");
#endif
}

// Waits (event loop running) until the condition holds or the time is up.
template <typename Condition>
bool waitFor(Condition condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

// quorvix as a user starts it: `quorvix <port>`, offscreen, settings in a private folder.
class Quorvix
{
public:
    // workDir: private folder for settings and the log; tap: FIFO path; size: "WxH".
    // extra: more environment (for example a private PipeWire's).
    // program: another build of quorvix (a baseline); empty: quorvixProgram().
    // srtPort: the SRT listener's UDP port (written to its settings); 0 leaves SRT off.
    bool start(quint16 port, const QString &workDir, const QString &tap, const QString &size,
               const QProcessEnvironment &extra = QProcessEnvironment(),
               const QString &program = QString(), quint16 srtPort = 0)
    {
        {
            QDir().mkpath(workDir + QStringLiteral("/config/Morlaid"));
            QFile conf(workDir + QStringLiteral("/config/Morlaid/Quorvix.conf"));
            if (!conf.open(QIODevice::WriteOnly))
                return false;
            conf.write(
                srtPort
                    ? QStringLiteral("[General]\nSRT=true\nSRT_PORT=%1\n").arg(srtPort).toLatin1()
                    : QByteArray("[General]\nSRT=false\n"));
        }
        // Its stream managers take fixed loopback ports: wait while another instance (a test,
        // a user's quorvix) still holds them.
        if (!waitFor([] { return !FreePort::isListening(firstManagerPort()); }, 120000)) {
            std::fprintf(stderr, "the stream managers' ports stay taken by another program\n");
            return false;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), workDir + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), workDir + QStringLiteral("/data"));
        env.insert(QStringLiteral("QUORVIX_VCAM_DEVICE"),
                   QStringLiteral("/nonexistent/quorvix-bench-device"));
        env.insert(QStringLiteral("QUORVIX_VCAM_TAP"), tap);
        env.insert(QStringLiteral("QUORVIX_VCAM_SIZE"), size);
        env.insert(extra);
        m_process.setProcessEnvironment(env);
        m_logPath = workDir + QStringLiteral("/quorvix.log");
        m_process.setStandardOutputFile(m_logPath);
        m_process.setStandardErrorFile(m_logPath, QIODevice::Append);
        m_process.start(program.isEmpty() ? quorvixProgram() : program, {QString::number(port)});
        if (!m_process.waitForStarted(10000)) {
            std::fprintf(stderr, "cannot start %s\n", qPrintable(quorvixProgram()));
            return false;
        }
        // Serving once the port listens and the first stream manager waits for a camera.
        return waitFor(
            [&] {
                return m_process.state() == QProcess::Running && FreePort::isListening(port) &&
                       FreePort::isListening(firstManagerPort()) &&
                       (srtPort == 0 || FreePort::isUdpBound(srtPort));
            },
            20000);
    }

    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    QString logPath() const { return m_logPath; }

    // Ends it the way a desktop session does (SIGTERM); kills it only when it does not end.
    // True when it ended by itself with exit code 0.
    bool stop(int timeoutMs = 20000)
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
        m_process.terminate();
        if (!m_process.waitForFinished(timeoutMs)) {
            std::fprintf(stderr, "quorvix did not end within %d ms of SIGTERM: killed\n",
                         timeoutMs);
            m_process.kill();
            m_process.waitForFinished(5000);
            return false;
        }
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    QString exitText() const
    {
        if (m_process.state() != QProcess::NotRunning)
            return QStringLiteral("running");
        return m_process.exitStatus() == QProcess::NormalExit
                   ? QStringLiteral("exit code %1").arg(m_process.exitCode())
                   : QStringLiteral("crashed");
    }

    ~Quorvix() { stop(); }

private:
    QProcess m_process;
    QString m_logPath;
};

} // namespace bench
