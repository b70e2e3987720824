#include "ingest/Server.h"

#include "engine/StreamManager.h"
#include "ingest/ConnectionGate.h"
#include "ingest/IngestLog.h"
#include "ingest/ProxyThread.h"
#include "ingest/ServerHost.h"
#include "ingest/SrtListener.h"

#include <srt/srt.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

Server::Server(OutputSink *output, QObject *parent)
    : QTcpServer(parent), m_output(output), m_warningBox(&Server::showWarningBox)
{
    setObjectName(QStringLiteral("Server"));
    // The window constructs the listener from its own constructor body, where its dynamic
    // type is already complete.
    m_host = dynamic_cast<ServerHost *>(parent);
    if (m_host)
        m_hostObject = parent;
    m_clock.start();
    m_gate = new ConnectionGate(this);
    connect(m_gate, &ConnectionGate::rtmpConnection, this, &Server::admit);
    m_retireTimer = new QTimer(this);
    m_retireTimer->setInterval(qBound(50, kIdleRetireMs / 4, 5000));
    connect(m_retireTimer, &QTimer::timeout, this, &Server::retireIdleManagers);
}

void Server::setFirstByteTimeoutMs_for_testing(int ms)
{
    m_gate->setTimeoutMs_for_testing(ms);
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
    m_idleRetireMs = qMax(1, ms);
    m_retireTimer->setInterval(qBound(10, m_idleRetireMs / 4, 5000));
}

void Server::retireIdleManagers()
{
    if (!isListening())
        return;
    const qint64 now = m_clock.elapsed();
    auto retire = [&](QList<StreamManager *> &list, int keep) {
        // Oldest waiting first: the list is in the order the managers became ready.
        const QList<StreamManager *> free = list;
        for (StreamManager *manager : free) {
            if (list.size() <= keep)
                break;
            if (now - m_readySince.value(manager, now) < m_idleRetireMs)
                continue;
            qCInfo(lcIngest) << "Server: idle intake retired:" << manager->port();
            list.removeAll(manager);
            m_readySince.remove(manager);
            // Retired: its end is not replaced; onManagerFinished deletes it.
            m_retired.insert(manager);
            manager->requestStopAsync();
        }
    };
    retire(m_freeManagers, kInitialManagers);
    retire(m_freeSrtManagers, kInitialSrtManagers);
    syncSrtFree();
}

QList<StreamManager *> &Server::freeList(const StreamManager *manager)
{
    return isSrtManager(manager) ? m_freeSrtManagers : m_freeManagers;
}

bool Server::isSrtManager(const StreamManager *manager) const
{
    return m_srtManagers.contains(manager);
}

void Server::syncSrtFree()
{
    if (m_srt)
        m_srt->setFreeIntakes(m_freeSrtManagers.size());
}

bool Server::srtListening() const
{
    return m_srt && m_srt->isOpen();
}

Server::~Server()
{
    m_shuttingDown = true;
    if (isListening())
        stopListening();
    shutdown();
}

void Server::setWarningBox(WarningBox box)
{
    m_warningBox = box ? std::move(box) : WarningBox(&Server::showWarningBox);
}

void Server::showWarningBox(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

bool Server::startListening(const QHostAddress &address, quint16 port)
{
    if (isListening()) {
        // A second start would otherwise fail in listen() and claim the port is taken.
        qCInfo(lcIngest) << "Server: already listening on" << serverPort();
        return true;
    }
    if (!listen(address, port)) {
        qCInfo(lcIngest).noquote() << "Server: listen failed" << port << errorString();
        const QString text = tr("Port %1 not available").arg(port) + QStringLiteral("\n") +
                             tr("Please enter other port") + tr(" ( Settings )");
        m_warningBox(qobject_cast<QWidget *>(parent()), tr("Warning"), text);
        return false;
    }
    m_activeManager = nullptr;
    createManagers(kInitialManagers);
    m_retireTimer->start();
    if (m_srtOptions.port != 0)
        startSrt();
    return true;
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
                    if (m_host)
                        m_host->onSrtCallerRefused(peer);
                });
    }
    QString error;
    m_srt->setFreeIntakes(0);
    if (!m_srt->open(m_srtOptions, error)) {
        // No message box: RTMP runs, and the window shows the failure in the SRT address's
        // place (srtListening() is false).
        qCWarning(lcIngest).noquote() << "Server: SRT listen failed" << m_srtOptions.port << error;
        return;
    }
    createManagers(kInitialSrtManagers, true);
    m_srt->start();
}

