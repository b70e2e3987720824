#include "ingest/SrtListener.h"

#include "ingest/IngestLog.h"
#include "ingest/StreamKey.h"

#include <QHostAddress>

#include <srt/access_control.h>
#include <srt/srt.h>

#include <sys/socket.h>
#include <syslog.h>

namespace {

QString srtError()
{
    return QString::fromLocal8Bit(srt_getlasterror_str());
}

QString peerText(const sockaddr *address)
{
    if (!address)
        return QString();
    const QHostAddress host(address);
    bool v4 = false;
    const quint32 ipv4 = host.toIPv4Address(&v4);
    return v4 ? QHostAddress(ipv4).toString() : host.toString();
}

bool setFlag(int socket, SRT_SOCKOPT option, const void *value, int size, const char *name,
             QString &error)
{
    if (srt_setsockflag(socket, option, value, size) == SRT_ERROR) {
        error = QStringLiteral("%1: %2").arg(QLatin1String(name), srtError());
        return false;
    }
    return true;
}

} // namespace

SrtListener::SrtListener(QObject *parent) : QThread(parent)
{
    setObjectName(QStringLiteral("SrtListener"));
}

SrtListener::~SrtListener()
{
    close();
    if (m_started) {
        srt_setloghandler(nullptr, nullptr);
        srt_cleanup();
    }
}

void SrtListener::logHandler(void *opaque, int level, const char *file, int line, const char *area,
                             const char *message)
{
    Q_UNUSED(level)
    Q_UNUSED(file)
    Q_UNUSED(line)
    Q_UNUSED(area)
    auto *self = static_cast<SrtListener *>(opaque);
    if (self->m_libraryLog.count())
        qCWarning(lcSrt).noquote() << "SRT library:" << QString::fromLocal8Bit(message).trimmed()
                                   << QStringLiteral("(%1 so far)").arg(self->m_libraryLog.total());
}

bool SrtListener::open(const SrtOptions &options, QString &error)
{
    close();
    if (!m_started) {
        if (srt_startup() < 0) {
            error = QStringLiteral("srt_startup: %1").arg(srtError());
            return false;
        }
        m_started = true;
        // Left at its default, libsrt writes its warnings to stderr, several for each caller
        // that misbehaves.
        srt_setloglevel(LOG_ERR);
        srt_setloghandler(this, &SrtListener::logHandler);
    }
    m_options = options;
    m_passphraseSet = !options.passphrase.isEmpty();
    setStreamKey(options.streamKey);
    const int socket = srt_create_socket();
    if (socket == SRT_INVALID_SOCK) {
        error = QStringLiteral("srt_create_socket: %1").arg(srtError());
        return false;
    }
    const int latency = qBound(kMinLatencyMs, options.latencyMs, kMaxLatencyMs);
    const int yes = 1;
    const int no = 0;
    // Encryption is checked after the handshake (refusal()), so a refused caller is known by
    // its address and logged; with enforcement libsrt would reject it without telling us.
    bool ok = setFlag(socket, SRTO_LATENCY, &latency, sizeof latency, "SRTO_LATENCY", error) &&
              setFlag(socket, SRTO_ENFORCEDENCRYPTION, &no, sizeof no, "SRTO_ENFORCEDENCRYPTION",
                      error) &&
              setFlag(socket, SRTO_REUSEADDR, &yes, sizeof yes, "SRTO_REUSEADDR", error);
    if (ok && !options.passphrase.isEmpty())
        ok = setFlag(socket, SRTO_PASSPHRASE, options.passphrase.constData(),
                     int(options.passphrase.size()), "SRTO_PASSPHRASE", error);
    // Accept is waited for with epoll, so a stop is seen within kPollMs.
    if (ok)
        ok = setFlag(socket, SRTO_RCVSYN, &no, sizeof no, "SRTO_RCVSYN", error);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (ok && srt_bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
                  SRT_ERROR) {
        error = QStringLiteral("srt_bind: %1").arg(srtError());
        ok = false;
    }
    if (ok && srt_listen_callback(socket, &SrtListener::listenCallback, this) == SRT_ERROR) {
        error = QStringLiteral("srt_listen_callback: %1").arg(srtError());
        ok = false;
    }
    if (ok && srt_listen(socket, kBacklog) == SRT_ERROR) {
        error = QStringLiteral("srt_listen: %1").arg(srtError());
        ok = false;
    }
    int epoll = -1;
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (ok) {
        epoll = srt_epoll_create();
        if (epoll < 0 || srt_epoll_add_usock(epoll, socket, &events) == SRT_ERROR) {
            error = QStringLiteral("srt_epoll: %1").arg(srtError());
            ok = false;
        }
    }
    if (!ok) {
        if (epoll >= 0)
            srt_epoll_release(epoll);
        srt_close(socket);
        return false;
    }
    m_socket = socket;
    m_epoll = epoll;
    qCInfo(lcSrt).noquote()
        << QStringLiteral("SRT: listening on UDP port %1, latency %2 ms, %3, %4")
               .arg(options.port)
               .arg(latency)
               .arg(options.passphrase.isEmpty() ? QStringLiteral("unencrypted")
                                                 : QStringLiteral("passphrase required"))
               .arg(options.streamKey.isEmpty() ? QStringLiteral("no stream key")
                                                : QStringLiteral("stream key required"));
    return true;
}

