#pragma once

#include "app/LogThrottle.h"
#include "engine/OutputSwitch.h"
#include "ingest/SrtOptions.h"
#include "ingest/SrtRelay.h"

#include <QHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTcpServer>

#include <functional>

class ConnectionGate;
class ProxyThread;
class ServerHost;
class SrtListener;
class StreamManager;
class OutputSink;
class QTimer;
class QWidget;

// The program's only listening socket: cameras publish RTMP to the user's port, and each
// accepted connection is handed to a ready StreamManager from a pool of loopback intakes
// (ports 61101 upward) through a ProxyThread byte relay. With no manager ready the connection
// is refused with the overload text and the pool grows; a manager whose stream ended is
// replaced on the same port.
//
// Beside it, with SRT options set, an SrtListener takes SRT callers on their own UDP port; they
// are relayed (SrtRelay) into a second pool of intakes that read MPEG-TS from loopback TCP.
// Both pools draw ports from the same counter, obey the same limits (refusal and growth,
// replacement, idle retirement, one deadline at stop) and deliver through the same
// OutputSwitch, so the camera admitted last owns the output whichever protocol it speaks.
//
// The parent window is consulted at each admission through ServerHost (found as the QObject
// parent); each manager's state text goes straight to the host's onUpdateStreamState.
//
// Threads: everything here runs on the GUI thread: the public functions, incomingConnection
// and the handlers of the managers' signals (queued from their threads). Managers and relays
// are children of the listener; each runs its own thread. Destruction runs a complete stop:
// no manager or relay thread outlives its object.
class Server : public QTcpServer
{
    Q_OBJECT
public:
    // Loopback port counter base: the first manager ever gets portBase() + 1.
    static constexpr int kPortBase = 61100;
    // The base in use: QUORVIX_INTAKE_PORT_BASE (1024..65000) when set, else kPortBase. Two
    // copies of the program, or test runs side by side, each need a range of their own.
    static int portBase();
    // Managers created when listening starts, and added when a connection finds none free.
    static constexpr int kInitialManagers = 10;
    static constexpr int kGrowManagers = 3;
    // TS intakes kept ready for SRT callers while SRT is on.
    static constexpr int kInitialSrtManagers = 4;
    // Growth stops at this many live managers (three threads each): a peer that opens
    // connections faster than managers come back cannot make the pool grow without end.
    static constexpr int kMaxManagers = 40;
    // Highest TCP port; the counter wraps back to portBase() + 1 after it, skipping ports that
    // live managers still hold.
    static constexpr int kLastPort = 65535;
    // Step of the stop sequence's wait: the window's events are handled between steps, so it
    // keeps repainting while the threads end.
    static constexpr int kStopPollMs = 10;
    // The stop sequence asks every relay and manager to end at once and waits this long for all
    // of them together; one still running then is left to end by itself and deleted when it has
    // (its object is never destroyed while it runs). Sessions end within a few hundred ms.
    static constexpr int kStopDeadlineMs = 1500;
    // Intakes ready beyond kInitialManagers that have waited this long for a camera are
    // retired, so a burst that grew the pool does not keep its threads and ports for good.
    static constexpr int kIdleRetireMs = 60000;
    // A refused camera gets the overload text, then our side is shut for writing and whatever
    // it still sends is read and dropped for at most this long before the socket is closed:
    // closing with its bytes unread would answer with a reset that can destroy the text.
    static constexpr int kRefuseDrainMs = 2000;
    // Refused sockets draining at once; beyond this a refused socket is closed at once, so a
    // flood of refused connections cannot hold many descriptors.
    static constexpr int kMaxDrainingSockets = 64;
    // A relay can end without ever reaching its manager (the camera reset the connection
    // before it was attached, or the loopback connection failed). That manager still waits for
    // a connection but will not announce itself again, so it is put back into the pool when it
    // has not done so this long after its relay ended.
    static constexpr int kReclaimDelayMs = 1000;
    // Bound handed to a stream when no host window is there to ask.
    static constexpr int kFallbackMaxBufferMs = 2000;
    // Written to a refused connection, followed by CR LF.
    static constexpr const char *kOverloadText = "Server is overloaded, try again later...";

    // Shows the port warning: parent window, title and text. The default is the modal
    // QMessageBox::critical with a single Ok button; tests put a recorder in its place.
    using WarningBox =
        std::function<void(QWidget *parent, const QString &title, const QString &text)>;

