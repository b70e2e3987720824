#pragma once

#include "app/LogThrottle.h"
#include "ingest/SrtOptions.h"

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
// Threads: construction, open(), stop and destruction on the GUI thread; run() is the accept
// loop; the listen callback runs on libsrt's receiving thread and reads atomics only. Signals
// are emitted from those two threads and reach the Server queued.
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

    SrtOptions m_options; // GUI thread before start(); read-only while the loop runs
    int m_socket = -1;    // SRTSOCKET; GUI thread opens and closes it, the loop only waits on it
    int m_epoll = -1;
    bool m_started = false; // srt_startup was called and needs its srt_cleanup
    std::atomic<int> m_freeIntakes{0};
    LogThrottle m_libraryLog; // any libsrt thread
};
