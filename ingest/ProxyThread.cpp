#include "ingest/ProxyThread.h"

#include "ingest/AcceptedSocket.h"
#include "ingest/IngestLog.h"
#include "ingest/LoopbackOwner.h"
#include "ingest/RtmpPublishReader.h"
#include "ingest/StreamKey.h"

#include <QHostAddress>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/socket.h>
#include <unistd.h>

ProxyThread::ProxyThread(qintptr socketDescriptor, int port, QObject *parent)
    : QThread(parent), m_port(port), m_socketDescriptor(socketDescriptor),
      m_peer(AcceptedSocket::peerOf(socketDescriptor))
{
    // Names the OS thread too (debugger, TSan reports, the relay benchmark).
    setObjectName(QStringLiteral("ProxyThread"));
    // finished() comes from the relay's thread; the slot runs later on the GUI thread.
    connect(this, &QThread::finished, this, &ProxyThread::onFinished);
}

ProxyThread::~ProxyThread()
{
    if (!stop()) {
        // Cannot happen while run() only blocks in its event loop; destroying a running
        // QThread would abort the program, so wait it out rather than crash.
        qCWarning(lcIngest) << "ProxyThread: still running after" << kStopWaitMs << "ms, waiting";
        wait();
    }
}

void ProxyThread::setNoDataTimeoutMs(int ms)
{
    m_noDataTimeoutMs = std::max(0, ms);
}

void ProxyThread::end(RelayEnd reason)
{
    RelayEnd none = RelayEnd::None;
    m_endReason.compare_exchange_strong(none, reason);
    requestInterruption();
    // exit() before the event loop has started makes exec() return at once, so a stop during
    // set-up is not lost.
    exit(0);
}

void ProxyThread::finish(RelayEnd reason)
{
    RelayEnd none = RelayEnd::None;
    m_endReason.compare_exchange_strong(none, reason);
    if (m_client)
        m_client->disconnect(this);
    if (m_sm)
        m_sm->disconnect(this);
    if (m_sm)
        m_sm->abort();
    if (m_client)
        m_client->abort();
    exit(0);
}

bool ProxyThread::stop(unsigned long timeoutMs)
{
    end(RelayEnd::Stopped);
    if (!wait(timeoutMs))
        return false;
    // Pairs with the release at the end of run(): everything run() did is visible here even
    // to tools that cannot see Qt's own locking inside wait().
    m_runEnded.load(std::memory_order_acquire);
    return true;
}

