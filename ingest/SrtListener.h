#pragma once

#include "app/LogThrottle.h"
#include "ingest/SrtOptions.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

// The SRT front door: one libsrt listener on the user's UDP port. It takes callers, checks
// their encryption against the passphrase and hands each accepted caller's socket to the
// ingest listener (Server), which relays it into one of its TS intakes (SrtRelay).
//
// While no intake is free the handshake itself is rejected (SRT_REJX_OVERLOAD), so a caller
// learns at once that it should try again, and overloaded() asks the Server to make room.
//
// With a stream key, a caller is served only when its streamid carries the key or when it
// encrypts with the passphrase. Without a passphrase the handshake of a caller whose streamid
// does not carry it is rejected (SRT_REJX_UNAUTHORIZED), before it costs an intake or makes
// the pool grow; with one, whether the caller encrypts is known only after accept, where the
// passphrase rule already turns away every caller that does not. The key is checked again
// after accept either way. Each refusal is a callerRefused() (the Server logs and counts it);
// the key and the streamid are never logged.
//
// Threads: construction, open(), stop and destruction on the GUI thread; run() is the accept
// loop; the listen callback runs on libsrt's receiving thread and reads atomics and the key
// (under m_keyMutex) only. Signals are emitted from those two threads and reach the Server
// queued.
class SrtListener : public QThread
{
    Q_OBJECT
public:
    // Step of the accept loop: how fast a stop is seen.
    static constexpr int kPollMs = 100;
    // Handshakes libsrt queues before accept takes them.
    static constexpr int kBacklog = 16;
    static constexpr int kMinPassphrase = 10;
    static constexpr int kMaxPassphrase = 79;
    // The longest streamid libsrt takes.
    static constexpr int kMaxStreamIdBytes = 512;
    static constexpr int kMinLatencyMs = 20;
    static constexpr int kMaxLatencyMs = 8000;

    explicit SrtListener(QObject *parent);
    // GUI thread: stops the loop, waits for it and closes the listener.
    ~SrtListener() override;

    // GUI thread. Binds the UDP port and starts listening; false with `error` set when the
    // port or an option is refused. The accept loop starts with start().
    bool open(const SrtOptions &options, QString &error);
    // GUI thread. Ends the accept loop and closes the listening socket; idempotent.
    void close();
    bool isOpen() const { return m_socket >= 0; }
    quint16 port() const { return m_options.port; }

    // GUI thread: how many intakes wait for an SRT caller. Read by the listen callback.
    void setFreeIntakes(int count) { m_freeIntakes.store(count); }
    // GUI thread, any time: the key callers must carry from now on (open() takes the options'
    // one); empty: none.
    void setStreamKey(const QByteArray &key);

    // Why a caller with this streamid is not served for the key: "" when it is (or no key is
    // required), "no stream key", "wrong stream key". Any thread.
    static QString keyRefusal(const QByteArray &streamId, const QByteArray &key);

signals:
    // A caller passed the handshake and its encryption fits: `socket` is now the receiver's
    // to relay and close. Accept loop thread.
    void callerAccepted(int socket, QString peer);
    // A caller was refused; reason is a short fixed text for the log.
    void callerRefused(QString peer, QString reason);
    // A handshake found no free intake (listen callback thread).
    void overloaded(QString peer);

protected:
    void run() override;

private:
    static int listenCallback(void *opaque, int socket, int hsVersion, const struct sockaddr *peer,
                              const char *streamId);
    // libsrt's own log lines, errors only, into our category, at most one a second.
    static void logHandler(void *opaque, int level, const char *file, int line, const char *area,
                           const char *message);
    // The reason a just accepted caller cannot be served, empty when it can.
    QString refusal(int socket) const;
    QByteArray streamKey() const;

    SrtOptions m_options; // GUI thread before start(); read-only while the loop runs
    int m_socket = -1;    // SRTSOCKET; GUI thread opens and closes it, the loop only waits on it
    int m_epoll = -1;
    bool m_started = false; // srt_startup was called and needs its srt_cleanup
    std::atomic<int> m_freeIntakes{0};
    std::atomic<bool> m_passphraseSet{false}; // m_options has one; read by the listen callback
    mutable QMutex m_keyMutex;
    QByteArray m_streamKey;   // guarded by m_keyMutex
    LogThrottle m_libraryLog; // any libsrt thread
};