void SrtListener::close()
{
    requestInterruption();
    wait();
    if (m_epoll >= 0) {
        srt_epoll_release(m_epoll);
        m_epoll = -1;
    }
    if (m_socket >= 0) {
        if (srt_close(m_socket) == SRT_ERROR)
            qCWarning(lcSrt).noquote() << "SRT: closing the listener failed:" << srtError();
        m_socket = -1;
        qCInfo(lcSrt) << "SRT: listener closed";
    }
}

void SrtListener::setStreamKey(const QByteArray &key)
{
    QMutexLocker lock(&m_keyMutex);
    m_streamKey = key;
}

QByteArray SrtListener::streamKey() const
{
    QMutexLocker lock(&m_keyMutex);
    return m_streamKey;
}

QString SrtListener::keyRefusal(const QByteArray &streamId, const QByteArray &key)
{
    if (key.isEmpty())
        return QString();
    if (streamId.isEmpty())
        return QStringLiteral("no stream key");
    return StreamKey::srtStreamIdCarries(streamId, key) ? QString()
                                                        : QStringLiteral("wrong stream key");
}

int SrtListener::listenCallback(void *opaque, int socket, int hsVersion, const sockaddr *peer,
                                const char *streamId)
{
    Q_UNUSED(hsVersion)
    auto *self = static_cast<SrtListener *>(opaque);
    // Without a passphrase the streamid is the only way in, and a stranger is turned away here,
    // before it takes an intake or makes the pool grow. With one, the caller may encrypt
    // instead, which shows only after accept (refusal()).
    if (!self->m_passphraseSet.load()) {
        const QString refused = keyRefusal(QByteArray(streamId ? streamId : ""), self->streamKey());
        if (!refused.isEmpty()) {
            srt_setrejectreason(socket, SRT_REJX_UNAUTHORIZED);
            emit self->callerRefused(peerText(peer), refused);
            return -1;
        }
    }
    if (self->m_freeIntakes.load() > 0)
        return 0;
    srt_setrejectreason(socket, SRT_REJX_OVERLOAD);
    emit self->overloaded(peerText(peer));
    return -1;
}

QString SrtListener::refusal(int socket) const
{
    int state = SRT_KM_S_UNSECURED;
    int size = sizeof state;
    if (srt_getsockflag(socket, SRTO_KMSTATE, &state, &size) == SRT_ERROR)
        return QStringLiteral("encryption state unknown (%1)").arg(srtError());
    if (m_options.passphrase.isEmpty()) {
        if (state != SRT_KM_S_UNSECURED)
            return QStringLiteral("encrypted caller, no passphrase set");
        // Checked in the handshake already; again here, as the key may have changed since.
        char streamId[kMaxStreamIdBytes + 1];
        int length = int(sizeof streamId); // libsrt wants room for its terminating zero
        if (srt_getsockflag(socket, SRTO_STREAMID, streamId, &length) == SRT_ERROR)
            return QStringLiteral("stream id unknown (%1)").arg(srtError());
        return keyRefusal(QByteArray(streamId, qBound(0, length, kMaxStreamIdBytes)), streamKey());
    }
    // A passphrase set: only a caller that encrypts with it is served, and that one needs no
    // stream id.
    switch (state) {
    case SRT_KM_S_SECURED:
        return QString();
    case SRT_KM_S_UNSECURED:
        return QStringLiteral("no passphrase");
    default:
        return QStringLiteral("wrong passphrase");
    }
}

void SrtListener::run()
{
    while (!isInterruptionRequested()) {
        SRT_EPOLL_EVENT ready[1];
        const int count = srt_epoll_uwait(m_epoll, ready, 1, kPollMs);
        if (count < 0 && srt_getlasterror(nullptr) != SRT_ETIMEOUT) {
            // Not a timeout: do not spin on a failing wait; a stop is still seen promptly.
            qCDebug(lcSrt).noquote() << "SRT: epoll wait failed:" << srtError();
            msleep(kPollMs);
        }
        if (count <= 0)
            continue;
        sockaddr_storage address{};
        int size = sizeof address;
        const int caller = srt_accept(m_socket, reinterpret_cast<sockaddr *>(&address), &size);
        if (caller == SRT_INVALID_SOCK) {
            if (srt_getlasterror(nullptr) != SRT_EASYNCRCV)
                qCDebug(lcSrt).noquote() << "SRT: accept failed:" << srtError();
            continue;
        }
        const QString peer = peerText(reinterpret_cast<const sockaddr *>(&address));
        const QString reason = refusal(caller);
        if (!reason.isEmpty()) {
            srt_close(caller);
            emit callerRefused(peer, reason);
            continue;
        }
        emit callerAccepted(caller, peer);
    }
}