void ProxyThread::run()
{
    m_runEnded.store(false, std::memory_order_relaxed);
    // Every way out of run() publishes its work to stop() (see there).
    const auto published =
        qScopeGuard([this] { m_runEnded.store(true, std::memory_order_release); });
    m_bytesFromClient = 0;
    m_endReason = RelayEnd::None;
    m_bufferedBytes = 0;
    m_peakBufferedBytes = 0;
    m_smConnected = false;

    // Qt attaches almost any open descriptor (a pipe, a UDP or a listening socket) and only
    // refuses a closed one, so check first that this is a connected TCP socket.
    QString problem;
    const AcceptedSocket::State state = AcceptedSocket::check(m_socketDescriptor, problem);
    m_client = std::make_unique<QTcpSocket>();
    m_client->setReadBufferSize(kReadBufferBytes);
    if (state != AcceptedSocket::State::Usable ||
        !m_client->setSocketDescriptor(m_socketDescriptor, QAbstractSocket::ConnectedState,
                                       QIODevice::ReadWrite)) {
        if (problem.isEmpty())
            problem = m_client->errorString();
        qCWarning(lcIngest).noquote()
            << "ProxyThread: ERROR setSocketDescriptor" << m_socketDescriptor << problem;
        m_client.reset();
        // Nobody else will close an open one: the listener handed it over and forgot it. A
        // descriptor that is not open is left alone, its number may be someone else's by now.
        if (state == AcceptedSocket::State::Unusable)
            AcceptedSocket::close(m_socketDescriptor);
        return;
    }
    m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    qCInfo(lcIngest).noquote() << "PEER ADDRESS:" << m_client->peerAddress().toString();

    m_copyBuffer.resize(static_cast<size_t>(kCopyChunkBytes));
    m_sm = std::make_unique<QTcpSocket>();
    m_sm->setReadBufferSize(kReadBufferBytes);
    m_connectTimer = std::make_unique<QTimer>();
    m_connectTimer->setSingleShot(true);
    m_watchdog = std::make_unique<QTimer>();
    m_watchdog->setSingleShot(true);
    // The camera's first byte has come before the relay was made, so the time for its
    // handshake and publish runs from here.
    m_gate = std::make_unique<RtmpPublishReader>();
    // A wrong name in releaseStream is refused at once, not at the publish after it.
    if (!m_requiredKey.isEmpty())
        m_gate->setRequiredKey(m_requiredKey);
    m_gateSent = 0;
    m_gateTimer = std::make_unique<QTimer>();
    m_gateTimer->setSingleShot(true);
    connect(
        m_gateTimer.get(), &QTimer::timeout, this,
        [this] { refusePublisher(QStringLiteral("no publish in time")); }, Qt::DirectConnection);
    m_gateTimer->start(m_publishWaitMs);

    // `this` lives on the GUI thread, so every connection here must be direct to run on the
    // relay's thread, where the sockets emit.
    connect(m_sm.get(), &QTcpSocket::readyRead, this, &ProxyThread::sm_readyRead,
            Qt::DirectConnection);
    connect(m_client.get(), &QTcpSocket::readyRead, this, &ProxyThread::client_readyRead,
            Qt::DirectConnection);
    connect(m_client.get(), &QTcpSocket::disconnected, this, &ProxyThread::onClientDisconnected,
            Qt::DirectConnection);
    connect(m_sm.get(), &QTcpSocket::disconnected, this, &ProxyThread::onSmDisconnected,
            Qt::DirectConnection);
    // Room freed on one side resumes reading the other side.
    connect(m_sm.get(), &QTcpSocket::bytesWritten, this, &ProxyThread::copyClientToSm,
            Qt::DirectConnection);
    connect(m_client.get(), &QTcpSocket::bytesWritten, this, &ProxyThread::copySmToClient,
            Qt::DirectConnection);
    connect(m_sm.get(), &QTcpSocket::connected, this, &ProxyThread::onSmConnected,
            Qt::DirectConnection);
    connect(m_sm.get(), &QTcpSocket::errorOccurred, this, &ProxyThread::onSmError,
            Qt::DirectConnection);
    connect(m_connectTimer.get(), &QTimer::timeout, this, &ProxyThread::onSmError,
            Qt::DirectConnection);
    connect(m_watchdog.get(), &QTimer::timeout, this, &ProxyThread::onIdleCheck,
            Qt::DirectConnection);

    // The connection is made inside the event loop rather than with a blocking wait, so a
    // stop during set-up takes effect at once instead of after up to kConnectTimeoutMs.
    m_connectTimer->start(kConnectTimeoutMs);
    if (m_port > 0 && m_port <= 65535) {
        m_sm->connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(m_port),
                            QIODevice::ReadWrite);
    } else {
        onSmError();
    }

    exec();

    closeSockets();
    RelayEnd none = RelayEnd::None;
    m_endReason.compare_exchange_strong(none, RelayEnd::Stopped);
    qCInfo(lcIngest).noquote() << QStringLiteral("ProxyThread: session of %1 on %2 ended: %3")
                                      .arg(m_peer)
                                      .arg(m_port)
                                      .arg(QLatin1String(relayEndText(m_endReason.load())));
}

void ProxyThread::onSmConnected()
{
    if (m_smConnected)
        return;
    m_connectTimer->stop();
    // The intake is offered before FFmpeg has bound its port, so another program may hold it:
    // nothing of the camera's goes to a listener that is not ours.
    QString problem;
    const LoopbackOwner::Owner owner =
        LoopbackOwner::connectionOwner(m_port, m_sm->localPort(), &problem);
    if (owner != LoopbackOwner::Owner::Ours) {
        qCWarning(lcIngest).noquote() << "ProxyThread: intake not ours, camera dropped:" << problem;
        finish(RelayEnd::Overloaded);
        return;
    }
    m_smConnected = true;
    m_sm->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bytes the camera sent during set-up wait in its socket; move them now.
    copyClientToSm();
    copySmToClient();
    m_sinceData.start();
    m_watchdog->setSingleShot(false);
    m_watchdog->start(std::min(kIdleCheckMs, std::max(1, m_noDataTimeoutMs / 4)));
    qCInfo(lcIngest) << "ProxyThread RUN" << m_port;
}