    // GUI thread. Creates no manager and does not listen. The managers deliver to output
    // through the listener's OutputSwitch, one camera at a time (not owned; it must outlive
    // the listener). parent is the main window; when
    // it implements ServerHost the listener reads its admission values from it.
    Server(OutputSink *output, QObject *parent);
    // GUI thread. Stops listening, ends every relay and manager and waits for their threads.
    ~Server() override;

    // GUI thread. Listens on address:port and creates the first ten managers; true when
    // listening. A port that cannot be opened shows the warning box and creates nothing.
    // With SRT options set (a port), the SRT listener and its intakes start too; an SRT port
    // that cannot be opened is logged and leaves RTMP running (srtListening() tells).
    bool startListening(const QHostAddress &address, quint16 port);
    // GUI thread, before startListening: the SRT listener's set-up; port 0 leaves SRT off.
    void setSrtOptions(const SrtOptions &options) { m_srtOptions = options; }
    // GUI thread. True while the SRT listener is open.
    bool srtListening() const;
    // GUI thread. The SRT link's figures when the stream streamStats reports on came by SRT.
    bool srtStats(SrtRelay::LinkStats &stats) const;
    // GUI thread. The stop sequence: closes the port, asks every relay and every manager
    // (waiting or serving) to end at once, then waits for all of them with one deadline
    // (kStopDeadlineMs), handling the window's events (not user input) in short steps.
    void stopListening();
    // GUI thread. The stream on the output (or, while none is, the one that received the
    // latest connection): its buffered milliseconds and the bytes its relay took from the
    // camera. False when there is none (before the first admission, after a stop, and once
    // that stream's manager has ended and gone).
    bool streamStats(int &audioMs, int &videoMs, qint64 &bytesReceived) const;
    // GUI thread. What that stream's playout does: its delay (-1 before the first picture),
    // pictures skipped and repeated. False when there is no stream.
    bool playoutStats(qint64 &delayMs, qint64 &skipped, qint64 &repeated) const;
    // GUI thread. The address of the camera whose stream streamStats reports on, "" when
    // there is none.
    QString streamPeer() const;
    // Publishers refused for not naming the required stream key, over the listener's life.
    qint64 refusedPublishers() const { return m_refusedLog.total(); }
    // GUI thread. Asks the stream on the output (as for streamStats) to flush its buffers.
    void resetActiveBuffers();

    // GUI thread. Replaces the port warning box (tests); an empty function restores the
    // default.
    void setWarningBox(WarningBox box);
    static void showWarningBox(QWidget *parent, const QString &title, const QString &text);

    // -- Read-only views for diagnostics and tests, GUI thread.
    // Last loopback port handed to a manager (never reused across stop and start).
    int lastManagerPort() const { return m_last_smgr_port; }
    // Moves the port counter (tests of the wrap at the top of the port range).
    void setLastManagerPort(int port) { m_last_smgr_port = port; }
    // Ports of the managers waiting for a connection, in hand-out order (RTMP, SRT).
    QList<int> freeManagerPorts() const;
    QList<int> freeSrtManagerPorts() const;
    // Callers refused for their encryption, over the listener's life.
    qint64 refusedSrtCallers() const { return m_srtRefusedLog.total(); }
    // Ports of every manager object alive now, serving, waiting or stopped (tests).
    QList<int> managerPorts_for_testing() const;
    // Port of the manager streamStats reports on, -1 when there is none.
    int activeManagerPort() const;
    // Manager and relay objects alive now (serving, waiting, or ended and not yet deleted).
    int managerCount() const;
    int relayCount() const;
    // Refused sockets still being drained.
    int drainingCount() const { return m_draining; }
    // Connections waiting for their first byte, and those closed for sending none or no RTMP.
    int waitingCount() const;
    qint64 notRtmpCount() const;

