#pragma once

#include "app/LogThrottle.h"
#include "ingest/IngestSettings.h"
#include "ingest/IntakePool.h"
#include "ingest/IntakeSet.h"
#include "ingest/PortAllocator.h"
#include "ingest/SrtRelay.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTcpServer>

class ConnectionGate;
class IntakeSet;
class OutputSwitch;
class RtmpRelay;
class RefusalDrain;
class SrtListener;
class Session;
class QTimer;

// The program's only listening TCP socket: cameras publish RTMP to the user's port. A
// connection waits in the ConnectionGate until its first byte shows an RTMP handshake, then
// takes a waiting intake (IntakeSet) through an RtmpRelay; with none waiting it is
// refused with the overload text (RefusalDrain) and the pool grows.
//
// Beside it, with an SRT port set, an SrtListener takes SRT callers on their own UDP port;
// they are relayed (SrtRelay) into the TS intakes. Both kinds deliver through the same
// OutputSwitch, so the camera admitted last owns the output whichever protocol it speaks.
//
// Every connection is bounded in time: the gate closes one that sends nothing, a relay closes
// a camera that does not finish its handshake and publish within RtmpRelay::kPublishWaitMs,
// or that goes silent for the relays' idle timeout; at most kMaxStalled relays wait that have
// not even started their handshake, so a camera that does is never kept out by them.
//
// Threads: everything here runs on the GUI thread, and nothing here waits for a stream
// thread: a stop asks every relay and intake to end and returns (IntakeSet deletes them as
// they end; only destruction waits).
class Server : public QTcpServer
{
    Q_OBJECT
public:
    static constexpr int kPortBase = PortAllocator::kPortBase;
    static constexpr int kLastPort = PortAllocator::kLastPort;
    static int portBase() { return PortAllocator::portBase(); }
    static constexpr int kInitialManagers = IntakePool::kInitialRtmp;
    static constexpr int kInitialSrtManagers = IntakePool::kInitialSrt;
    static constexpr int kGrowManagers = IntakePool::kGrow;
    static constexpr int kMaxManagers = IntakePool::kMaxLive;
    static constexpr int kIdleRetireMs = int(IntakePool::kIdleRetireMs);
    static constexpr int kStopDeadlineMs = 1500;
    // Any RTMP client sends its first handshake packet (C0 and C1) at once. Relays whose camera
    // has not even sent that are stalled; at most this many wait at once (fewer than the
    // intakes kept ready, so such connections cannot take them all), the oldest goes first.
    static constexpr qint64 kHandshakeStartBytes = 1 + 1536;
    static constexpr int kMaxStalled = 6;
    // A relay counts as stalled once it has run this long without that packet (its relay may
    // simply not have read it yet), and stalled relays are looked at this often.
    static constexpr int kStalledAfterMs = 1000;
    static constexpr int kStallCheckMs = 250;
    static constexpr const char *kOverloadText = "Server is overloaded, try again later...";

    // GUI thread. Creates no intake and does not listen. Streams deliver through `output`
    // (not owned; it must outlive the listener).
    explicit Server(OutputSwitch &output, QObject *parent = nullptr);
    // GUI thread. Stops listening, ends every relay and intake and waits for their threads.
    ~Server() override;

    // GUI thread. Admission values apply to the next camera. A new key (or a key where there
    // was none) ends the sessions let in without it. The SRT part applies at the next start.
    void setSettings(const IngestSettings &settings);
    const IngestSettings &settings() const { return m_settings; }
    // GUI thread, before startListening: only the SRT part of the settings.
    void setSrtOptions(const SrtOptions &options) { m_settings.srt = options; }

    // GUI thread. Listens on address:port and starts the first intakes; true when listening.
    // A port that cannot be opened leaves everything idle; `error` gets the text for the user.
    // An SRT port that cannot be opened is logged and leaves RTMP running (srtListening()).
    bool startListening(const QHostAddress &address, quint16 port, QString *error = nullptr);
    // GUI thread. Closes the ports and asks every relay and intake (waiting or serving) to end;
    // returns at once. stopped() follows when all their threads have ended.
    void stopListening();
    bool srtListening() const;

