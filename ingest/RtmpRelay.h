#pragma once

#include "ingest/Relay.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <vector>

class QTcpSocket;
class RtmpPublishReader;
class QTimer;

// Joins one accepted camera connection to one stream manager's loopback RTMP intake and copies
// bytes both ways, unchanged and in order, until either side goes away. It never looks inside
// the stream; it only counts what the camera sends (the bitrate display reads that count).
//
// Threads: a Relay: made, started, stopped and deleted on the owning (GUI) thread; both sockets
// and every timer are created, used and destroyed on the relay's own thread, where the relay
// lives while it runs, so all its connections there are between objects of one thread.
//
// Before the first byte is forwarded the relay checks that the listener it reached on
// 127.0.0.1:port is this process's own (LoopbackOwner): the intake is offered to cameras
// before FFmpeg has bound the port, and another program may hold it.
//
// Every session start is read on the side by an RtmpPublishReader: the camera has
// kPublishWaitMs after the relay starts (its first byte has come by then) to finish the
// handshake and publish, or it is closed; nothing but the handshake and whole commands that are
// not a publish reaches the intake before that verdict. Once streaming, a camera that sends
// nothing for the idle timeout (kNoDataTimeoutMs) is closed: a phone that leaves the network
// sends no FIN, and its session would otherwise hold the output for good.
//
// With a required stream key the relay still connects to the intake at once and relays the
// handshake and the first commands both ways unchanged (the intake answers them, so both ends
// see an ordinary session), while an RtmpPublishReader reads the camera's bytes on the side.
// A publisher does not send `publish` before the server has answered `connect` and
// `createStream`, so the relay cannot learn the stream name without the intake. What it holds
// back instead is the publish command itself and everything after it: the camera's bytes are
// handed on only up to the reader's safeEnd(). A publish naming the key is passed on at once
// with whatever followed it and the relay copies as usual from then on; any other publish
// (or none within kPublishWaitMs or the reader's byte bound) ends the connection, so the
// intake never opens a session and no media of that peer reaches it. Without a key any stream
// name passes, and so does media before publish (the intake opens a session on it).
//
// Memory is bounded: a socket keeps at most kReadBufferBytes it has not handed over, and the
// relay stops reading one side while the other side still has kMaxUnsentBytes queued; TCP flow
// control then slows the sender instead of the relay buffering without limit.
class RtmpRelay : public Relay
{
    Q_OBJECT
public:
    // How long the loopback connection to the manager may take before the relay gives up.
    static constexpr int kConnectTimeoutMs = 30000;
    // A camera that has sent nothing this long (before or after its session started) is
    // dropped.
    static constexpr int kNoDataTimeoutMs = 10000;
    // How often the idle timeout is looked at (and both directions with it).
    static constexpr int kIdleCheckMs = 500;
    // Bytes one side may have queued and unsent before the relay stops reading the other side.
    static constexpr qint64 kMaxUnsentBytes = 4 * 1024 * 1024;
    // Read buffer limit of each socket: unread data waits in the kernel, not in our memory.
    static constexpr qint64 kReadBufferBytes = 256 * 1024;
    // Largest block moved by one read; the copy buffer is allocated once per relay.
    static constexpr qint64 kCopyChunkBytes = 256 * 1024;
    // Most the relay itself ever holds, both directions together.
    static constexpr qint64 kMaxBufferedBytes = 2 * (kMaxUnsentBytes + kReadBufferBytes);
    // How long a camera has, from the relay's start, to finish its handshake and publish.
    static constexpr int kPublishWaitMs = 5000;

    // Owning thread. The relay takes over socketDescriptor: it is attached on the relay's
    // thread, and closed there if it cannot be attached (or by the destructor if the relay
    // never started). port is the manager's loopback port.
    RtmpRelay(qintptr socketDescriptor, int port);
    // Owning thread. Ends the relay first if it still runs.
    ~RtmpRelay() override;

