#include "ingest/Server.h"

#include "engine/FfmpegLogLimit.h"
#include "engine/Session.h"
#include "ingest/ConnectionGate.h"
#include "ingest/IngestLog.h"
#include "ingest/IntakeSet.h"
#include "ingest/RtmpRelay.h"
#include "ingest/RefusalDrain.h"
#include "ingest/SrtListener.h"

#include <QTimer>

#include <srt/srt.h>

#include <algorithm>

Server::Server(OutputSwitch &output, QObject *parent)
    : QTcpServer(parent), m_intakes(new IntakeSet(output, this)), m_gate(new ConnectionGate(this)),
      m_drain(new RefusalDrain(this))
{
    setObjectName(QStringLiteral("Server"));
    connect(m_gate, &ConnectionGate::rtmpConnection, this, &Server::admit);
    connect(m_intakes, &IntakeSet::streamStateChanged, this, &Server::streamStateChanged);
    connect(m_intakes, &IntakeSet::freeChanged, this, &Server::syncSrtFree);
    connect(m_intakes, &IntakeSet::stopped, this, &Server::stopped);
    m_clock.start();
    m_stallTimer = new QTimer(this);
    m_stallTimer->setInterval(kStallCheckMs);
    connect(m_stallTimer, &QTimer::timeout, this, &Server::evictStalled);
}

Server::~Server()
{
    close();
    if (m_srt)
        m_srt->close();
    m_gate->clear();
    // The intakes and relays are waited for by their set's destructor, before the gate and the
    // drain (declared later as children) go.
    delete m_intakes;
    m_intakes = nullptr;
}

void Server::setSettings(const IngestSettings &settings)
{
    const bool newKey = !settings.streamKey.isEmpty() && settings.streamKey != m_settings.streamKey;
    m_settings = settings;
    // FFmpeg's intake logs the stream name a publisher used, which is the key.
    FfmpegLogLimit::setMaskedText(settings.streamKey);
    // One key for both protocols.
    m_settings.srt.streamKey = settings.streamKey;
    if (m_srt)
        m_srt->setStreamKey(settings.streamKey);
    if (newKey)
        m_intakes->endSessionsWithoutKey(settings.streamKey);
}

bool Server::startListening(const QHostAddress &address, quint16 port, QString *error)
{
    if (isListening()) {
        // A second start would otherwise fail in listen() and claim the port is taken.
        qCInfo(lcIngest) << "Server: already listening on" << serverPort();
        return true;
    }
    if (!listen(address, port)) {
        qCInfo(lcIngest).noquote() << "Server: listen failed" << port << errorString();
        if (error)
            *error = tr("Port %1 not available").arg(port) + QStringLiteral("\n") +
                     tr("Please enter other port") + tr(" ( Settings )");
        return false;
    }
    m_intakes->start();
    m_intakes->createIntakes(IntakePool::Kind::Rtmp, kInitialManagers);
    m_stallTimer->start();
    if (m_settings.srt.port != 0)
        startSrt();
    return true;
}

void Server::stopListening()
{
    qCInfo(lcIngest) << "SERVER STOP";
    close();
    m_gate->clear();
    // Nothing listens on SRT once stopped: the listener goes first, with its accept loop.
    if (m_srt)
        m_srt->close();
    m_unverified.clear();
    m_stallTimer->stop();
    m_intakes->stopAll();
}

bool Server::srtListening() const
{
    return m_srt && m_srt->isOpen();
}