void ProxyThread::onSmError()
{
    // Errors after the connection was made end in disconnected(), handled there.
    if (m_smConnected || !m_sm)
        return;
    // Without its intake the camera's stream has nowhere to go: end the relay instead of
    // taking bytes that would be dropped (and counted as received).
    const QString reason = m_port <= 0 || m_port > 65535 ? QStringLiteral("invalid port")
                           : m_sm->error() == QAbstractSocket::UnknownSocketError
                               ? QStringLiteral("no connection after %1 ms").arg(kConnectTimeoutMs)
                               : m_sm->errorString();
    qCWarning(lcIngest).noquote() << "ProxyThread: ERROR connectToHost" << m_port << reason;
    m_connectTimer->stop();
    finish(RelayEnd::IntakeGone);
}

void ProxyThread::client_readyRead()
{
    m_sinceData.restart();
    copyClientToSm();
}

void ProxyThread::sm_readyRead()
{
    copySmToClient();
}

void ProxyThread::copyClientToSm()
{
    if (!m_smConnected)
        return; // kept in the camera's socket until the intake is connected
    // The gate's own flush re-enters here through bytesWritten(); the outer call goes on.
    if (m_gate && (m_flushing || !gateClientToSm()))
        return;
    m_bytesFromClient.fetch_add(copy(*m_client, *m_sm), std::memory_order_relaxed);
    updateBufferedBytes();
}

bool ProxyThread::gateClientToSm()
{
    while (m_gate && m_gate->state() == RtmpPublishReader::State::NeedMore) {
        const qint64 n = std::min<qint64>(m_client->bytesAvailable(), m_gate->room());
        if (n <= 0)
            break;
        const qint64 got = m_client->read(m_copyBuffer.data(), n);
        if (got <= 0)
            break;
        m_gate->feed(m_copyBuffer.data(), static_cast<int>(got));
        m_bytesFromClient.fetch_add(got, std::memory_order_relaxed);
        if (!forwardGated(m_gate->safeEnd()))
            return false;
    }
    if (!m_gate)
        return false;
    switch (m_gate->state()) {
    case RtmpPublishReader::State::NeedMore:
        return false;
    case RtmpPublishReader::State::Refused:
        // Without a key the intake may open its session on media that comes before publish,
        // as it always has.
        if (!m_requiredKey.isEmpty() || !m_gate->mediaBeforePublish()) {
            refusePublisher(QString::fromLatin1(m_gate->refusal()));
            return false;
        }
        break;
    case RtmpPublishReader::State::Publish:
        if (!m_requiredKey.isEmpty() && !StreamKey::matches(m_gate->streamName(), m_requiredKey)) {
            refusePublisher(QStringLiteral("wrong stream key"));
            return false;
        }
        break;
    }
    // The publish and whatever came after it go on at once; from here the relay only copies.
    if (!forwardGated(m_gate->size()))
        return false;
    m_gateTimer.reset();
    m_gate.reset();
    emit sessionStarted(m_peer);
    if (!m_requiredKey.isEmpty()) {
        qCInfo(lcIngest).noquote() << "ProxyThread: stream key accepted from" << m_peer;
        emit publisherAccepted(m_peer);
    }
    return true;
}

bool ProxyThread::forwardGated(int end)
{
    if (end <= m_gateSent)
        return true;
    const qint64 n = end - m_gateSent;
    // Within the reader's few kB, far below kMaxUnsentBytes: the write is always taken.
    if (m_sm->write(m_gate->data() + m_gateSent, n) != n) {
        qCWarning(lcIngest).noquote() << "ProxyThread: ERROR write" << m_sm->errorString();
        return false;
    }
    m_gateSent = end;
    m_flushing = true;
    m_sm->flush();
    m_flushing = false;
    return true;
}

