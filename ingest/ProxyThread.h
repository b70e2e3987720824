#pragma once

#include "ingest/RelayEnd.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>
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
// Threads: the object lives on the GUI thread (the listener creates, starts, stops and deletes
// it there). run() owns both sockets and every timer: they are created, used and destroyed on
// the relay's own thread, and all copying happens in direct slots on that thread.
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
class ProxyThread : public QThread
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
    // Default bound of stop(): the relay never blocks outside its event loop, so it ends fast.
    static constexpr unsigned long kStopWaitMs = 5000;

    // GUI thread. The relay takes over socketDescriptor: it is attached in run(), and closed
    // there if it cannot be attached. port is the manager's loopback port.
    ProxyThread(qintptr socketDescriptor, int port, QObject *parent);
    // GUI thread. Ends the relay first if it still runs, so the thread never outlives the object.
    ~ProxyThread() override;

    // GUI thread, before start(): the idle timeout (default kNoDataTimeoutMs) and the time
    // allowed for the handshake and publish (default kPublishWaitMs).
    void setNoDataTimeoutMs(int ms);
    void setPublishWaitMs(int ms) { m_publishWaitMs = ms; }
    QByteArray requiredStreamKey() const { return m_requiredKey; }
    // GUI thread, before start(): the stream name a publish must carry; empty (the default)
    // relays every session untouched.
    void setRequiredStreamKey(const QByteArray &key) { m_requiredKey = key; }
    // The camera's address as the socket reported it when the relay was made ("" if unknown).
    QString peerAddress() const { return m_peer; }
    int noDataTimeoutMs() const { return m_noDataTimeoutMs; }
    int port() const { return m_port; }

    // Any thread; may be slightly stale. Bytes taken from the camera since run() began.
    qint64 bytesFromClient() const { return m_bytesFromClient.load(std::memory_order_relaxed); }
    // Any thread. Bytes the relay's two sockets hold right now (read and write buffers of both
    // directions), and the most they ever held during this run.
    qint64 bufferedBytes() const { return m_bufferedBytes.load(std::memory_order_relaxed); }
    qint64 peakBufferedBytes() const { return m_peakBufferedBytes.load(std::memory_order_relaxed); }

    // Any thread, never blocks: ends the relay for `reason` (the first reason given is kept).
    void end(RelayEnd reason);
    // Why the relay ended (None while it runs).
    RelayEnd endReason() const { return m_endReason.load(); }

    // GUI thread. Ends the event loop (exit(0)) and waits at most timeoutMs for the thread.
    // Safe before start(), after the end and more than once. True when the thread is not running.
    bool stop(unsigned long timeoutMs = kStopWaitMs);

signals:
    // Relay thread: the session start passed the gate (a publish, with the key when one is
    // required); from here the relay only copies.
    void sessionStarted(const QString &peer);
    // Relay thread, with a required key: the publish named it / did not (the connection is
    // closed by then). reason is a short fixed text for the log.
    void publisherAccepted(const QString &peer);
    void publisherRefused(const QString &peer, const QString &reason);

public slots:
    // Relay thread (direct connections). Camera -> manager; counts the camera's bytes.
    void client_readyRead();
    // Relay thread (direct connections). Manager -> camera; not counted.
    void sm_readyRead();
    // GUI thread, queued from finished(). The sockets are already closed and freed by then.
    void onFinished();

protected:
    void run() override;

private:
    void onSmConnected();
    void onSmError();
    void onClientDisconnected();
    void onSmDisconnected();
    void onIdleCheck();
    // Ends the relay for `reason` from its own thread: closes both sockets, leaves the loop.
    void finish(RelayEnd reason);
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
    // Set (release) when run() returns; read (acquire) by stop() after the thread has ended.
    std::atomic<bool> m_runEnded{false};
    std::atomic<RelayEnd> m_endReason{RelayEnd::None};

    // -- Relay thread only (created and destroyed in run()).
    std::unique_ptr<QTcpSocket> m_client;
    std::unique_ptr<QTcpSocket> m_sm;
    std::unique_ptr<QTimer> m_connectTimer;
    std::unique_ptr<QTimer> m_watchdog; // the idle check
    QElapsedTimer m_sinceData;          // since the camera's last byte
    std::vector<char> m_copyBuffer;
    bool m_flushing = false; // inside copy()'s flush(), which re-enters copy()
    bool m_smConnected = false;
    std::unique_ptr<RtmpPublishReader> m_gate; // while the stream name is awaited
    std::unique_ptr<QTimer> m_gateTimer;
    int m_gateSent = 0; // reader bytes already handed to the intake

    // -- Set on the GUI thread before start(); read-only afterwards.
    const int m_port;
    const qintptr m_socketDescriptor;
    int m_noDataTimeoutMs = kNoDataTimeoutMs;
    int m_publishWaitMs = kPublishWaitMs;
    QByteArray m_requiredKey;
    const QString m_peer;
};