void Server::startSrt()
{
    if (!m_srt) {
        m_srt = new SrtListener(this);
        connect(m_srt, &SrtListener::callerAccepted, this, &Server::onSrtCallerAccepted);
        connect(m_srt, &SrtListener::overloaded, this, &Server::onSrtOverloaded);
        connect(m_srt, &SrtListener::callerRefused, this,
                [this](const QString &peer, const QString &reason) {
                    if (m_srtRefusedLog.count())
                        qCWarning(lcIngest).noquote()
                            << QStringLiteral("Server: SRT caller refused: %1 from %2 (%3 so far)")
                                   .arg(reason, peer)
                                   .arg(m_srtRefusedLog.total());
                    emit srtCallerRefused(peer);
                });
    }
    QString error;
    m_srt->setFreeIntakes(0);
    if (!m_srt->open(m_settings.srt, error)) {
        // RTMP runs; the window shows the failure in the SRT address's place.
        qCWarning(lcIngest).noquote()
            << "Server: SRT listen failed" << m_settings.srt.port << error;
        return;
    }
    m_intakes->createIntakes(IntakePool::Kind::Srt, kInitialSrtManagers);
    m_srt->start();
}

void Server::syncSrtFree()
{
    if (m_srt)
        m_srt->setFreeIntakes(m_intakes->freeCount(IntakePool::Kind::Srt));
}

void Server::incomingConnection(qintptr socketDescriptor)
{
    // With no intake free the camera is told at once; otherwise it takes one only once its
    // first byte shows an RTMP handshake.
    if (m_intakes->freeCount(IntakePool::Kind::Rtmp) == 0) {
        admit(socketDescriptor);
        return;
    }
    m_gate->add(socketDescriptor);
}

void Server::admit(qintptr socketDescriptor)
{
    Session *const manager = m_intakes->take(IntakePool::Kind::Rtmp);
    if (!manager || manager->port() < 0) {
        m_intakes->grow(IntakePool::Kind::Rtmp);
        m_drain->refuse(socketDescriptor);
        return;
    }
    auto *relay = new RtmpRelay(socketDescriptor, manager->port());
    relay->setRequiredStreamKey(m_settings.streamKey);
    watchRelay(relay);
    m_unverified.append({relay, m_clock.elapsed()});
    evictStalled();
    m_intakes->startSession(manager, relay, m_settings);
}

void Server::watchRelay(RtmpRelay *relay)
{
    const QPointer<RtmpRelay> guard(relay);
    // Queued from the relay's thread.
    auto forget = [this, guard] {
        m_unverified.erase(std::remove_if(m_unverified.begin(), m_unverified.end(),
                                          [&](const Unverified &u) { return u.relay == guard; }),
                           m_unverified.end());
    };
    connect(relay, &RtmpRelay::sessionStarted, this, forget);
    connect(relay, &Relay::finished, this, forget);
    connect(relay, &RtmpRelay::publisherRefused, this,
            [this](const QString &peer, const QString &reason) {
                if (m_refusedLog.count())
                    qCWarning(lcIngest).noquote()
                        << QStringLiteral("Server: publisher refused: %1 from %2 (%3 so far)")
                               .arg(reason, peer)
                               .arg(m_refusedLog.total());
                emit publisherRefused(peer);
            });
    connect(relay, &RtmpRelay::publisherAccepted, this, &Server::publisherAccepted);
}

void Server::evictStalled()
{
    const qint64 now = m_clock.elapsed();
    QList<RtmpRelay *> stalled;
    for (const Unverified &u : m_unverified) {
        if (u.relay && now - u.sinceMs >= kStalledAfterMs &&
            u.relay->bytesFromClient() < kHandshakeStartBytes)
            stalled.append(u.relay); // oldest first
    }
    for (int i = 0; i < stalled.size() - kMaxStalled; ++i) {
        qCInfo(lcIngest).noquote()
            << "Server: too many connections stalled in their handshake, closed:"
            << stalled.at(i)->peerAddress();
        stalled.at(i)->end(RelayEnd::Refused);
    }
}

int Server::unverifiedCount() const
{
    return int(std::count_if(m_unverified.begin(), m_unverified.end(),
                             [](const Unverified &u) { return !u.relay.isNull(); }));
}