void ProxyThread::refusePublisher(const QString &reason)
{
    if (!m_gate)
        return;
    m_gate.reset();
    if (m_gateTimer)
        m_gateTimer->stop();
    // Only a refusal for the key counts as one for the window; without a key this is a
    // connection that never became a camera (logged with the relay's end).
    if (!m_requiredKey.isEmpty())
        emit publisherRefused(m_peer, reason);
    else
        qCInfo(lcIngest).noquote() << "ProxyThread: no session start from" << m_peer << reason;
    // Both ends at once: the intake has had no publish, so it opens no session and listens
    // again; the camera gets no answer to its publish.
    finish(RelayEnd::Refused);
}

void ProxyThread::copySmToClient()
{
    if (!m_smConnected)
        return;
    copy(*m_sm, *m_client);
    updateBufferedBytes();
}

qint64 ProxyThread::copy(QTcpSocket &from, QTcpSocket &to)
{
    qint64 moved = 0;
    for (;;) {
        const qint64 room = kMaxUnsentBytes - to.bytesToWrite();
        const qint64 n = std::min({room, from.bytesAvailable(), kCopyChunkBytes});
        if (n <= 0)
            break; // nothing to move, or the other side is full: resume on its bytesWritten()
        const qint64 got = from.read(m_copyBuffer.data(), n);
        if (got <= 0)
            break;
        const qint64 put = to.write(m_copyBuffer.data(), got);
        if (put != got) {
            // Only a socket that is no longer open refuses a buffered write; its disconnect
            // handler ends the relay.
            qCWarning(lcIngest).noquote() << "ProxyThread: ERROR write" << to.errorString();
            break;
        }
        moved += got;
    }
    // Hand the bytes to the OS now instead of on the next pass of the event loop: one wake-up
    // per camera segment instead of two. flush() emits bytesWritten(), which re-enters this
    // copy on the same pair; the guard keeps that to the outer loop.
    if (moved > 0 && !m_flushing) {
        m_flushing = true;
        to.flush();
        m_flushing = false;
    }
    return moved;
}

void ProxyThread::updateBufferedBytes()
{
    const qint64 held = m_client->bytesAvailable() + m_client->bytesToWrite() +
                        m_sm->bytesAvailable() + m_sm->bytesToWrite();
    m_bufferedBytes.store(held, std::memory_order_relaxed);
    if (held > m_peakBufferedBytes.load(std::memory_order_relaxed))
        m_peakBufferedBytes.store(held, std::memory_order_relaxed);
}

void ProxyThread::onClientDisconnected()
{
    qCInfo(lcIngest) << "client disconnected";
    finish(RelayEnd::CameraLeft);
}

void ProxyThread::onSmDisconnected()
{
    qCInfo(lcIngest) << "rtmpserver disconnected";
    finish(RelayEnd::IntakeGone);
}

void ProxyThread::onIdleCheck()
{
    // Both directions are looked at again on each check: with both sides near their bounds a
    // wake-up from a socket can be missed (seen under ThreadSanitizer's timing), and a relay
    // must never stall with bytes waiting on either side.
    copyClientToSm();
    copySmToClient();
    // Bytes still waiting in the socket are the camera's, held back while the intake is slow:
    // not silence.
    if (m_sinceData.elapsed() < m_noDataTimeoutMs || m_client->bytesAvailable() > 0)
        return;
    qCWarning(lcIngest).noquote() << QStringLiteral(
                                         "ProxyThread: camera %1 silent for %2 ms, closed")
                                         .arg(m_peer)
                                         .arg(m_sinceData.elapsed());
    finish(RelayEnd::Silent);
}

void ProxyThread::closeSockets()
{
    // The sockets belong to this thread: close and free them here, before finished(). After
    // the thread has ended they could neither be aborted safely from the GUI thread (their
    // notifiers belong to this thread) nor freed with deleteLater() (no loop left to run it).
    m_watchdog.reset();
    m_connectTimer.reset();
    m_gateTimer.reset();
    m_gate.reset();
    // Handlers off first: this teardown is not a peer going away.
    for (QTcpSocket *socket : {m_sm.get(), m_client.get()}) {
        if (socket) {
            socket->disconnect(this);
            socket->abort();
        }
    }
    m_sm.reset();
    m_client.reset();
    m_bufferedBytes = 0;
    m_smConnected = false;
    std::vector<char>().swap(m_copyBuffer);
}

void ProxyThread::onFinished()
{
    qCInfo(lcIngest) << "call onFinished";
}