void Server::createManagers(int count, bool srt)
{
    qCInfo(lcIngest) << "create StreamManager pool:" << count << (srt ? "SRT" : "RTMP");
    for (int i = 0; i < count; ++i) {
        const int port = nextManagerPort();
        qCInfo(lcIngest) << "m_last_smgr_port:" << port;
        startManager(port, srt);
    }
}

int Server::portBase()
{
    static const int base = [] {
        const QByteArray text = qgetenv("QUORVIX_INTAKE_PORT_BASE");
        if (text.isEmpty())
            return int(kPortBase);
        bool ok = false;
        const int value = text.toInt(&ok);
        if (!ok || value < 1024 || value > 65000) {
            qCWarning(lcIngest) << "QUORVIX_INTAKE_PORT_BASE must be 1024..65000, not" << text
                                << "- using" << kPortBase;
            return int(kPortBase);
        }
        return value;
    }();
    return base;
}

int Server::nextManagerPort()
{
    QSet<int> held;
    const auto managers = findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly);
    for (const StreamManager *manager : managers)
        held.insert(manager->port());
    for (int tries = 0; tries <= kLastPort - m_portBase; ++tries) {
        ++m_last_smgr_port;
        if (m_last_smgr_port > kLastPort || m_last_smgr_port <= m_portBase)
            m_last_smgr_port = m_portBase + 1;
        if (!held.contains(m_last_smgr_port))
            break;
    }
    return m_last_smgr_port;
}

void Server::replaceManager(int port, bool srt)
{
    startManager(port, srt);
}

StreamManager *Server::startManager(int port, bool srt)
{
    auto *manager = new StreamManager(this);
    if (srt)
        m_srtManagers.insert(manager);
    const QPointer<StreamManager> guard(manager);
    connect(manager, &StreamManager::readyForConnect, this, [this, guard] {
        if (guard)
            onStreamManagerReadyForConnect(guard);
    });
    connect(manager, &StreamManager::stopHandle, this, [this, guard] {
        if (guard)
            onStreamManagerStopHandle(guard);
    });
    connect(manager, &StreamManager::errorMessage, this, &Server::onStreamManagerShowError);
    if (m_host) {
        ServerHost *host = m_host;
        // The window is the context: the state text is delivered queued on its thread, and
        // the connection goes away with the window.
        connect(manager, &StreamManager::updateStreamState, m_hostObject,
                [host](const QString &msg) { host->onUpdateStreamState(msg); });
    }
    connect(manager, &QObject::destroyed, this, [this](QObject *gone) {
        m_retired.remove(gone);
        m_replaced.remove(gone);
        m_readySince.remove(gone);
        m_srtManagers.remove(gone);
    });
    // An ended manager is deleted once its thread is over (see onManagerFinished).
    connect(manager, &QThread::finished, this, [this, guard] {
        if (guard)
            onManagerFinished(guard);
    });
    // Set before the thread starts, so the manager never sees it change under it.
    manager->m_output = &m_output;
    // A TS intake reads MPEG-TS from a plain TCP connection: the SRT relay's.
    manager->startListen(srt ? QStringLiteral("tcp://127.0.0.1:%1").arg(port)
                             : QStringLiteral("rtmp://127.0.0.1:%1").arg(port),
                         port);
    return manager;
}

void Server::onStreamManagerReadyForConnect(StreamManager *manager)
{
    if (!isListening() || m_retired.contains(manager)) {
        // A manager whose handshake was cut by the stop sequence listens again; after a stop
        // nothing may keep listening, so it is stopped here and deleted when it has ended.
        if (manager->isRunning() && !manager->stopped())
            manager->requestStop();
        return;
    }
    if (manager->stopped())
        return;
    // A manager already waiting (its open failed on a connection that did not come through
    // a relay) stays at its place: twice in the list it would be handed to two cameras.
    QList<StreamManager *> &free = freeList(manager);
    if (!free.contains(manager)) {
        free.append(manager);
        m_readySince.insert(manager, m_clock.elapsed());
        syncSrtFree();
    }
}