void Server::onSrtOverloaded(const QString &peer)
{
    if (!isListening() || !srtListening())
        return;
    if (m_srtOverloadLog.count())
        qCInfo(lcIngest).noquote()
            << QStringLiteral("Server: SRT caller from %1 refused, no free intake (%2 so far)")
                   .arg(peer)
                   .arg(m_srtOverloadLog.total());
    // As for RTMP: room is made only while none waits, so a burst grows the pool in steps.
    if (m_intakes->freeCount(IntakePool::Kind::Srt) == 0)
        m_intakes->grow(IntakePool::Kind::Srt);
}

void Server::onSrtCallerAccepted(int socket, const QString &peer)
{
    if (!isListening() || !srtListening()) {
        srt_close(socket);
        return;
    }
    Session *const manager = m_intakes->take(IntakePool::Kind::Srt);
    if (!manager || manager->port() < 0) {
        // The handshake found an intake, but another caller took it first.
        qCInfo(lcIngest).noquote() << "Server: no free SRT intake, caller closed:" << peer;
        srt_close(socket);
        onSrtOverloaded(peer);
        return;
    }
    auto *relay = new SrtRelay(socket, peer, manager->port());
    emit srtCallerAccepted(peer);
    m_intakes->startSession(manager, relay, m_settings);
}

Session *Server::statsManager() const
{
    return m_intakes->statsManager();
}

bool Server::srtStats(SrtRelay::LinkStats &stats) const
{
    const Session *manager = statsManager();
    if (!manager || !m_intakes->isSrt(manager))
        return false;
    const auto *relay = qobject_cast<const SrtRelay *>(m_intakes->relayOf(manager));
    if (!relay)
        return false;
    stats = relay->linkStats();
    return true;
}

QList<IntakeSet::Camera> Server::cameras() const
{
    return m_intakes->cameras();
}

void Server::pickStatsCamera(quintptr id)
{
    m_intakes->pickStats(id);
}

QString Server::streamPeer() const
{
    const Session *manager = statsManager();
    return manager ? m_intakes->peerOf(manager) : QString();
}

bool Server::streamStats(int &audioMs, int &videoMs, qint64 &bytesReceived) const
{
    Session *manager = statsManager();
    if (!manager)
        return false;
    manager->bufferedMs(audioMs, videoMs);
    bytesReceived = manager->bytesReceived();
    return true;
}

bool Server::playoutStats(qint64 &delayMs, qint64 &skipped, qint64 &repeated,
                          qint64 *lateAudio) const
{
    Session *manager = statsManager();
    if (!manager)
        return false;
    const DeliveryPolicy::Stats stats = manager->playoutStats();
    delayMs = stats.delayMs;
    skipped = stats.skipped;
    repeated = stats.repeated;
    if (lateAudio)
        *lateAudio = stats.lateAudio;
    return true;
}

void Server::resetActiveBuffers()
{
    if (Session *manager = statsManager())
        manager->requestBufferReset();
}

int Server::lastManagerPort() const
{
    return m_intakes->ports().last();
}

void Server::setLastManagerPort(int port)
{
    m_intakes->ports().setLast(port);
}

QList<int> Server::freeManagerPorts() const
{
    return m_intakes->freePorts(IntakePool::Kind::Rtmp);
}

QList<int> Server::freeSrtManagerPorts() const
{
    return m_intakes->freePorts(IntakePool::Kind::Srt);
}

QList<int> Server::managerPorts_for_testing() const
{
    return m_intakes->managerPorts();
}

int Server::activeManagerPort() const
{
    const Session *manager = statsManager();
    return manager ? manager->port() : -1;
}

int Server::managerCount() const
{
    return m_intakes->managerCount();
}

int Server::relayCount() const
{
    return m_intakes->relayCount();
}

int Server::drainingCount() const
{
    return m_drain->drainingCount();
}

int Server::waitingCount() const
{
    return m_gate->pendingCount();
}

qint64 Server::notRtmpCount() const
{
    return m_gate->rejectedCount();
}

void Server::setIdleRetireMs_for_testing(int ms)
{
    m_intakes->setIdleRetireMs_for_testing(ms);
}

void Server::setFirstByteTimeoutMs_for_testing(int ms)
{
    m_gate->setTimeoutMs_for_testing(ms);
}
