#include "ingest/RtmpRelay.h"

#include "ingest/AcceptedSocket.h"
#include "ingest/IngestLog.h"
#include "ingest/LoopbackOwner.h"
#include "ingest/RtmpPublishReader.h"
#include "ingest/StreamKey.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/socket.h>
#include <unistd.h>

RtmpRelay::RtmpRelay(qintptr socketDescriptor, int port)
    : Relay(AcceptedSocket::peerOf(socketDescriptor), port, QStringLiteral("ProxyThread")),
      m_socketDescriptor(socketDescriptor)
{
    connect(this, &Relay::finished, this, [] { qCInfo(lcRelay) << "call onFinished"; });
}

RtmpRelay::~RtmpRelay()
{
    halt();
    // Never started: the descriptor the listener handed over is still ours to close. One that
    // is not open is left alone, its number may be someone else's by now.
    QString problem;
    if (!m_attached &&
        AcceptedSocket::check(m_socketDescriptor, problem) != AcceptedSocket::State::NotOpen)
        AcceptedSocket::close(m_socketDescriptor);
}

void RtmpRelay::setNoDataTimeoutMs(int ms)
{
    m_noDataTimeoutMs = std::max(0, ms);
}

void RtmpRelay::onEndRequested()
{
    finish(endReason());
}

void RtmpRelay::finish(RelayEnd reason)
{
    if (m_finishing)
        return;
    m_finishing = true;
    keepEndReason(reason);
    // Handlers off first: this teardown is not a peer going away. The sockets are only aborted
    // here: this may run inside one of their own signals, so they are freed on the next pass of
    // the loop.
    for (QTcpSocket *socket : {m_sm.get(), m_client.get()}) {
        if (socket) {
            socket->disconnect(this);
            socket->abort();
        }
    }
    for (QTimer *timer : {m_watchdog.get(), m_connectTimer.get(), m_gateTimer.get()}) {
        if (timer)
            timer->stop();
    }
    QMetaObject::invokeMethod(this, &RtmpRelay::wrapUp, Qt::QueuedConnection);
}

void RtmpRelay::wrapUp()
{
    closeSockets();
    qCInfo(lcRelay).noquote() << QStringLiteral("ProxyThread: session of %1 on %2 ended: %3")
                                     .arg(peerAddress())
                                     .arg(port())
                                     .arg(QLatin1String(relayEndText(endReason())));
    close(endReason());
}

void RtmpRelay::run()
{
    m_bytesFromClient = 0;
    m_bufferedBytes = 0;
    m_peakBufferedBytes = 0;
    m_smConnected = false;

    // Qt attaches almost any open descriptor (a pipe, a UDP or a listening socket) and only
    // refuses a closed one, so check first that this is a connected TCP socket.
    QString problem;
    const AcceptedSocket::State state = AcceptedSocket::check(m_socketDescriptor, problem);
    m_client = std::make_unique<QTcpSocket>();
    m_client->setReadBufferSize(kReadBufferBytes);
    m_attached = true;
    if (state != AcceptedSocket::State::Usable ||
        !m_client->setSocketDescriptor(m_socketDescriptor, QAbstractSocket::ConnectedState,
                                       QIODevice::ReadWrite)) {
        if (problem.isEmpty())
            problem = m_client->errorString();
        qCWarning(lcRelay).noquote()
            << "ProxyThread: ERROR setSocketDescriptor" << m_socketDescriptor << problem;
        m_client.reset();
        // Nobody else will close an open one: the listener handed it over and forgot it. A
        // descriptor that is not open is left alone, its number may be someone else's by now.
        if (state == AcceptedSocket::State::Unusable)
            AcceptedSocket::close(m_socketDescriptor);
        close(RelayEnd::CameraLeft);
        return;
    }
    m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    qCInfo(lcRelay).noquote() << "PEER ADDRESS:" << m_client->peerAddress().toString();
    if (endRequested()) {
        // Stopped before it ran: the camera's connection is closed at once.
        finish(endReason());
        return;
    }

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
    connect(m_gateTimer.get(), &QTimer::timeout, this,
            [this] { refusePublisher(QStringLiteral("no publish in time")); });
    m_gateTimer->start(m_publishWaitMs);

    // Sockets, timers and the relay all live on this thread: every connection is direct.
    connect(m_sm.get(), &QTcpSocket::readyRead, this, &RtmpRelay::onSmReadyRead);
    connect(m_client.get(), &QTcpSocket::readyRead, this, &RtmpRelay::onClientReadyRead);
    connect(m_client.get(), &QTcpSocket::disconnected, this, &RtmpRelay::onClientDisconnected);
    connect(m_sm.get(), &QTcpSocket::disconnected, this, &RtmpRelay::onSmDisconnected);
    // Room freed on one side resumes reading the other side.
    connect(m_sm.get(), &QTcpSocket::bytesWritten, this, &RtmpRelay::copyClientToSm);
    connect(m_client.get(), &QTcpSocket::bytesWritten, this, &RtmpRelay::copySmToClient);
    connect(m_sm.get(), &QTcpSocket::connected, this, &RtmpRelay::onSmConnected);
    connect(m_sm.get(), &QTcpSocket::errorOccurred, this, &RtmpRelay::onSmError);
    connect(m_connectTimer.get(), &QTimer::timeout, this, &RtmpRelay::onSmError);
    connect(m_watchdog.get(), &QTimer::timeout, this, &RtmpRelay::onIdleCheck);

    // The connection is made inside the event loop rather than with a blocking wait, so a
    // stop during set-up takes effect at once instead of after up to kConnectTimeoutMs.
    m_connectTimer->start(kConnectTimeoutMs);
    if (port() > 0 && port() <= 65535) {
        m_sm->connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port()),
                            QIODevice::ReadWrite);
    } else {
        onSmError();
    }
}