void Server::onStreamManagerStopHandle(StreamManager *manager)
{
    // A manager retired by a stop ends without a successor, also when the listener has been
    // started again before its signal arrives.
    if (!isListening() || m_retired.contains(manager) || m_replaced.contains(manager))
        return;
    m_replaced.insert(manager);
    // A manager that could never bind its port (another program holds it) is replaced on the
    // next port no live manager holds; the same port would only fail again.
    const int port = manager->portUnavailable() ? nextManagerPort() : manager->port();
    qCInfo(lcIngest) << "*** RE-USE port *** for new StreamManager:" << port;
    // Only a manager that served a connection straight to its loopback port (not through a
    // relay) can end while still in the list.
    freeList(manager).removeAll(manager);
    syncSrtFree();
    if (isSrtManager(manager)) {
        SrtRelay *relay = m_srtRelays.value(manager->port());
        if (relay && relay->isRunning())
            relay->requestInterruption();
    } else {
        ProxyThread *relay = m_relays.value(manager->port());
        if (relay && relay->isRunning())
            relay->exit(0);
    }
    replaceManager(port, isSrtManager(manager));
}

void Server::onStreamManagerShowError(QString title, QString txt)
{
    qCInfo(lcIngest) << "onStreamManagerShowError:" << title << txt;
}

void Server::onManagerFinished(StreamManager *manager)
{
    if (m_shuttingDown)
        return;
    freeList(manager).removeAll(manager);
    syncSrtFree();
    // Whatever ended it (a failure that skipped its stop signal included), the pool keeps its
    // size: a manager that ended unreplaced while listening is replaced now.
    if (isListening() && !m_retired.contains(manager) && !m_replaced.contains(manager)) {
        qCWarning(lcIngest) << "Server: manager ended without its stop signal, replaced:"
                            << manager->port();
        onStreamManagerStopHandle(manager);
    }
    // m_activeManager is a QPointer: the statistics and the buffer reset see null from now on.
    manager->deleteLater();
}

void Server::onRelayFinished(ProxyThread *relay)
{
    relayFinished(relay, m_relays.value(relay->port()) == relay);
}

void Server::onSrtRelayFinished(SrtRelay *relay)
{
    relayFinished(relay, m_srtRelays.value(relay->port()) == relay);
}

void Server::relayFinished(QThread *relay, bool current)
{
    if (m_shuttingDown)
        return;
    reclaimLater(relay);
    // The relay recorded for its port keeps its byte count for the statistics; an older one
    // has nothing left to give.
    if (!current)
        relay->deleteLater();
}

void Server::reclaimLater(QThread *relay)
{
    if (!isListening())
        return;
    const auto managers = findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly);
    for (StreamManager *manager : managers) {
        if (manager->m_relay.load() != relay)
            continue;
        const QPointer<StreamManager> managerGuard(manager);
        const QPointer<QThread> relayGuard(relay);
        QTimer::singleShot(kReclaimDelayMs, this, [this, managerGuard, relayGuard] {
            if (managerGuard && relayGuard)
                reclaimManager(managerGuard, relayGuard);
        });
    }
}

void Server::reclaimManager(StreamManager *manager, QThread *relay)
{
    // Not when a newer relay feeds it, nor when its session got under way or ended: then it
    // announces itself again (or is replaced) on its own.
    if (!isListening() || m_retired.contains(manager) || manager->m_relay.load() != relay ||
        !manager->listening() || manager->stopped())
        return;
    QList<StreamManager *> &free = freeList(manager);
    if (free.contains(manager))
        return;
    qCInfo(lcIngest) << "Server: manager back in the pool, its relay never reached it:"
                     << manager->port();
    free.append(manager);
    m_readySince.insert(manager, m_clock.elapsed());
    syncSrtFree();
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
    if (!m_freeSrtManagers.isEmpty())
        return;
    const int room = kMaxManagers - managerCount();
    if (room > 0)
        createManagers(qMin(kGrowManagers, room), true);
}

