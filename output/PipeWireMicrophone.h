#pragma once

#include "output/AudioRateMatch.h"
#include "output/AudioRing.h"
#include "output/MicrophoneOutput.h"

#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_thread_loop;
struct spa_pod;

// The camera's sound as a microphone: a PipeWire node (media.class "Audio/Source") that call
// programs and browsers list as an input device. The stream runs in the audio's own rate
// and channel count (mono or stereo) and PipeWire's adapter converts to the graph's rate;
// before the first audio it is 48 kHz stereo. The node stays while no camera streams and
// plays silence then, and a new format is negotiated on the same node, because removing it
// would move a call to another microphone.
//
// States (worker thread):
//
//   off --setEnabled(true)--> looking --server answers--> connected --format differs--+
//    ^                          ^   |                       |     ^                    |
//    |                          |   +--every 3 s------------+     +-renegotiated in place+
//    |                          +--------server gone-----------+
//    +-----------setEnabled(false) from any state: the node is removed----------------+
//
// Threads:
//   - GUI thread: constructor, destructor, setEnabled, putCard, sessionChanged.
//   - Delivery thread: putLive. It never waits for the server: the audio goes into the ring,
//     or is counted as dropped with a reason.
//   - The worker thread ("QuorvixMic") does every pw_ call that connects, creates or destroys
//     anything, and looks for a server every few seconds while there is none.
//   - PipeWire's main-loop thread (pw_thread_loop) runs the core and stream events.
//   - PipeWire's real-time data thread runs onProcess: it only reads the ring.
//   - Observers (available, counters, unavailableReason, graphDelayMs): any thread.
class PipeWireMicrophone final : public MicrophoneOutput
{
public:
    static constexpr char kDefaultNodeName[] = "quorvix_microphone";
    static constexpr char kDefaultDescription[] = "Quorvix Microphone";
    // How often a missing server is looked for (like the webcam's device probe).
    static constexpr int kProbeIntervalMs = 3000;
    // The stream's format before the first audio.
    static constexpr int kDefaultRate = 48000;
    static constexpr int kDefaultChannels = 2;
    // How long a stream may take to be accepted by the server before it counts as failed.
    static constexpr int kStreamReadyTimeoutMs = 3000;

    enum class DropReason
    {
        MicrophoneOff,     // setEnabled(false)
        NoServer,          // no PipeWire server, or the stream is not up yet
        FormatChange,      // the stream is changing to the audio's rate or channels
        UnsupportedFormat, // not mono or stereo, or a rate outside 8-192 kHz
    };
    static constexpr int kDropReasons = 4;

    // GUI thread. Starts enabled: the worker looks for a server at once.
    explicit PipeWireMicrophone(const QString &nodeName = QLatin1String(kDefaultNodeName),
                                const QString &description = QLatin1String(kDefaultDescription),
                                int probeIntervalMs = kProbeIntervalMs);
    ~PipeWireMicrophone() override;

    PipeWireMicrophone(const PipeWireMicrophone &) = delete;
    PipeWireMicrophone &operator=(const PipeWireMicrophone &) = delete;

    void putLive(const OutputFrame &frame) override;
    // The worker's stream plays silence while the ring is empty: nothing to do for a card.
    void putCard(const OutputFrame &) override {}
    void sessionChanged() override;

    // GUI thread. Off removes the node at once; on looks for a server again.
    void setEnabled(bool enabled) override;
    bool enabled() const { return m_enabled.load(); }

    // Any thread. True while the node is in the graph.
    bool available() const override { return m_available.load(); }
    // Any thread. One line for the status bar; empty while available.
    QString unavailableReason() const override;
    int outputDelayMs() const override;

    // Counters, any thread; samples are per channel.
    qint64 samplesReceived() const { return m_samplesReceived.load(); }
    qint64 samplesDropped(DropReason reason) const;
    qint64 samplesDropped() const;
    qint64 underruns() const;
    // Cut: more came than could be played in time.
    qint64 samplesTrimmed() const;
    // Never played because no program listened (or before one started to).
    qint64 samplesSkipped() const;
    // Played more (positive) or fewer than came, by matching the rate.
    qint64 samplesAdjusted() const;
    SoundGaps soundGaps() const override;
    qint64 samplesPlayed() const;
    // Formats changed in place, without removing the node.
    qint64 formatChanges() const { return m_formatChanges.load(); }
    // The rate the server agreed on for the stream (0 while none is).
    int negotiatedRate() const { return static_cast<int>(m_negotiatedFormat.load() / 16); }
    // Connection attempts so far (each look for a server counts one).
    qint64 connectAttempts() const { return m_connectAttempts.load(); }
    // The open stream's rate and channel count (0 without a stream).
    int streamRate() const { return m_streamRate.load(); }
    int streamChannels() const { return m_streamChannels.load(); }
    // The delay PipeWire adds after the ring (pw_stream_get_time_n), in ms; -1 without a
    // stream. Plus the ring's queue, about its reserve, for the whole path.
    double graphDelayMs() const;
    double queuedMs() const;

private:
    void run();
    // -- Worker thread only.
    void step();
    bool connectServer();
    bool openStream(int rate, int channels);
    // Renegotiates the open stream's format in place; false when only a reopen can help.
    bool changeFormat(int rate, int channels);
    static const spa_pod *buildFormat(uint8_t *buffer, size_t size, int rate, int channels);
    void closeStream();
    void disconnectServer();
    void setUnavailable(const QString &reason);

