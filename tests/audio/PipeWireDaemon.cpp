#include "PipeWireDaemon.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/types.h>

namespace {

constexpr int kPollMs = 20;
constexpr int kStopGraceMs = 5000;

// pipewire first; the others once its socket is there (wireplumber gives up without it). The
// server notes each graph cycle a client did not finish in time (pw.node at info level) in a
// log of its own.
constexpr char kScript[] =
    "PIPEWIRE_DEBUG=W,pw.node:I PIPEWIRE_LOG=\"$XDG_RUNTIME_DIR/pipewire.log\" pipewire & i=0; "
    "while [ ! -S \"$XDG_RUNTIME_DIR/pipewire-0\" ] && [ $i -lt 500 ]; do "
    "sleep 0.02; i=$((i+1)); done; wireplumber & pipewire-pulse & wait";

QProcessEnvironment serverEnvironment(const QString &runtimeDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"PIPEWIRE_REMOTE", "PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    env.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"), runtimeDir);
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), runtimeDir + QStringLiteral("/pulse"));
    // wireplumber keeps state; keep it in the test's folder, not in a home directory.
    env.insert(QStringLiteral("XDG_STATE_HOME"), runtimeDir + QStringLiteral("/state"));
    return env;
}

} // namespace

QStringList PipeWireDaemon::missingPrograms()
{
    QStringList missing;
    for (const char *program : {"setsid", "dbus-run-session", "pipewire", "wireplumber",
                                "pipewire-pulse", "pactl", "pw-cli", "pw-record", "parecord"}) {
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            missing << QLatin1String(program);
    }
    return missing;
}

void PipeWireDaemon::pointClientsAt(const QString &runtimeDir)
{
    qunsetenv("PIPEWIRE_REMOTE");
    qunsetenv("PULSE_SERVER");
    qputenv("XDG_RUNTIME_DIR", runtimeDir.toLocal8Bit());
    qputenv("PIPEWIRE_RUNTIME_DIR", runtimeDir.toLocal8Bit());
    qputenv("PULSE_RUNTIME_PATH", (runtimeDir + QStringLiteral("/pulse")).toLocal8Bit());
}

PipeWireDaemon::PipeWireDaemon(const QString &runtimeDir) : m_runtimeDir(runtimeDir) {}

PipeWireDaemon::~PipeWireDaemon()
{
    stop();
}

bool PipeWireDaemon::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool PipeWireDaemon::start(int timeoutMs)
{
    stop();
    QDir().mkpath(m_runtimeDir);
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(serverEnvironment(m_runtimeDir));
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    // setsid: the group gets its own id (the shell's pid), so stop() reaches every daemon.
    m_process->start(QStringLiteral("setsid"),
                     {QStringLiteral("dbus-run-session"), QStringLiteral("--"),
                      QStringLiteral("sh"), QStringLiteral("-c"), QLatin1String(kScript)});
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("could not start dbus-run-session: ") + m_process->errorString();
        m_process.reset();
        return false;
    }
    m_groupId = m_process->processId();

    const QString socket = m_runtimeDir + QStringLiteral("/pipewire-0");
    QDeadlineTimer deadline(timeoutMs);
    bool ready = false;
    while (!deadline.hasExpired() && running()) {
        if (QFileInfo(socket).exists()) {
            bool ok = false;
            runClient(QStringLiteral("pactl"), {QStringLiteral("info")}, &ok, 2000);
            if (ok) {
                ready = true;
                break;
            }
        }
        QTest::qWait(kPollMs);
    }
    if (!ready) {
        m_error = running() ? QStringLiteral("PipeWire did not answer within %1 ms").arg(timeoutMs)
                            : QStringLiteral("the PipeWire daemons exited at start");
        stop();
        return false;
    }
    return true;
}

void PipeWireDaemon::stop()
{
    if (!m_process)
        return;
    if (m_groupId > 0)
        ::kill(static_cast<pid_t>(-m_groupId), SIGTERM);
    if (!m_process->waitForFinished(kStopGraceMs) && m_groupId > 0)
        ::kill(static_cast<pid_t>(-m_groupId), SIGKILL);
    m_process->waitForFinished(kStopGraceMs);
    // The shell may go before the daemons it started: wait for the whole group.
    if (m_groupId > 0) {
        QDeadlineTimer deadline(kStopGraceMs);
        while (::kill(static_cast<pid_t>(-m_groupId), 0) == 0 && !deadline.hasExpired())
            QTest::qWait(kPollMs);
        if (::kill(static_cast<pid_t>(-m_groupId), 0) == 0) {
            ::kill(static_cast<pid_t>(-m_groupId), SIGKILL);
            QDeadlineTimer last(kStopGraceMs);
            while (::kill(static_cast<pid_t>(-m_groupId), 0) == 0 && !last.hasExpired())
                QTest::qWait(kPollMs);
        }
    }
    m_process.reset();
    m_groupId = 0;
}

QProcessEnvironment PipeWireDaemon::clientEnvironment() const
{
    QProcessEnvironment env = serverEnvironment(m_runtimeDir);
    env.insert(QStringLiteral("PULSE_SERVER"),
               QStringLiteral("unix:") + m_runtimeDir + QStringLiteral("/pulse/native"));
    return env;
}

QByteArray PipeWireDaemon::runClient(const QString &program, const QStringList &arguments, bool *ok,
                                     int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(clientEnvironment());
    process.start(program, arguments);
    bool finished = process.waitForStarted(timeoutMs) && process.waitForFinished(timeoutMs);
    if (!finished && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
    const bool success =
        finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok)
        *ok = success;
    return success ? process.readAllStandardOutput() : QByteArray();
}

bool PipeWireDaemon::sourceListed(const QString &nodeName) const
{
    const QByteArray out =
        runClient(QStringLiteral("pactl"),
                  {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> columns = line.split('\t');
        if (columns.size() > 1 && columns.at(1) == nodeName.toUtf8())
            return true;
    }
    return false;
}

bool PipeWireDaemon::nodeListed(const QString &nodeName) const
{
    const QByteArray out =
        runClient(QStringLiteral("pw-cli"), {QStringLiteral("ls"), QStringLiteral("Node")});
    return out.contains("node.name = \"" + nodeName.toUtf8() + "\"");
}

int PipeWireDaemon::cyclesMissedBesides(const QString &nodeName) const
{
    QFile log(m_runtimeDir + QStringLiteral("/pipewire.log"));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    // "(<node.name>-<id>) client too slow! rate:512/48000 pos:164864 status:triggered", one line
    // per late client of the cycle at that position.
    static const QRegularExpression late(
        QStringLiteral(R"(\((.+)-\d+\) client too slow! .* pos:(\d+))"));
    QSet<QString> others;
    QSet<QString> own;
    while (!log.atEnd()) {
        const QString line = QString::fromUtf8(log.readLine());
        const QRegularExpressionMatch match = late.match(line);
        if (match.hasMatch())
            (match.captured(1) == nodeName ? own : others).insert(match.captured(2));
    }
    return int((others - own).size());
}

int PipeWireDaemon::nodeId(const QString &nodeName) const
{
    const QByteArray out =
        runClient(QStringLiteral("pw-cli"), {QStringLiteral("ls"), QStringLiteral("Node")});
    // Each object starts with a line "\tid N, type ..." followed by its properties.
    int id = -1;
    for (const QByteArray &line : out.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("id ")) {
            const int comma = trimmed.indexOf(',');
            id = trimmed.mid(3, comma - 3).toInt();
        } else if (trimmed == "node.name = \"" + nodeName.toUtf8() + "\"") {
            return id;
        }
    }
    return -1;
}