void Server::onSrtCallerAccepted(int socket, const QString &peer)
{
    if (!isListening() || !srtListening()) {
        srt_close(socket);
        return;
    }
    const bool ignoreAudio = m_host ? m_host->ignoreAudio() : false;
    const bool mevo = m_host ? m_host->isMevo() : false;
    int maxBufferMs = kFallbackMaxBufferMs;
    if (m_host)
        maxBufferMs = ignoreAudio ? m_host->maxBufferIgnoreAudioMs() : m_host->maxBufferMs();

    StreamManager *const manager =
        m_freeSrtManagers.isEmpty() ? nullptr : m_freeSrtManagers.takeFirst();
    syncSrtFree();
    if (!manager || manager->port() < 0) {
        // The handshake found an intake, but another caller took it first.
        qCInfo(lcIngest).noquote() << "Server: no free SRT intake, caller closed:" << peer;
        srt_close(socket);
        onSrtOverloaded(peer);
        return;
    }
    m_readySince.remove(manager);
    const int port = manager->port();
    auto *relay = new SrtRelay(socket, peer, port, this);
    const QPointer<SrtRelay> guard(relay);
    connect(relay, &QThread::finished, this, [this, guard] {
        if (guard)
            onSrtRelayFinished(guard);
    });
    const QPointer<SrtRelay> older = m_srtRelays.value(port);
    m_srtRelays.insert(port, relay);
    if (older && older->isFinished())
        older->deleteLater();
    if (m_host)
        m_host->onSrtCallerAccepted(peer);
    manager->setRelay(relay, [guard] { return guard ? guard->bytesFromClient() : qint64(0); });
    manager->m_ignoreAudio = ignoreAudio;
    manager->m_mevo = mevo;
    manager->m_maxBufferMs = maxBufferMs;
    manager->m_admission = m_output.nextAdmission();
    m_activeManager = manager;
    relay->start(QThread::InheritPriority);
}

bool Server::srtStats(SrtRelay::LinkStats &stats) const
{
    const StreamManager *manager = statsManager();
    if (!manager || !m_srtManagers.contains(manager))
        return false;
    const SrtRelay *relay = m_srtRelays.value(manager->port()).data();
    if (!relay)
        return false;
    stats = relay->linkStats();
    return true;
}

void Server::incomingConnection(qintptr socketDescriptor)
{
    // With no intake free the camera is told at once; otherwise it takes one only once its
    // first byte shows an RTMP handshake.
    if (m_freeManagers.isEmpty()) {
        admit(socketDescriptor);
        return;
    }
    m_gate->add(socketDescriptor);
}

void Server::admit(qintptr socketDescriptor)
{
    const bool ignoreAudio = m_host ? m_host->ignoreAudio() : false;
    const bool mevo = m_host ? m_host->isMevo() : false;
    int maxBufferMs = kFallbackMaxBufferMs;
    if (m_host)
        maxBufferMs = ignoreAudio ? m_host->maxBufferIgnoreAudioMs() : m_host->maxBufferMs();

    StreamManager *const manager = m_freeManagers.isEmpty() ? nullptr : m_freeManagers.takeFirst();
    if (manager)
        m_readySince.remove(manager);
    if (!manager) {
        const int room = kMaxManagers - managerCount();
        if (room > 0)
            createManagers(qMin(kGrowManagers, room));
        else
            qCInfo(lcIngest) << "Server: manager pool at its limit of" << kMaxManagers;
        refuse(socketDescriptor);
        return;
    }
    const int port = manager->port();
    if (port < 0) {
        refuse(socketDescriptor);
        return;
    }

    auto *relay = new ProxyThread(socketDescriptor, port, this);
    const QPointer<ProxyThread> guard(relay);
    connect(relay, &QThread::finished, this, [this, guard] {
        if (guard)
            onRelayFinished(guard);
    });
    const QPointer<ProxyThread> older = m_relays.value(port);
    m_relays.insert(port, relay);
    watchStreamKey(relay);
    if (older && older->isFinished())
        older->deleteLater();
    // The manager reads the count on the GUI thread only; the relay may be gone by then.
    manager->setRelay(relay, [guard] { return guard ? guard->bytesFromClient() : qint64(0); });
    manager->m_ignoreAudio = ignoreAudio;
    manager->m_mevo = mevo;
    manager->m_maxBufferMs = maxBufferMs;
    manager->m_admission = m_output.nextAdmission();
    m_activeManager = manager;
    relay->start(QThread::InheritPriority);
}