void RtmpRelay::onSmConnected()
{
    if (m_smConnected)
        return;
    m_connectTimer->stop();
    // The intake is offered before FFmpeg has bound its port, so another program may hold it:
    // nothing of the camera's goes to a listener that is not ours.
    QString problem;
    const LoopbackOwner::Owner owner =
        LoopbackOwner::connectionOwner(port(), m_sm->localPort(), &problem);
    if (owner != LoopbackOwner::Owner::Ours) {
        qCWarning(lcRelay).noquote() << "ProxyThread: intake not ours, camera dropped:" << problem;
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
    qCInfo(lcRelay) << "ProxyThread RUN" << port();
}

void RtmpRelay::onSmError()
{
    // Errors after the connection was made end in disconnected(), handled there.
    if (m_smConnected || !m_sm)
        return;
    // Without its intake the camera's stream has nowhere to go: end the relay instead of
    // taking bytes that would be dropped (and counted as received).
    const QString reason = port() <= 0 || port() > 65535 ? QStringLiteral("invalid port")
                           : m_sm->error() == QAbstractSocket::UnknownSocketError
                               ? QStringLiteral("no connection after %1 ms").arg(kConnectTimeoutMs)
                               : m_sm->errorString();
    qCWarning(lcRelay).noquote() << "ProxyThread: ERROR connectToHost" << port() << reason;
    m_connectTimer->stop();
    finish(RelayEnd::IntakeGone);
}

void RtmpRelay::onClientReadyRead()
{
    m_sinceData.restart();
    copyClientToSm();
}

void RtmpRelay::onSmReadyRead()
{
    copySmToClient();
}

void RtmpRelay::copyClientToSm()
{
    if (!m_smConnected || m_finishing)
        return; // kept in the camera's socket until the intake is connected
    // The gate's own flush re-enters here through bytesWritten(); the outer call goes on.
    if (m_gate && (m_flushing || !gateClientToSm()))
        return;
    m_bytesFromClient.fetch_add(copy(*m_client, *m_sm), std::memory_order_relaxed);
    updateBufferedBytes();
}

bool RtmpRelay::gateClientToSm()
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
    emit sessionStarted(peerAddress());
    if (!m_requiredKey.isEmpty()) {
        qCInfo(lcRelay).noquote() << "ProxyThread: stream key accepted from" << peerAddress();
        emit publisherAccepted(peerAddress());
    }
    return true;
}

bool RtmpRelay::forwardGated(int end)
{
    if (end <= m_gateSent)
        return true;
    const qint64 n = end - m_gateSent;
    // Within the reader's few kB, far below kMaxUnsentBytes: the write is always taken.
    if (m_sm->write(m_gate->data() + m_gateSent, n) != n) {
        qCWarning(lcRelay).noquote() << "ProxyThread: ERROR write" << m_sm->errorString();
        return false;
    }
    m_gateSent = end;
    m_flushing = true;
    m_sm->flush();
    m_flushing = false;
    return true;
}

void RtmpRelay::refusePublisher(const QString &reason)
{
    if (!m_gate)
        return;
    m_gate.reset();
    if (m_gateTimer)
        m_gateTimer->stop();
    // Only a refusal for the key counts as one for the window; without a key this is a
    // connection that never became a camera (logged with the relay's end).
    if (!m_requiredKey.isEmpty())
        emit publisherRefused(peerAddress(), reason);
    else
        qCInfo(lcRelay).noquote() << "ProxyThread: no session start from" << peerAddress()
                                  << reason;
    // Both ends at once: the intake has had no publish, so it opens no session and listens
    // again; the camera gets no answer to its publish.
    finish(RelayEnd::Refused);
}

void RtmpRelay::copySmToClient()
{
    if (!m_smConnected || m_finishing)
        return;
    copy(*m_sm, *m_client);
    updateBufferedBytes();
}

qint64 RtmpRelay::copy(QTcpSocket &from, QTcpSocket &to)
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
            qCWarning(lcRelay).noquote() << "ProxyThread: ERROR write" << to.errorString();
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

void RtmpRelay::updateBufferedBytes()
{
    const qint64 held = m_client->bytesAvailable() + m_client->bytesToWrite() +
                        m_sm->bytesAvailable() + m_sm->bytesToWrite();
    m_bufferedBytes.store(held, std::memory_order_relaxed);
    if (held > m_peakBufferedBytes.load(std::memory_order_relaxed))
        m_peakBufferedBytes.store(held, std::memory_order_relaxed);
}

void RtmpRelay::onClientDisconnected()
{
    qCInfo(lcRelay) << "client disconnected";
    finish(RelayEnd::CameraLeft);
}

void RtmpRelay::onSmDisconnected()
{
    qCInfo(lcRelay) << "rtmpserver disconnected";
    finish(RelayEnd::IntakeGone);
}

void RtmpRelay::onIdleCheck()
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
    qCWarning(lcRelay).noquote() << QStringLiteral(
                                        "ProxyThread: camera %1 silent for %2 ms, closed")
                                        .arg(peerAddress())
                                        .arg(m_sinceData.elapsed());
    finish(RelayEnd::Silent);
}

void RtmpRelay::closeSockets()
{
    // The sockets belong to this thread: close and free them here, before the relay goes home.
    // After that they could neither be aborted safely from the owning thread (their notifiers
    // belong to this thread) nor freed with deleteLater() (no loop left to run it).
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
