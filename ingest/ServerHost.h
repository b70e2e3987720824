#pragma once

#include <QByteArray>
#include <QString>

// What the ingest listener asks of the window that owns it. The main window implements it; the
// listener finds it as its QObject parent (a window that is both a QObject and a ServerHost).
//
// Threads: every function is called on the GUI thread. The four getters are read once per
// accepted connection, so a change takes effect for the next camera, not for a running stream.
class ServerHost
{
public:
    virtual ~ServerHost() = default;

    // Audio is not decoded; the stream carries video only.
    virtual bool ignoreAudio() const = 0;
    // The chosen camera type is Mevo: audio discovery waits for the audio stream.
    virtual bool isMevo() const = 0;
    // Buffer bound in milliseconds for a stream with audio.
    virtual int maxBufferMs() const = 0;
    // Buffer bound in milliseconds when audio is ignored.
    virtual int maxBufferIgnoreAudioMs() const = 0;
    // The stream name a camera's publish must carry, read per connection like the getters
    // above; empty lets every publisher through untouched.
    virtual QByteArray requiredStreamKey() const { return QByteArray(); }
    // A publisher named the key (peer is its address), or was refused for not naming it.
    // Delivered queued from its relay's thread.
    virtual void onPublisherAccepted(const QString &peer) { Q_UNUSED(peer) }
    virtual void onPublisherRefused(const QString &peer) { Q_UNUSED(peer) }
    // An SRT caller was served, or refused for its encryption (no passphrase, another one, or
    // one while none is set). GUI thread.
    virtual void onSrtCallerAccepted(const QString &peer) { Q_UNUSED(peer) }
    virtual void onSrtCallerRefused(const QString &peer) { Q_UNUSED(peer) }
    // A stream's state text: "connecting ...", the picture size and rate, or "" when it ended.
    // Delivered queued from the stream's thread.
    virtual void onUpdateStreamState(QString msg) = 0;
};