void Server::watchStreamKey(ProxyThread *relay)
{
    if (!m_host)
        return;
    relay->setRequiredStreamKey(m_host->requiredStreamKey());
    // Queued from the relay's thread; the window hears of it on this thread.
    connect(relay, &ProxyThread::publisherRefused, this,
            [this](const QString &peer, const QString &reason) {
                if (m_refusedLog.count())
                    qCWarning(lcIngest).noquote()
                        << QStringLiteral("Server: publisher refused: %1 from %2 (%3 so far)")
                               .arg(reason, peer)
                               .arg(m_refusedLog.total());
                if (m_host)
                    m_host->onPublisherRefused(peer);
            });
    connect(relay, &ProxyThread::publisherAccepted, this, [this](const QString &peer) {
        if (m_host)
            m_host->onPublisherAccepted(peer);
    });
}

QString Server::streamPeer() const
{
    const StreamManager *manager = statsManager();
    if (manager && m_srtManagers.contains(manager)) {
        const SrtRelay *relay = m_srtRelays.value(manager->port()).data();
        return relay ? relay->peerAddress() : QString();
    }
    const ProxyThread *relay = manager ? m_relays.value(manager->port()).data() : nullptr;
    return relay ? relay->peerAddress() : QString();
}

void Server::refuse(qintptr socketDescriptor)
{
    qCInfo(lcIngest) << "no free workers, close incomming connection";
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                     QIODevice::ReadWrite)) {
        qCWarning(lcIngest).noquote()
            << "Server: ERROR setSocketDescriptor" << socket->errorString();
        delete socket;
        // Not attached, so still ours to close.
        if (::close(int(socketDescriptor)) != 0)
            qCWarning(lcIngest) << "Server: ERROR close" << socketDescriptor
                                << std::strerror(errno);
        return;
    }
    socket->write(kOverloadText);
    socket->write("\r\n");
    socket->flush();
    if (m_draining >= kMaxDrainingSockets) {
        socket->close();
        socket->deleteLater();
        return;
    }
    // Shut our side for writing once the text is with the kernel (a FIN follows it), then read
    // and drop what the camera still sends until it closes or kRefuseDrainMs pass: closing with
    // its bytes unread would send a reset, which can destroy the text before it is read.
    ++m_draining;
    const int fd = int(socketDescriptor);
    auto shutWrite = [socket, fd] {
        if (socket->bytesToWrite() == 0 && ::shutdown(fd, SHUT_WR) != 0 && errno != ENOTCONN)
            qCInfo(lcIngest) << "Server: shutdown of a refused socket failed:"
                             << std::strerror(errno);
    };
    if (socket->bytesToWrite() == 0)
        shutWrite();
    else
        connect(socket, &QTcpSocket::bytesWritten, socket, shutWrite);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    auto done = std::make_shared<bool>(false);
    auto finish = [this, socket, done] {
        if (*done)
            return;
        *done = true;
        --m_draining;
        socket->abort();
        socket->deleteLater();
    };
    connect(socket, &QTcpSocket::disconnected, socket, finish);
    connect(socket, &QTcpSocket::errorOccurred, socket, finish);
    QTimer::singleShot(kRefuseDrainMs, socket, finish);
}

StreamManager *Server::statsManager() const
{
    if (const void *owner = m_output.owner()) {
        for (StreamManager *manager :
             findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (manager == owner)
                return manager;
        }
    }
    return m_activeManager.data();
}

bool Server::streamStats(int &audioMs, int &videoMs, qint64 &bytesReceived) const
{
    StreamManager *manager = statsManager();
    if (!manager)
        return false;
    manager->bufferedMs(audioMs, videoMs);
    bytesReceived = manager->bytesReceived();
    return true;
}

bool Server::playoutStats(qint64 &delayMs, qint64 &skipped, qint64 &repeated) const
{
    StreamManager *manager = statsManager();
    if (!manager)
        return false;
    const DeliveryPolicy::Stats stats = manager->playoutStats();
    delayMs = stats.delayMs;
    skipped = stats.skipped;
    repeated = stats.repeated;
    return true;
}

void Server::resetActiveBuffers()
{
    if (StreamManager *manager = statsManager())
        manager->requestBufferReset();
}

QList<int> Server::freeManagerPorts() const
{
    QList<int> ports;
    for (const StreamManager *manager : m_freeManagers)
        ports.append(manager->port());
    return ports;
}

QList<int> Server::freeSrtManagerPorts() const
{
    QList<int> ports;
    for (const StreamManager *manager : m_freeSrtManagers)
        ports.append(manager->port());
    return ports;
}

