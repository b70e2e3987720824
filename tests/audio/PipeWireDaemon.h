#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

// A private PipeWire for one test: pipewire, then wireplumber (without a session manager
// nothing gets ports), then pipewire-pulse, inside their own session bus and process group,
// serving in a runtime folder the test owns. The destructor stops the whole group.
//
// GUI (test) thread only.
class PipeWireDaemon
{
public:
    // The programs the daemon and the tests need that are not installed; empty when all are.
    static QStringList missingPrograms();
    // Points this process's PipeWire and PulseAudio clients (the code under test) at a
    // server serving in runtimeDir.
    static void pointClientsAt(const QString &runtimeDir);

    explicit PipeWireDaemon(const QString &runtimeDir);
    ~PipeWireDaemon();

    PipeWireDaemon(const PipeWireDaemon &) = delete;
    PipeWireDaemon &operator=(const PipeWireDaemon &) = delete;

    // Starts the daemons and waits (bounded) until the socket exists and `pactl info`
    // answers. False with errorString() when not.
    bool start(int timeoutMs = 20000);
    // Stops every process of the group: SIGTERM, a bounded wait, then SIGKILL. Idempotent.
    void stop();
    bool running() const;
    QString errorString() const { return m_error; }

    // The environment a client program needs to reach this server.
    QProcessEnvironment clientEnvironment() const;
    // Runs a client program against this server (bounded); its output, or empty with *ok false.
    QByteArray runClient(const QString &program, const QStringList &arguments, bool *ok = nullptr,
                         int timeoutMs = 5000) const;

    // True when `pactl list short sources` lists a source with this name.
    bool sourceListed(const QString &nodeName) const;
    // True when `pw-cli ls Node` lists a node with this node.name.
    bool nodeListed(const QString &nodeName) const;
    // Graph cycles, since start(), in which a client other than the node with this node.name
    // had not finished when the next cycle began, while that node had: the server's own misses
    // (a recorder then loses or shifts what it records, whatever the node sent).
    int cyclesMissedBesides(const QString &nodeName) const;
    // The id of the node with this node.name in `pw-cli ls Node`; -1 when none.
    int nodeId(const QString &nodeName) const;

private:
    const QString m_runtimeDir;
    std::unique_ptr<QProcess> m_process;
    qint64 m_groupId = 0;
    QString m_error;
};
