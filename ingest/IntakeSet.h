#pragma once

#include "ingest/IntakePool.h"
#include "ingest/PortAllocator.h"
#include "ingest/RelayEnd.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class OutputSwitch;
class QThread;
class Relay;
class QTimer;
class Session;
struct IngestSettings;

// The intakes behind the listener and the relays that feed them: starts StreamManagers on
// loopback ports, keeps them by IntakePool's rules (hand-out, growth, idle retirement,
// replacement of an ended one, reclaim of one whose relay never reached it), attaches a relay
// to an intake at admission, and ends and deletes both when they are done.
//
// RTMP intakes listen on rtmp://127.0.0.1:PORT; the intakes SRT callers are relayed into read
// MPEG-TS from tcp://127.0.0.1:PORT. Every intake delivers through the same OutputSwitch.
//
// Threads: GUI thread only. The managers' signals arrive here queued from their threads; each
// manager and relay runs its own thread and is deleted here once that thread has ended. Only
// the destructor waits for threads.
class IntakeSet : public QObject
{
    Q_OBJECT
public:
    using Kind = IntakePool::Kind;

    // After a stop, how long the stream threads get before those still running are reported
    // (they then end by themselves; nothing waits for them). Sessions end within a few hundred
    // ms.
    static constexpr int kStopDeadlineMs = 1500;
    // A relay can end without ever reaching its intake (the camera reset the connection before
    // it was attached, or the loopback connection failed). That intake still waits for a
    // connection but will not announce itself again, so it is put back into the pool when it
    // has not done so this long after its relay ended.
    static constexpr int kReclaimDelayMs = 1000;

    // `output` is not owned and must outlive the set.
    IntakeSet(OutputSwitch &output, QObject *parent);
    // Ends every relay and intake and waits for their threads (the only wait in ingest).
    ~IntakeSet() override;

    // Listening starts: the pool takes intakes from here on.
    void start();
    // Starts `count` intakes of `kind` on fresh ports.
    void createIntakes(Kind kind, int count);
    // For a connection that found no intake waiting: grows the pool by the pool's rule.
    void grow(Kind kind);
    // The intake of `kind` that has waited longest, now serving; null when none waits.
    Session *take(Kind kind);
    // Admission: `relay` (an RtmpRelay or SrtRelay, made without a parent) feeds `manager`;
    // the set owns it from here, writes the admission values and starts it.
    void startSession(Session *manager, Relay *relay, const IngestSettings &settings);
    // Ends every relay (and so its session) that was let in with another key than `key`.
    void endSessionsWithoutKey(const QByteArray &key);

    // The listener stops: every relay and intake is asked to end at once; nothing waits.
    void stopAll();

    // The stream the window reports on: the one the user picked while it streams, else the
    // one on the (first) output, else the one admitted last.
    Session *statsManager() const;
    // The user picks the stream the window reports on (an id from cameras(); 0: none).
    void pickStats(quintptr id);
    // Every stream that delivers (joined the output switch): its id, its camera's address
    // and the output it is on (-1 while it waits), and the pictures decoded so far (a camera
    // that waits decodes none after its next keyframe).
    struct Camera
    {
        quintptr id = 0;
        QString peer;
        int output = -1;
        qint64 picturesDecoded = 0;
    };
    QList<Camera> cameras() const;
    // The relay feeding `manager` (null when none, or gone).
    Relay *relayOf(const Session *manager) const;
    QString peerOf(const Session *manager) const;
    bool isSrt(const Session *manager) const;

    int freeCount(Kind kind) const { return m_pool.freeCount(kind); }
    QList<int> freePorts(Kind kind) const { return m_pool.freePorts(kind); }
    QList<int> managerPorts() const;
    int managerCount() const;
    int relayCount() const;
    // Stream threads (intakes and relays) still running.
    int runningThreads() const;
    PortAllocator &ports() { return m_ports; }
    void setIdleRetireMs_for_testing(int ms);

    // The relay's end: logged with the camera's address (any relay kind).
    static void endRelay(Relay *relay, RelayEnd reason);

signals:
    // A stream's state text: "connecting ...", the picture size and rate, or "".
    void streamStateChanged(const QString &text);
    // The number of waiting intakes may have changed.
    void freeChanged();
    // Every thread a stop asked to end has ended.
    void stopped();

private:
    Session *startManager(int port, Kind kind);
    void onReady(Session *manager);
    void onEnded(Session *manager);
    void onManagerFinished(Session *manager);
    void onRelayFinished(Relay *relay);
    void reclaim(Session *manager, Relay *relay);
    void retireIdle();
    void checkStopped();

    // -- GUI thread only.
    OutputSwitch &m_output;
    IntakePool m_pool;
    PortAllocator m_ports;
    QElapsedTimer m_clock;
    QTimer *m_retireTimer = nullptr; // child
    int m_idleRetireMs = int(IntakePool::kIdleRetireMs);
    bool m_listening = false;
    bool m_shuttingDown = false;
    QPointer<Session> m_lastAdmitted;
    QPointer<Session> m_picked; // the stream the user chose for the statistics
    // The relay feeding each manager, and each manager's camera address.
    QHash<const QObject *, QPointer<Relay>> m_relayOf;
    // Every relay admitted and not yet deleted (owned: a relay has no parent, it moves between
    // threads).
    QList<Relay *> m_relays;
    QHash<const QObject *, QString> m_peerOf;
    // The key each relay was let in with.
    QHash<const QObject *, QByteArray> m_keyOf;
    // Threads a stop asked to end, and since when.
    QList<QPointer<QThread>> m_stopping;
    QElapsedTimer m_stopClock;
};