QList<int> Server::managerPorts_for_testing() const
{
    QList<int> ports;
    for (const StreamManager *manager :
         findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly))
        ports.append(manager->port());
    return ports;
}

int Server::activeManagerPort() const
{
    const StreamManager *manager = statsManager();
    return manager ? manager->port() : -1;
}

int Server::managerCount() const
{
    return findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly).size();
}

int Server::relayCount() const
{
    return findChildren<ProxyThread *>(QString(), Qt::FindDirectChildrenOnly).size() +
           findChildren<SrtRelay *>(QString(), Qt::FindDirectChildrenOnly).size();
}

bool Server::waitForThreads(const QList<QPointer<QThread>> &threads, int deadlineMs,
                            bool handleEvents)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const bool running = std::any_of(threads.begin(), threads.end(), [](const auto &thread) {
            return thread && thread->isRunning();
        });
        if (!running)
            return true;
        if (waited.elapsed() >= deadlineMs)
            return false;
        if (handleEvents)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, kStopPollMs);
        QThread::msleep(kStopPollMs);
    }
}

void Server::stopListening()
{
    stopAll(!m_shuttingDown);
}

void Server::stopAll(bool handleEvents)
{
    qCInfo(lcIngest) << "SERVER STOP";
    m_activeManager = nullptr;
    close();
    m_gate->clear();
    m_retireTimer->stop();
    const auto managers = findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly);
    for (const StreamManager *manager : managers)
        m_retired.insert(manager);
    // Nothing listens on SRT once stopped: the listener goes first, with its accept loop.
    if (m_srt)
        m_srt->close();
    m_freeManagers.clear();
    m_freeSrtManagers.clear();
    m_readySince.clear();
    m_relays.clear();
    m_srtRelays.clear();

    // Everything is asked at once, so the threads wind down side by side; nothing here blocks.
    // Every relay, not only the one recorded per port: an older one on a port may still run.
    QList<QPointer<QThread>> threads;
    const QList<ProxyThread *> relays =
        findChildren<ProxyThread *>(QString(), Qt::FindDirectChildrenOnly);
    for (ProxyThread *relay : relays) {
        relay->requestInterruption();
        relay->exit(0);
        threads.append(relay);
    }
    for (SrtRelay *relay : findChildren<SrtRelay *>(QString(), Qt::FindDirectChildrenOnly)) {
        relay->requestInterruption();
        threads.append(relay);
    }
    for (StreamManager *manager : managers) {
        // Serving managers too: their read ends at once instead of when the relay's close
        // reaches them.
        manager->requestStopAsync();
        threads.append(manager);
    }
    QElapsedTimer took;
    took.start();
    if (!waitForThreads(threads, kStopDeadlineMs, handleEvents))
        qCWarning(lcIngest) << "Server: threads still running after" << kStopDeadlineMs
                            << "ms; they end by themselves";
    else
        qCInfo(lcIngest) << "Server: all stream threads ended in" << took.elapsed() << "ms";
    // Ended ones go now; one still running is deleted by its finished handler.
    for (const QPointer<QThread> &thread : threads) {
        if (thread && !thread->isRunning())
            thread->deleteLater();
    }
}

void Server::shutdown()
{
    if (m_srt)
        m_srt->close();
    m_gate->clear();
    m_freeManagers.clear();
    m_freeSrtManagers.clear();
    m_relays.clear();
    m_srtRelays.clear();
    m_activeManager = nullptr;
    for (SrtRelay *relay : findChildren<SrtRelay *>(QString(), Qt::FindDirectChildrenOnly))
        delete relay; // stops its loop and waits for it
    // Relays first: their end closes the serving managers' loopback connections.
    const QList<ProxyThread *> relays =
        findChildren<ProxyThread *>(QString(), Qt::FindDirectChildrenOnly);
    for (ProxyThread *relay : relays)
        delete relay; // stops its thread and waits for it
    const QList<StreamManager *> managers =
        findChildren<StreamManager *>(QString(), Qt::FindDirectChildrenOnly);
    // Ask them all at once so they wind down side by side, then wait for each.
    for (StreamManager *manager : managers) {
        if (manager->isRunning() && !manager->stopped())
            manager->requestStop();
    }
    for (StreamManager *manager : managers)
        delete manager; // waits for its threads, delivery included
}