    // GUI thread. The stream on the output (or, while none is, the one admitted last): its
    // buffered milliseconds and the bytes its relay took from the camera. False when there is
    // none (before the first admission, after a stop, once that stream's intake is gone).
    bool streamStats(int &audioMs, int &videoMs, qint64 &bytesReceived) const;
    // GUI thread. That stream's playout: delay (-1 before the first picture), pictures
    // skipped and repeated.
    bool playoutStats(qint64 &delayMs, qint64 &skipped, qint64 &repeated,
                      qint64 *lateAudio = nullptr) const;
    // GUI thread. The SRT link's figures when that stream came by SRT.
    bool srtStats(SrtRelay::LinkStats &stats) const;
    // GUI thread. That stream's camera address, "" when there is none.
    QString streamPeer() const;
    // GUI thread. The streams that deliver, and which output each is on (IntakeSet::cameras);
    // the statistics follow the one picked (an id from there) while it delivers.
    QList<IntakeSet::Camera> cameras() const;
    void pickStatsCamera(quintptr id);
    // The id of the stream the statistics follow now (0: none).
    quintptr statsCamera() const { return reinterpret_cast<quintptr>(statsManager()); }
    // GUI thread. Asks that stream to flush its buffers.
    void resetActiveBuffers();
    // Publishers and SRT callers refused for the key or the passphrase, over the listener's
    // life.
    qint64 refusedPublishers() const { return m_refusedLog.total(); }
    qint64 refusedSrtCallers() const { return m_srtRefusedLog.total(); }

    // -- Read-only views for diagnostics and tests, GUI thread.
    int lastManagerPort() const;
    void setLastManagerPort(int port);
    QList<int> freeManagerPorts() const;
    QList<int> freeSrtManagerPorts() const;
    QList<int> managerPorts_for_testing() const;
    int activeManagerPort() const;
    int managerCount() const;
    int relayCount() const;
    int drainingCount() const;
    // Connections waiting for their first byte, and those closed for sending none or no RTMP.
    int waitingCount() const;
    qint64 notRtmpCount() const;
    // RTMP relays still waiting for their verdict (handshake and publish).
    int unverifiedCount() const;
    void setIdleRetireMs_for_testing(int ms);
    void setFirstByteTimeoutMs_for_testing(int ms);

signals:
    // A stream's state text: "connecting ...", the picture size and rate, or "" when it ended.
    void streamStateChanged(const QString &text);
    // A publisher named the key, or was refused for not naming it (peer: its address).
    void publisherAccepted(const QString &peer);
    void publisherRefused(const QString &peer);
    // An SRT caller was served, or refused (key or encryption).
    void srtCallerAccepted(const QString &peer);
    void srtCallerRefused(const QString &peer);
    // Every stream thread a stop asked to end has ended.
    void stopped();

protected:
    // For every accepted connection: refusal when no intake waits, else the gate.
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void admit(qintptr socketDescriptor);
    void watchRelay(RtmpRelay *relay);
    // Ends the oldest stalled relays while more than kMaxStalled wait.
    void evictStalled();
    void startSrt();
    void onSrtCallerAccepted(int socket, const QString &peer);
    void onSrtOverloaded(const QString &peer);
    void syncSrtFree();
    Session *statsManager() const;

    // -- GUI thread only.
    IngestSettings m_settings;
    IntakeSet *m_intakes = nullptr;   // child
    ConnectionGate *m_gate = nullptr; // child
    RefusalDrain *m_drain = nullptr;  // child
    SrtListener *m_srt = nullptr;     // child; open while listening with SRT on
    struct Unverified
    {
        QPointer<RtmpRelay> relay;
        qint64 sinceMs = 0; // m_clock time of its admission
    };
    QList<Unverified> m_unverified; // oldest first
    QElapsedTimer m_clock;
    QTimer *m_stallTimer = nullptr; // child
    LogThrottle m_refusedLog;       // a peer can knock as often as it likes
    LogThrottle m_srtRefusedLog;
    LogThrottle m_srtOverloadLog;
};