    // Owning thread, before start(): the idle timeout (default kNoDataTimeoutMs) and the time
    // allowed for the handshake and publish (default kPublishWaitMs).
    void setNoDataTimeoutMs(int ms);
    void setPublishWaitMs(int ms) { m_publishWaitMs = ms; }
    QByteArray requiredStreamKey() const { return m_requiredKey; }
    // Owning thread, before start(): the stream name a publish must carry; empty (the default)
    // relays every session untouched.
    void setRequiredStreamKey(const QByteArray &key) { m_requiredKey = key; }
    int noDataTimeoutMs() const { return m_noDataTimeoutMs; }

    // Any thread; may be slightly stale. Bytes taken from the camera since the relay started.
    qint64 bytesFromClient() const override
    {
        return m_bytesFromClient.load(std::memory_order_relaxed);
    }
    // Any thread. Bytes the relay's two sockets hold right now (read and write buffers of both
    // directions), and the most they ever held during this run.
    qint64 bufferedBytes() const { return m_bufferedBytes.load(std::memory_order_relaxed); }
    qint64 peakBufferedBytes() const { return m_peakBufferedBytes.load(std::memory_order_relaxed); }

signals:
    // Relay thread: the session start passed the gate (a publish, with the key when one is
    // required); from here the relay only copies.
    void sessionStarted(const QString &peer);
    // Relay thread, with a required key: the publish named it / did not (the connection is
    // closed by then). reason is a short fixed text for the log.
    void publisherAccepted(const QString &peer);
    void publisherRefused(const QString &peer, const QString &reason);

protected:
    // Relay thread.
    void run() override;
    void onEndRequested() override;

private:
    void onClientReadyRead();
    void onSmReadyRead();
    void onSmConnected();
    void onSmError();
    void onClientDisconnected();
    void onSmDisconnected();
    void onIdleCheck();
    // Ends the relay for `reason` (the first reason given is kept): both sockets are aborted
    // at once, and wrapUp() follows on the next pass of the loop.
    void finish(RelayEnd reason);
    // Frees the sockets and timers, logs the end and closes the relay.
    void wrapUp();
    void copyClientToSm();
    void copySmToClient();
    // copyClientToSm while the stream name is not yet known; true once the key was named and
    // plain copying takes over.
    bool gateClientToSm();
    // Hands the reader's bytes from m_gateSent up to `end` to the intake.
    bool forwardGated(int end);
    void refusePublisher(const QString &reason);
    // Moves what `from` holds into `to` while `to` has room under kMaxUnsentBytes.
    // Returns the number of bytes moved.
    qint64 copy(QTcpSocket &from, QTcpSocket &to);
    void updateBufferedBytes();
    void closeSockets();

    // Written on the relay thread, read from any thread.
    std::atomic<qint64> m_bytesFromClient{0};
    std::atomic<qint64> m_bufferedBytes{0};
    std::atomic<qint64> m_peakBufferedBytes{0};

    // -- Relay thread only (created and destroyed there).
    std::unique_ptr<QTcpSocket> m_client;
    std::unique_ptr<QTcpSocket> m_sm;
    std::unique_ptr<QTimer> m_connectTimer;
    std::unique_ptr<QTimer> m_watchdog; // the idle check
    QElapsedTimer m_sinceData;          // since the camera's last byte
    std::vector<char> m_copyBuffer;
    bool m_flushing = false; // inside copy()'s flush(), which re-enters copy()
    bool m_smConnected = false;
    bool m_finishing = false;                  // finish() was called; wrapUp() is on its way
    std::unique_ptr<RtmpPublishReader> m_gate; // while the stream name is awaited
    std::unique_ptr<QTimer> m_gateTimer;
    int m_gateSent = 0; // reader bytes already handed to the intake
    // The descriptor went to m_client or was closed; read by the destructor after the end.
    bool m_attached = false;

    // -- Set on the owning thread before start(); read-only afterwards.
    const qintptr m_socketDescriptor;
    int m_noDataTimeoutMs = kNoDataTimeoutMs;
    int m_publishWaitMs = kPublishWaitMs;
    QByteArray m_requiredKey;
};