    // PipeWire's callbacks (in the .cpp, where its types are known).
    struct Callbacks;
    friend struct Callbacks;
    void wakeWorker();
    void drop(DropReason reason, int samples);
    // Worker: one line when the ring ran dry or was trimmed since the last look.
    void reportRingTrouble();

    const QString m_nodeName;
    const QString m_description;
    const int m_probeIntervalMs;

    // -- Worker thread state, with m_controlLock held while it changes, so that the observers
    // can read the stream's time. PipeWire's own loop lock guards what its threads share.
    mutable std::mutex m_controlLock;
    pw_thread_loop *m_loop = nullptr;
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    pw_stream *m_stream = nullptr;
    struct Listeners;
    std::unique_ptr<Listeners> m_listeners; // spa_hooks, allocated once
    bool m_noServerLogged = false;
    qint64 m_reportedUnderruns = 0; // the totals reportRingTrouble() last logged
    qint64 m_reportedTrimmed = 0;
    qint64 m_reportedSkipped = 0;

    // The ring the stream reads. Replaced by the worker only while no stream exists, under
    // m_ringLock, which putLive and sessionChanged hold while they use it (never for long).
    mutable std::mutex m_ringLock;
    std::unique_ptr<AudioRing> m_ring;
    // The producer's rate matching into m_ring (delivery thread, under m_ringLock).
    AudioRateMatch m_rateMatch;
    // The ring the data thread reads: set while no stream exists, or swapped on the data
    // thread itself (to m_nextRing, through a blocking invoke from the worker) while one does.
    AudioRing *m_playRing = nullptr;
    AudioRing *m_nextRing = nullptr;

    // -- Worker wake-ups, guarded by m_wakeLock.
    std::mutex m_wakeLock;
    std::condition_variable m_wakeCondition;
    bool m_wakeRequested = false;
    std::atomic<bool> m_stopRequested{false}; // also read without the lock, in bounded waits

    // -- Shared flags and counters (atomics).
    std::atomic<bool> m_enabled{true};
    std::atomic<bool> m_available{false};
    std::atomic<bool> m_streamUp{false};     // the stream accepts audio (ring is current)
    std::atomic<bool> m_serverLost{false};   // set by the core event on a broken connection
    std::atomic<bool> m_streamFailed{false}; // set by the stream event on an error
    std::atomic<bool> m_streamReady{false};  // the stream reached paused/streaming
    std::atomic<int> m_streamRate{0};
    // Written by the real-time thread each cycle: the quantum it was asked to fill, in ms.
    std::atomic<int> m_quantumMs{0};
    std::atomic<int> m_primeMs{0}; // the playing ring's prime level, set by the data thread
    std::atomic<int> m_streamChannels{0};
    // The audio's format as last seen by putLive, rate * 16 + channels; 0 before any audio.
    std::atomic<qint64> m_wantedFormat{0};
    std::atomic<qint64> m_samplesReceived{0};
    std::array<std::atomic<qint64>, kDropReasons> m_samplesDropped{};
    // Counts of rings already replaced, so the totals survive a format change.
    std::atomic<qint64> m_pastUnderruns{0};
    std::atomic<qint64> m_pastTrimmed{0};
    std::atomic<qint64> m_pastSkipped{0};
    std::atomic<qint64> m_pastPlayed{0};
    std::atomic<qint64> m_connectAttempts{0};
    std::atomic<qint64> m_formatChanges{0};
    // The format the adapter agreed on, rate * 16 + channels; 0 while none is.
    std::atomic<qint64> m_negotiatedFormat{0};
    // When a repeatable line was last logged (steady ms, -1 never).
    std::atomic<qint64> m_lastUnsupportedLogMs{-1};
    std::atomic<qint64> m_lastStreamLogMs{-1};
    std::atomic<qint64> m_lastReopenLogMs{-1};

    // Guarded by m_reasonLock (written by the worker and the main-loop thread).
    mutable std::mutex m_reasonLock;
    QString m_unavailableReason;
    QString m_streamError;

    std::thread m_worker; // last: starts after everything above exists
};
