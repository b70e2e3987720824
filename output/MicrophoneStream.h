#pragma once

#include "output/AudioRateMatch.h"
#include "output/AudioRing.h"
#include "output/MicrophoneAccounting.h"
#include "output/OutputBackend.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class MicrophoneConnection;
struct pw_stream;
struct spa_pod;
struct spa_source;

// The microphone's node: a pw_stream (media.class "Audio/Source") on the connection's core, its
// format (S16, mono or stereo, the audio's own rate; PipeWire's adapter converts to the graph's),
// and the hand-over of the audio from the producer to PipeWire's real-time data thread through
// an AudioRing. A new format is negotiated on the same node, because removing it would move a
// call to another microphone.
//
// States (loop thread):
//
//   closed --open()--> opening --the server accepts--> ready --goLive()--> live
//     ^                  |   \--no answer in kReadyTimeoutMs--> timedOut      |
//     |                  +-----stream error--------------------> failed  <----+
//     +---------close() from any state--------------------------------------+
//
// Threads:
//   - PipeWire's loop thread: open, changeFormat, goLive, close, state, failure, isFormat, and
//     the stream's events (state, format). The owner's thread once the loop has stopped.
//   - Producer (the output's thread): queueAudio, flush. They never wait for the server: the
//     hand-over lock (m_lock) is held by the loop thread only for moments.
//   - PipeWire's real-time data thread: the process callback; it only reads the playing ring
//     (no lock, allocation or logging).
//   - Any thread: the observers. graphDelayMs takes the loop's lock for a moment.
class MicrophoneStream
{
public:
    // How long a stream may take to be accepted by the server before it counts as failed.
    static constexpr int kReadyTimeoutMs = 3000;
    // The format before the first audio.
    static constexpr int kDefaultRate = 48000;
    static constexpr int kDefaultChannels = 2;

    enum class State
    {
        Closed,
        Opening,
        Ready,
        Live,
        TimedOut,
        Failed,
    };
    enum class Queued
    {
        Yes,
        NotLive,      // no stream takes audio now
        FormatChange, // the stream is not (yet) in the audio's format
    };

    // The connection must outlive the stream; its loop has not started yet.
    MicrophoneStream(MicrophoneConnection &connection, MicrophoneAccounting &accounting,
                     const QString &nodeName, const QString &description);
    ~MicrophoneStream();

    MicrophoneStream(const MicrophoneStream &) = delete;
    MicrophoneStream &operator=(const MicrophoneStream &) = delete;

    // -- Loop thread.
    // Creates the node in this format; false (logged) when PipeWire refused it. The stream is
    // opening then: ready, failed or timed out come as events (the owner's step is requested).
    bool open(int rate, int channels);
    // Renegotiates the live stream's format in place; false (logged) when only a reopen helps.
    bool changeFormat(int rate, int channels);
    // The ready stream starts taking audio.
    void goLive();
    // Removes the node. Idempotent.
    void close();
    State state() const { return m_state; }
    // Why the stream failed (PipeWire's words).
    QString failure() const { return m_failure; }
    bool isFormat(int rate, int channels) const { return m_rate == rate && m_channels == channels; }

    // -- Producer. The frame's audio into the ring, matched to its level.
    Queued queueAudio(const OutputFrame &frame);
    // A new session: what is queued is never played.
    void flush();

    // -- Any thread.
    bool live() const { return m_live.load(); }
    // The live stream's rate and channel count (0 without).
    int streamRate() const;
    int streamChannels() const;
    // The rate the server agreed on for the stream (0 while none is).
    int negotiatedRate() const;
    qint64 formatChanges() const;
    double queuedMs() const;
    MicrophoneAccounting::Totals totals() const;
    // Lock-free: the ring's prime level plus the server's quantum, in ms; 0 while not live.
    int outputDelayMs() const;
    // The delay PipeWire adds after the ring (pw_stream_get_time_n), in ms; -1 without a stream.
    double graphDelayMs() const;

private:
    struct Callbacks;
    friend struct Callbacks;
    static const spa_pod *buildFormat(uint8_t *buffer, size_t size, int rate, int channels);
    // Loop thread, m_lock held: a ring in this format for the producer, the old one's counts kept.
    void replaceRing_Locked(std::unique_ptr<AudioRing> next);
    void setLive(bool live);
    void armReadyTimer(bool on);

    MicrophoneConnection &m_connection;
    MicrophoneAccounting &m_accounting;
    const QByteArray m_nodeName;
    const QByteArray m_description;

    // -- Loop thread.
    pw_stream *m_stream = nullptr; // also read by graphDelayMs under the loop's lock
    spa_source *m_readyTimer = nullptr;
    State m_state = State::Closed;
    QString m_failure;
    int m_rate = 0; // the format the stream was opened or changed to
    int m_channels = 0;
    struct Hooks;
    std::unique_ptr<Hooks> m_hooks; // the stream's listener, allocated once

    // -- Data thread: the ring it reads. Set by the loop thread while no stream exists, or
    // swapped on the data thread itself (to m_nextRing) while one does.
    AudioRing *m_playRing = nullptr;
    AudioRing *m_nextRing = nullptr;
    // Written by the data thread each cycle: the quantum it was asked to fill and the ring's
    // prime level, in ms.
    std::atomic<int> m_quantumMs{0};
    std::atomic<int> m_primeMs{0};

    // -- All the following fields are protected by m_lock (the hand-over lock), as is the
    // accounting's ring history.
    mutable std::mutex m_lock;
    std::unique_ptr<AudioRing> m_ring; // the producer's ring
    AudioRateMatch m_rateMatch;        // the producer's rate matching into m_ring
    int m_negotiatedRate = 0;
    qint64 m_formatChanges = 0;

    // Written under m_lock (the ring is current while it is set); read anywhere.
    std::atomic<bool> m_live{false};
};