    // GUI thread, tests: shortens the idle time after which extra intakes are retired.
    void setIdleRetireMs_for_testing(int ms);
    // GUI thread, tests: shortens the wait for a connection's first byte.
    void setFirstByteTimeoutMs_for_testing(int ms);

public slots:
    // Manager error: logged only, nothing is shown to the user.
    void onStreamManagerShowError(QString title, QString txt);

protected:
    // GUI thread, for every accepted connection: refusal when no intake is free, else the
    // gate, which admits it once its first byte is an RTMP handshake's.
    void incomingConnection(qintptr socketDescriptor) override;

private:
    // Admission to a free intake, or refusal with the overload text when none is.
    void admit(qintptr socketDescriptor);
    // The handlers of a manager's signals get the manager itself: a queued signal may arrive
    // after its sender is gone, so QObject::sender() is not trusted here.
    void onStreamManagerReadyForConnect(StreamManager *manager);
    void onStreamManagerStopHandle(StreamManager *manager);
    void onManagerFinished(StreamManager *manager);
    void onRelayFinished(ProxyThread *relay);
    void onSrtRelayFinished(SrtRelay *relay);
    // Either kind of relay has ended; `current`: it is still the one recorded for its port.
    void relayFinished(QThread *relay, bool current);
    void reclaimLater(QThread *relay);
    void reclaimManager(StreamManager *manager, QThread *relay);
    void onSrtCallerAccepted(int socket, const QString &peer);
    void onSrtOverloaded(const QString &peer);
    void startSrt();
    // The free list a manager belongs to (SRT or RTMP).
    QList<StreamManager *> &freeList(const StreamManager *manager);
    bool isSrtManager(const StreamManager *manager) const;
    // Tells the SRT listener how many intakes wait, for its handshake-time refusal.
    void syncSrtFree();

    // The manager whose stream is on the output, else the one admitted last (or null).
    StreamManager *statsManager() const;
    void createManagers(int count, bool srt = false);
    void replaceManager(int port, bool srt);
    // Advances m_last_smgr_port to the next port no live manager holds.
    int nextManagerPort();
    StreamManager *startManager(int port, bool srt);
    void refuse(qintptr socketDescriptor);
    // Waits until none of `threads` runs or the deadline passes; with `handleEvents` the GUI
    // thread's events (not user input) are handled between steps. True when all have ended.
    static bool waitForThreads(const QList<QPointer<QThread>> &threads, int deadlineMs,
                               bool handleEvents);
    void stopAll(bool handleEvents);
    // Retires intakes beyond kInitialManagers that have waited kIdleRetireMs (GUI timer).
    void retireIdleManagers();
    // Hands the host's stream key to the relay and reports its verdict.
    void watchStreamKey(ProxyThread *relay);
    // Ends and destroys every relay and manager still alive (destruction).
    void shutdown();

    // -- GUI thread only: the managers' signals arrive here queued, so the pool needs no lock.
    const int m_portBase = portBase();
    int m_last_smgr_port = m_portBase;
    QPointer<StreamManager> m_activeManager;  // not owned; null once that manager is deleted
    QList<StreamManager *> m_freeManagers;    // FIFO; every entry is a live child
    QList<StreamManager *> m_freeSrtManagers; // the same for the TS intakes
    QSet<const QObject *> m_srtManagers;      // managers that are TS intakes
    // When each manager in m_freeManagers last entered it (m_clock milliseconds).
    QHash<const QObject *, qint64> m_readySince;
    // Managers already replaced (their stopHandle came): finished() does not replace them again.
    QSet<const QObject *> m_replaced;
    QElapsedTimer m_clock;
    QTimer *m_retireTimer = nullptr;  // child
    ConnectionGate *m_gate = nullptr; // child
    int m_idleRetireMs = kIdleRetireMs;
    int m_draining = 0;
    // The relay most recently started for each manager port.
    QHash<int, QPointer<ProxyThread>> m_relays;
    QHash<int, QPointer<SrtRelay>> m_srtRelays;
    SrtOptions m_srtOptions;
    SrtListener *m_srt = nullptr; // child; open while listening with SRT on
    // Managers of an earlier listening session (all that were alive at a stop). Their queued
    // signals may arrive after the next start and must not count for the new session. An
    // entry leaves the set when its manager is destroyed.
    QSet<const QObject *> m_retired;
    OutputSwitch m_output; // the managers' way to the output; used from their threads

    ServerHost *m_host = nullptr;    // the parent window, when it is a ServerHost
    QObject *m_hostObject = nullptr; // the same window as a QObject (context of its slot)
    WarningBox m_warningBox;
    bool m_shuttingDown = false;
    LogThrottle m_refusedLog; // a peer can knock as often as it likes
    LogThrottle m_srtRefusedLog;
    LogThrottle m_srtOverloadLog;
};
